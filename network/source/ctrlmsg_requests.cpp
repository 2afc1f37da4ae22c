// Request functions of the control command set: each sends one request and decodes its reply.
#include <algorithm>
#include <cstring>
#include <vector>

#include "ctrlmsg_exchange.h"
#include "ctrlmsg_words.h"
#include "pelarin/ctrlmsg.h"
#include "pelarin/result_codes.h"

using ctrlmsg::Exchange;
using ctrlmsg::PutWord;
using ctrlmsg::Reply;

namespace {

// Smallest replies the request functions accept, by the shape of the reply data.
constexpr uint32_t kMinReplyNone = kCtrlReplyHeadBytes;
constexpr uint32_t kMinReplyWord = kCtrlReplyHeadBytes + kCtrlWordBytes;
constexpr uint32_t kMinReplyThreeWords = kCtrlReplyHeadBytes + 3 * kCtrlWordBytes;
constexpr uint32_t kMinReplyHalves = kCtrlReplyHeadBytes + kCtrlHalfCount * sizeof(uint16_t);
constexpr uint32_t kMinReplyCounted = kCtrlReplyHeadBytes + kCtrlWordBytes;
// Word indexes of the reply's data.
constexpr uint32_t kFirstDataWord = 4;
constexpr uint32_t kCountOffset = ctrlmsg::kReplyDataOffset;
constexpr uint32_t kCountedBytesOffset = kCountOffset + kCtrlWordBytes;

std::vector<uint8_t> WordData(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> data(words.size() * kCtrlWordBytes);
  size_t at = 0;
  for (const uint32_t w : words) {
    PutWord(data.data() + at, w);
    at += kCtrlWordBytes;
  }
  return data;
}

int Send(const char* ip, uint32_t command, const std::vector<uint8_t>& data, uint32_t min_reply, Reply* reply) {
  return Exchange(ip, command, data.data(), static_cast<uint32_t>(data.size()), min_reply, reply);
}

// Commands whose reply carries only the result word.
int ResultOnly(const char* ip, uint32_t command, const std::vector<uint8_t>& data) {
  Reply reply;
  const int rc = Send(ip, command, data, kMinReplyNone, &reply);
  return rc != kQeltOk ? rc : static_cast<int>(reply.result);
}

enum class WordRule {
  kOnSuccess,       // a non-zero result is returned; else the value is word 4
  kIfDataPresent,   // as kOnSuccess, and a data length of 0 leaves the value unset
  kWhateverResult,  // the value is word 4 and the result is returned
};

int WordReply(const char* ip, uint32_t command, const std::vector<uint8_t>& data, unsigned* value, WordRule rule) {
  if (value == nullptr) return kQeltNullArgument;
  Reply reply;
  const int rc = Send(ip, command, data, kMinReplyWord, &reply);
  if (rc != kQeltOk) return rc;
  if (rule == WordRule::kWhateverResult) {
    *value = reply.Word(kFirstDataWord);
    return static_cast<int>(reply.result);
  }
  if (reply.result != 0) return static_cast<int>(reply.result);
  if (rule == WordRule::kIfDataPresent && reply.data_length == 0) return kQeltOk;
  *value = reply.Word(kFirstDataWord);
  return kQeltOk;
}

int HalvesReply(const char* ip, uint32_t command, uint16_t* const (&out)[kCtrlHalfCount]) {
  for (uint16_t* p : out) {
    if (p == nullptr) return kQeltNullArgument;
  }
  Reply reply;
  const int rc = Send(ip, command, {}, kMinReplyHalves, &reply);
  if (rc != kQeltOk) return rc;
  if (reply.result != 0) return static_cast<int>(reply.result);
  if (reply.data_length == 0) return kQeltOk;
  for (uint32_t i = 0; i < kCtrlHalfCount; ++i) {
    *out[i] = ctrlmsg::GetHalf(reply.payload + ctrlmsg::kReplyDataOffset + i * sizeof(uint16_t));
  }
  return kQeltOk;
}

// Counted bytes in the reply: the count must lie within what was received.
int CountedReply(const char* ip, uint32_t command, const std::vector<uint8_t>& data, Reply* reply,
                 uint32_t* count) {
  const int rc = Send(ip, command, data, kMinReplyCounted, reply);
  if (rc != kQeltOk) return rc;
  if (reply->result != 0) return static_cast<int>(reply->result);
  *count = ctrlmsg::GetWord(reply->payload + kCountOffset);
  if (*count > reply->length - kCountedBytesOffset) return kQeltInvalid;
  return kQeltOk;
}

// A text of at most `capacity` bytes; the rest of the area is zeroed.
int TextReply(const char* ip, uint32_t command, char* out, unsigned capacity) {
  if (out == nullptr) return kQeltNullArgument;
  Reply reply;
  uint32_t count = 0;
  const int rc = CountedReply(ip, command, WordData({kCtrlTextRequestWord}), &reply, &count);
  if (rc != kQeltOk || count == 0) return rc;
  const uint32_t copied = std::min<uint32_t>(count, capacity);
  memcpy(out, reply.payload + kCountedBytesOffset, copied);
  memset(out + copied, 0, capacity - copied);
  return kQeltOk;
}

// Bytes into the caller's area, whose size `*out_length` gives on entry.
int BytesReply(const char* ip, uint32_t command, const std::vector<uint8_t>& data, void* out,
               unsigned* out_length) {
  Reply reply;
  uint32_t count = 0;
  const int rc = CountedReply(ip, command, data, &reply, &count);
  if (rc != kQeltOk || count == 0) return rc;
  const uint32_t copied = std::min<uint32_t>(count, *out_length);
  memcpy(out, reply.payload + kCountedBytesOffset, copied);
  *out_length = copied;
  return copied < count ? kQeltBufferTooSmall : kQeltOk;
}

int ThreeWords(const char* ip, uint32_t command, const std::vector<uint8_t>& data, Reply* reply) {
  return Send(ip, command, data, kMinReplyThreeWords, reply);
}

uint32_t AsWord(int value) { return static_cast<uint32_t>(value); }

}  // namespace

