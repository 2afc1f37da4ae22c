// Reply builders of the control command set: the answering side fills the reply record.
#include <cstring>

#include "ctrlmsg_words.h"
#include "pelarin/ctrlmsg.h"
#include "pelarin/result_codes.h"

using ctrlmsg::PutHalf;
using ctrlmsg::PutWord;

namespace {

// Writes the reply head for `length` data bytes and hands back where the data goes. Data that
// does not fit is dropped: the reply then goes without data and says 44 instead of `result`
// (`data` is null). A record too small even for the head gets nothing.
int BeginReply(tagACKMsgPara* reply, uint32_t command, uint32_t result, uint64_t length, uint8_t** data) {
  *data = nullptr;
  if (reply == nullptr || reply->buffer == nullptr) return kQeltNullArgument;
  if (reply->capacity < kCtrlReplyHeadBytes) return kQeltBufferTooSmall;
  int status = kQeltOk;
  if (length > reply->capacity - kCtrlReplyHeadBytes) {
    status = kQeltBufferTooSmall;
    result = kQeltBufferTooSmall;
    length = 0;
  }
  uint8_t* out = reply->buffer;
  PutWord(out, kCtrlReply);
  PutWord(out + kCtrlWordBytes, command);
  PutWord(out + ctrlmsg::kReplyResultOffset, result);
  PutWord(out + ctrlmsg::kReplyLengthOffset, static_cast<uint32_t>(length));
  reply->used_size = kCtrlReplyHeadBytes + static_cast<uint32_t>(length);
  reply->reply_flag = 1;
  if (status == kQeltOk) *data = out + ctrlmsg::kReplyDataOffset;
  return status;
}

int WriteReply(tagACKMsgPara* reply, uint32_t command, uint32_t result, const uint8_t* bytes, uint32_t length) {
  uint8_t* data;
  const int status = BeginReply(reply, command, result, length, &data);
  if (data != nullptr && length > 0) memcpy(data, bytes, length);
  return status;
}

int WordsReply(tagACKMsgPara* reply, uint32_t command, uint32_t result, const uint32_t* words, uint32_t count) {
  constexpr uint32_t kMaxWords = 3;
  uint8_t bytes[kMaxWords * kCtrlWordBytes];
  for (uint32_t i = 0; i < count; ++i) PutWord(bytes + i * kCtrlWordBytes, words[i]);
  return WriteReply(reply, command, result, bytes, count * kCtrlWordBytes);
}

// Counted bytes: the count, then the bytes; a count of 0 writes the count only.
int CountedReply(tagACKMsgPara* reply, uint32_t command, uint32_t result, const void* bytes, uint32_t length) {
  if (length > 0 && bytes == nullptr) return kQeltNullArgument;
  uint8_t* data;
  const int status = BeginReply(reply, command, result, uint64_t{kCtrlWordBytes} + length, &data);
  if (data != nullptr) {
    PutWord(data, length);
    if (length > 0) memcpy(data + kCtrlWordBytes, bytes, length);
  }
  return status;
}

// Eight halves: six values and two more, each sent as its low 16 bits.
int HalvesReply(tagACKMsgPara* reply, uint32_t command, uint32_t result, const uint32_t (&values)[kCtrlHalfCount]) {
  uint8_t data[kCtrlHalfCount * sizeof(uint16_t)];
  for (uint32_t i = 0; i < kCtrlHalfCount; ++i) PutHalf(data + i * sizeof(uint16_t), static_cast<uint16_t>(values[i]));
  return WriteReply(reply, command, result, data, sizeof(data));
}

}  // namespace

