// The control exchange behind every request function, and the service's send entry points.
#include "ctrlmsg_exchange.h"

#include <cstring>
#include <vector>

#include "ctrlmsg_words.h"
#include "pelarin/ctrlmsg.h"
#include "pelarin/result_codes.h"
#include "pelarin/stop.h"

namespace ctrlmsg {

uint32_t Reply::Word(uint32_t index) const { return GetWord(payload + index * kCtrlWordBytes); }

int Exchange(const char* ip, uint32_t command, const uint8_t* data, uint32_t length, uint32_t min_reply,
             Reply* reply) {
  if (ip == nullptr) return kQeltNullArgument;
  if (strnlen(ip, kAddressTextBytes) >= kAddressTextBytes) return kQeltBadAddress;
  std::vector<uint8_t> frame(kCtrlRequestHeadBytes + length);
  PutWord(frame.data(), kCtrlRequest);
  PutWord(frame.data() + kCtrlWordBytes, command);
  PutWord(frame.data() + 2 * kCtrlWordBytes, length);
  if (length > 0) memcpy(frame.data() + kCtrlRequestHeadBytes, data, length);

  ScdpRequest request{};
  strcpy(request.ip, ip);
  request.payload = frame.data();
  request.length = static_cast<uint32_t>(frame.size());
  ScdpReplyView view{};
  const int rc = QELTMSendCtrlMsg(&request, &view);
  if (rc != kQeltOk) return rc;
  if (view.payload == nullptr || view.length < min_reply || view.length < kCtrlReplyHeadBytes) return kQeltInvalid;
  if (GetWord(view.payload) != kCtrlReply || GetWord(view.payload + kCtrlWordBytes) != command) {
    Qeltmlog(2, "[QELTM]Reply of kind %u for command %u discarded, waiting for command %u\n", GetWord(view.payload),
             GetWord(view.payload + kCtrlWordBytes), command);
    return kQeltInvalid;
  }
  reply->payload = view.payload;
  reply->length = view.length;
  reply->result = GetWord(view.payload + kReplyResultOffset);
  reply->data_length = GetWord(view.payload + kReplyLengthOffset);
  return kQeltOk;
}

}  // namespace ctrlmsg

extern "C" {

int QELTMSendCtrlMsg(const ScdpRequest* request, ScdpReplyView* reply) {
  if (request == nullptr || request->payload == nullptr || reply == nullptr) return kQeltNullArgument;
  return SCDPClientSendCtrl(request, reply);
}

int QELTMSendCtrlMsgWithoutAck(const ScdpRequest* request) {
  if (request == nullptr || request->payload == nullptr) return kQeltNullArgument;
  return SCDPClientSendCtrlWithoutACK(request);
}

int QELTMSendObject(const ObjectPara* header, const void* data, unsigned size) {
  if (header == nullptr || data == nullptr) return kQeltNullArgument;
  return STOPServerWriteObejct(header, data, size);
}

}  // extern "C"