extern "C" {

int QeltGetVersion(const char* ip, char* out, unsigned capacity) {
  return TextReply(ip, kCmdGetVersion, out, capacity);
}

int QeltGetMacAddress(const char* ip, char* out, unsigned capacity) {
  return TextReply(ip, kCmdGetMacAddress, out, capacity);
}

int QeltGetSystemTime(const char* ip, unsigned* a, unsigned* b, unsigned* c) {
  if (a == nullptr || b == nullptr || c == nullptr) return kQeltNullArgument;
  Reply reply;
  const int rc = ThreeWords(ip, kCmdGetSystemTime, {}, &reply);
  if (rc != kQeltOk) return rc;
  *a = reply.Word(kFirstDataWord);
  *b = reply.Word(kFirstDataWord + 1);
  *c = reply.Word(kFirstDataWord + 2);
  return static_cast<int>(reply.result);
}

int QeltSetSystemTime(const char* ip, unsigned a, unsigned b, unsigned c, unsigned* r1, unsigned* r2) {
  if (r1 == nullptr || r2 == nullptr) return kQeltNullArgument;
  Reply reply;
  const int rc = ThreeWords(ip, kCmdSetSystemTime, WordData({a, b, c}), &reply);
  if (rc != kQeltOk) return rc;
  *r1 = reply.Word(kFirstDataWord + 1);
  *r2 = reply.Word(kFirstDataWord + 2);
  return static_cast<int>(reply.result);
}

int QeltGetImageInfo(const char* ip, int which, unsigned* a, unsigned* b, unsigned* c) {
  if (a == nullptr || b == nullptr || c == nullptr) return kQeltNullArgument;
  Reply reply;
  const int rc = ThreeWords(ip, kCmdGetImageInfo, WordData({AsWord(which)}), &reply);
  if (rc != kQeltOk) return rc;
  if (reply.result != 0) return static_cast<int>(reply.result);
  *a = reply.Word(kFirstDataWord);
  *b = reply.Word(kFirstDataWord + 1);
  *c = reply.Word(kFirstDataWord + 2);
  return kQeltOk;
}

int QeltSelfDefinedCommand(const char* ip, const void* data, unsigned length, void* out, unsigned* out_length) {
  if ((data == nullptr && length > 0) || out == nullptr || out_length == nullptr) return kQeltNullArgument;
  if (length > kCtrlMaxRequestData) return kQeltInvalid;
  std::vector<uint8_t> request = WordData({length});
  request.insert(request.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
  return BytesReply(ip, kCmdSelfDefined, request, out, out_length);
}

int QeltUpgradeControlCommand(const char* ip, int control, const void* data, unsigned length, void* out,
                              unsigned* out_length) {
  if ((data == nullptr && length > 0) || out == nullptr || out_length == nullptr) return kQeltNullArgument;
  if (length > kCtrlMaxRequestData) return kQeltInvalid;
  std::vector<uint8_t> request = WordData({AsWord(control), length});
  request.insert(request.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
  return BytesReply(ip, kCmdUpgradeControl, request, out, out_length);
}

int QeltControlDevice(const char* ip, int value) {
  return ResultOnly(ip, kCmdControlDevice, WordData({AsWord(value)}));
}
int QeltSetZuqCalibrateColorImageFlag(const char* ip, int flag) {
  return ResultOnly(ip, kCmdSetZuqCalibrateColorImageFlag, WordData({AsWord(flag)}));
}
int QeltPrepareBackground(const char* ip, int value) {
  return ResultOnly(ip, kCmdPrepareBackground, WordData({AsWord(value)}));
}
int QeltControlNorbFlap(const char* ip, int value) {
  return ResultOnly(ip, kCmdControlNorbFlap, WordData({AsWord(value)}));
}
int QeltSetNorbAisleMode(const char* ip, int value) {
  return ResultOnly(ip, kCmdSetNorbAisleMode, WordData({AsWord(value)}));
}
int QeltControlNorbSaveData(const char* ip, int value) {
  return ResultOnly(ip, kCmdControlNorbSaveData, WordData({AsWord(value)}));
}
int QeltSetNorbChildHeightThreshold(const char* ip, int value) {
  return ResultOnly(ip, kCmdSetNorbChildHeightThreshold, WordData({AsWord(value)}));
}

int QeltGetZuqDirection(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetZuqDirection, {}, value, WordRule::kOnSuccess);
}
int QeltGetZuqType(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetZuqType, {}, value, WordRule::kOnSuccess);
}
int QeltGetBaseline(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetBaseline, {}, value, WordRule::kOnSuccess);
}
int QeltGetFocalLength(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetFocalLength, {}, value, WordRule::kOnSuccess);
}
int QeltGetDisparityShift(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetDisparityShift, {}, value, WordRule::kOnSuccess);
}
int QeltGetDisparityRange(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetDisparityRange, {}, value, WordRule::kOnSuccess);
}
int QeltAdjustZuqDisparityShift(const char* ip, int step, unsigned* value) {
  return WordReply(ip, kCmdAdjustZuqDisparityShift, WordData({AsWord(step)}), value, WordRule::kWhateverResult);
}
int QeltGetZuqCalibrateColorImageFlag(const char* ip, unsigned* flag) {
  return WordReply(ip, kCmdGetZuqCalibrateColorImageFlag, {}, flag, WordRule::kWhateverResult);
}
int QeltGetNorbSensorStatus(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetNorbSensorStatus, {}, value, WordRule::kIfDataPresent);
}
int QeltGetNorbWorkStatus(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetNorbWorkStatus, {}, value, WordRule::kIfDataPresent);
}
int QeltGetNorbAisleMode(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetNorbAisleMode, {}, value, WordRule::kIfDataPresent);
}
int QeltGetNorbChildHeightThreshold(const char* ip, unsigned* value) {
  return WordReply(ip, kCmdGetNorbChildHeightThreshold, {}, value, WordRule::kIfDataPresent);
}