extern "C" {

int QeltCommonReply1(tagACKMsgPara* reply, unsigned command, unsigned result) {
  return WriteReply(reply, command, result, nullptr, 0);
}

int QeltCommonReply2(tagACKMsgPara* reply, unsigned command, unsigned result, unsigned value) {
  return WordsReply(reply, command, result, &value, 1);
}

int QeltReplyVersion(tagACKMsgPara* reply, unsigned result, const char* text, unsigned length) {
  return CountedReply(reply, kCmdGetVersion, result, text, length);
}
int QeltReplyMacAddress(tagACKMsgPara* reply, unsigned result, const char* text, unsigned length) {
  return CountedReply(reply, kCmdGetMacAddress, result, text, length);
}
int QeltReplySelfDefinedCommand(tagACKMsgPara* reply, unsigned result, const void* data, unsigned length) {
  return CountedReply(reply, kCmdSelfDefined, result, data, length);
}
int QeltReplyUpgradeControlCommand(tagACKMsgPara* reply, unsigned result, const void* data, unsigned length) {
  return CountedReply(reply, kCmdUpgradeControl, result, data, length);
}

int QeltReplyGetSystemTime(tagACKMsgPara* reply, unsigned result, unsigned a, unsigned b, unsigned c) {
  const uint32_t words[] = {a, b, c};
  return WordsReply(reply, kCmdGetSystemTime, result, words, 3);
}
int QeltReplySetSystemTime(tagACKMsgPara* reply, unsigned result, unsigned x, unsigned y, unsigned z) {
  const uint32_t words[] = {x, y, z};
  return WordsReply(reply, kCmdSetSystemTime, result, words, 3);
}
int QeltReplyGetImageInfo(tagACKMsgPara* reply, unsigned result, unsigned a, unsigned b, unsigned c) {
  const uint32_t words[] = {a, b, c};
  return WordsReply(reply, kCmdGetImageInfo, result, words, 3);
}

int QeltReplyControlDevice(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdControlDevice, result);
}
int QeltReplySetZuqCalibrateColorImageFlag(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdSetZuqCalibrateColorImageFlag, result);
}
int QeltReplyPrepareBackground(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdPrepareBackground, result);
}
int QeltReplyControlNorbFlap(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdControlNorbFlap, result);
}
int QeltReplySetNorbAisleMode(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdSetNorbAisleMode, result);
}
int QeltReplyControlNorbSaveData(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdControlNorbSaveData, result);
}
int QeltReplySetNorbChildHeightThreshold(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdSetNorbChildHeightThreshold, result);
}
int QeltSendDnnObjectInfoReply(tagACKMsgPara* reply, unsigned result) {
  return QeltCommonReply1(reply, kCmdSendDnnObjectInfo, result);
}

int QeltReplyGetZuqDirection(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetZuqDirection, result, value);
}
int QeltReplyAdjustZuqDisparityShift(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdAdjustZuqDisparityShift, result, value);
}
int QeltReplyZuqType(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetZuqType, result, value);
}
int QeltReplyGetBaseline(tagACKMsgPara* reply, unsigned result, float value) {
  uint32_t bits;
  static_assert(sizeof(bits) == sizeof(value), "a float travels as one word");
  memcpy(&bits, &value, sizeof(bits));
  return QeltCommonReply2(reply, kCmdGetBaseline, result, bits);
}
int QeltReplyGetFocalLength(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetFocalLength, result, value);
}
int QeltReplyGetDisparityShift(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetDisparityShift, result, value);
}
int QeltReplyGetDisparityRange(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetDisparityRange, result, value);
}
int QeltReplyGetZuqCalibrateColorImageFlag(tagACKMsgPara* reply, unsigned result, unsigned flag) {
  return QeltCommonReply2(reply, kCmdGetZuqCalibrateColorImageFlag, result, flag);
}
int QeltReplyGetNorbSensorStatus(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetNorbSensorStatus, result, value);
}
int QeltReplyGetNorbWorkStatus(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetNorbWorkStatus, result, value);
}
int QeltReplyGetNorbAisleMode(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetNorbAisleMode, result, value);
}
int QeltReplyGetNorbChildHeightThreshold(tagACKMsgPara* reply, unsigned result, unsigned value) {
  return QeltCommonReply2(reply, kCmdGetNorbChildHeightThreshold, result, value);
}

int QeltReplyInitNorbDevice(tagACKMsgPara* reply, unsigned result, uint32_t v0, uint32_t v1, uint32_t v2,
                            uint32_t v3, uint32_t v4, uint32_t v5, uint16_t v6, uint16_t v7) {
  return HalvesReply(reply, kCmdInitNorbDevice, result, {v0, v1, v2, v3, v4, v5, v6, v7});
}
int QeltReplyProcessModelImage(tagACKMsgPara* reply, unsigned result, uint32_t v0, uint32_t v1, uint32_t v2,
                               uint32_t v3, uint32_t v4, uint32_t v5, uint16_t v6, uint16_t v7) {
  return HalvesReply(reply, kCmdProcessModelImage, result, {v0, v1, v2, v3, v4, v5, v6, v7});
}
int QeltReplyGetNorbOrigin(tagACKMsgPara* reply, unsigned result, uint32_t v0, uint32_t v1, uint32_t v2,
                           uint32_t v3, uint32_t v4, uint32_t v5, uint16_t v6, uint16_t v7) {
  return HalvesReply(reply, kCmdGetNorbOrigin, result, {v0, v1, v2, v3, v4, v5, v6, v7});
}

}  // extern "C"