int QeltInitNorbDevice(const char* ip, uint16_t* v0, uint16_t* v1, uint16_t* v2, uint16_t* v3, uint16_t* v4,
                       uint16_t* v5, uint16_t* v6, uint16_t* v7) {
  return HalvesReply(ip, kCmdInitNorbDevice, {v0, v1, v2, v3, v4, v5, v6, v7});
}
int QeltProcessModelImage(const char* ip, uint16_t* v0, uint16_t* v1, uint16_t* v2, uint16_t* v3, uint16_t* v4,
                          uint16_t* v5, uint16_t* v6, uint16_t* v7) {
  return HalvesReply(ip, kCmdProcessModelImage, {v0, v1, v2, v3, v4, v5, v6, v7});
}
int QeltGetNorbOrigin(const char* ip, uint16_t* v0, uint16_t* v1, uint16_t* v2, uint16_t* v3, uint16_t* v4,
                      uint16_t* v5, uint16_t* v6, uint16_t* v7) {
  return HalvesReply(ip, kCmdGetNorbOrigin, {v0, v1, v2, v3, v4, v5, v6, v7});
}

int QeltSendDnnObjectInfo(const char* ip, unsigned a, unsigned b, const uint32_t* objects, int count,
                          unsigned* result) {
  if (count < 0 || count > kCtrlMaxDnnObjects) return kQeltUnsupported;
  if (result == nullptr || (objects == nullptr && count > 0)) return kQeltNullArgument;
  std::vector<uint8_t> request = WordData({a, b, static_cast<uint32_t>(count)});
  const uint32_t words = static_cast<uint32_t>(count) * kCtrlDnnObjectWords;
  request.resize(request.size() + words * kCtrlWordBytes);
  uint8_t* at = request.data() + 3 * kCtrlWordBytes;
  for (uint32_t i = 0; i < words; ++i) PutWord(at + i * kCtrlWordBytes, objects[i]);
  Reply reply;
  const int rc = Send(ip, kCmdSendDnnObjectInfo, request, kMinReplyNone, &reply);
  if (rc != kQeltOk) return rc;
  *result = reply.result;
  return kQeltOk;
}

}  // extern "C"
