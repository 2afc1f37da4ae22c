// Control command set: request functions, reply builders and the object and file senders.
#pragma once

#include <cstdint>

#include "pelarin/packet.h"
#include "pelarin/scdp.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Frame words: every request and reply opens with its kind and the command code.
enum CtrlFrameKind : uint32_t { kCtrlRequest = 1, kCtrlReply = 2 };

enum CtrlCommand : uint32_t {
  kCmdGetVersion = 1,
  kCmdGetSystemTime = 5,
  kCmdSetSystemTime = 6,
  kCmdSelfDefined = 12,
  kCmdUpgradeControl = 13,
  kCmdGetMacAddress = 14,
  kCmdControlDevice = 15,
  kCmdGetZuqDirection = 202,
  kCmdAdjustZuqDisparityShift = 204,
  kCmdGetZuqType = 205,
  kCmdGetBaseline = 206,
  kCmdGetFocalLength = 207,
  kCmdGetDisparityShift = 208,
  kCmdGetDisparityRange = 209,
  kCmdGetImageInfo = 210,
  kCmdGetZuqCalibrateColorImageFlag = 211,
  kCmdSetZuqCalibrateColorImageFlag = 212,
  kCmdInitNorbDevice = 400,
  kCmdPrepareBackground = 401,
  kCmdProcessModelImage = 402,
  kCmdGetNorbOrigin = 403,
  kCmdControlNorbFlap = 404,
  kCmdGetNorbSensorStatus = 405,
  kCmdGetNorbWorkStatus = 406,
  kCmdGetNorbAisleMode = 407,
  kCmdSetNorbAisleMode = 408,
  kCmdControlNorbSaveData = 413,
  kCmdGetNorbChildHeightThreshold = 414,
  kCmdSetNorbChildHeightThreshold = 415,
  kCmdSendDnnObjectInfo = 416,
};

constexpr uint32_t kCtrlWordBytes = 4;
constexpr uint32_t kCtrlRequestHeadBytes = 12;  // kind, command, data length
constexpr uint32_t kCtrlReplyHeadBytes = 16;    // kind, command, result, data length
// The word a text request (version, MAC address) carries.
constexpr uint32_t kCtrlTextRequestWord = 4080;
// Largest data of a self-defined or upgrade request.
constexpr uint32_t kCtrlMaxRequestData = 1024;
constexpr int kCtrlMaxDnnObjects = 32;
constexpr uint32_t kCtrlDnnObjectWords = 6;
constexpr uint32_t kCtrlHalfCount = 8;
// Longest command line the file transfer functions run (terminator included).
constexpr uint32_t kCtrlShellLineBytes = 1024;

// ---- the sending side: the exchange with one peer ----
// 38 for a null record or payload; else the control client's exchange (waits for the reply).
int QELTMSendCtrlMsg(const ScdpRequest* request, ScdpReplyView* reply);
int QELTMSendCtrlMsgWithoutAck(const ScdpRequest* request);
// 38 for a null header or data; else the object ring's write.
int QELTMSendObject(const ObjectPara* header, const void* data, unsigned size);

// ---- request functions: build, send to `ip`, decode the reply ----
// Every one returns 38 for a null address or output, 1 for an address that does not fit, the
// exchange's code when it fails, 11 for a reply that is short or answers another command.
int QeltGetVersion(const char* ip, char* out, unsigned capacity);
int QeltGetSystemTime(const char* ip, unsigned* a, unsigned* b, unsigned* c);
int QeltSetSystemTime(const char* ip, unsigned a, unsigned b, unsigned c, unsigned* r1, unsigned* r2);
// `out_length` holds the capacity of `out` on entry and the bytes copied on return; 44 when the
// peer sent more than fits (the first capacity bytes are copied).
int QeltSelfDefinedCommand(const char* ip, const void* data, unsigned length, void* out, unsigned* out_length);
int QeltUpgradeControlCommand(const char* ip, int control, const void* data, unsigned length, void* out,
                              unsigned* out_length);
int QeltGetMacAddress(const char* ip, char* out, unsigned capacity);
int QeltControlDevice(const char* ip, int value);
int QeltGetZuqDirection(const char* ip, unsigned* value);
int QeltAdjustZuqDisparityShift(const char* ip, int step, unsigned* value);
int QeltGetZuqType(const char* ip, unsigned* value);
int QeltGetBaseline(const char* ip, unsigned* value);
int QeltGetFocalLength(const char* ip, unsigned* value);
int QeltGetDisparityShift(const char* ip, unsigned* value);
int QeltGetDisparityRange(const char* ip, unsigned* value);
int QeltGetImageInfo(const char* ip, int which, unsigned* a, unsigned* b, unsigned* c);
int QeltGetZuqCalibrateColorImageFlag(const char* ip, unsigned* flag);
int QeltSetZuqCalibrateColorImageFlag(const char* ip, int flag);
int QeltInitNorbDevice(const char* ip, uint16_t* v0, uint16_t* v1, uint16_t* v2, uint16_t* v3, uint16_t* v4,
                       uint16_t* v5, uint16_t* v6, uint16_t* v7);
int QeltPrepareBackground(const char* ip, int value);
int QeltProcessModelImage(const char* ip, uint16_t* v0, uint16_t* v1, uint16_t* v2, uint16_t* v3, uint16_t* v4,
                          uint16_t* v5, uint16_t* v6, uint16_t* v7);
int QeltGetNorbOrigin(const char* ip, uint16_t* v0, uint16_t* v1, uint16_t* v2, uint16_t* v3, uint16_t* v4,
                      uint16_t* v5, uint16_t* v6, uint16_t* v7);
int QeltControlNorbFlap(const char* ip, int value);
int QeltGetNorbSensorStatus(const char* ip, unsigned* value);
int QeltGetNorbWorkStatus(const char* ip, unsigned* value);
int QeltGetNorbAisleMode(const char* ip, unsigned* value);
int QeltSetNorbAisleMode(const char* ip, int value);
int QeltControlNorbSaveData(const char* ip, int value);
int QeltGetNorbChildHeightThreshold(const char* ip, unsigned* value);
int QeltSetNorbChildHeightThreshold(const char* ip, int value);
// `objects` holds count groups of six words in host order.
int QeltSendDnnObjectInfo(const char* ip, unsigned a, unsigned b, const uint32_t* objects, int count,
                          unsigned* result);

// ---- reply builders: fill the reply record of the control callback ----
// Each writes the whole reply, sets reply_flag 1 and used_size, and returns 0. When the data
// does not fit the record, the reply goes without data and with result 44, and 44 is returned;
// when not even that fits (or the record is null), nothing is written and 44 (38) is returned.
int QeltCommonReply1(tagACKMsgPara* reply, unsigned command, unsigned result);
int QeltCommonReply2(tagACKMsgPara* reply, unsigned command, unsigned result, unsigned value);
int QeltReplyVersion(tagACKMsgPara* reply, unsigned result, const char* text, unsigned length);
int QeltReplyGetSystemTime(tagACKMsgPara* reply, unsigned result, unsigned a, unsigned b, unsigned c);
int QeltReplySetSystemTime(tagACKMsgPara* reply, unsigned result, unsigned x, unsigned y, unsigned z);
int QeltReplySelfDefinedCommand(tagACKMsgPara* reply, unsigned result, const void* data, unsigned length);
int QeltReplyUpgradeControlCommand(tagACKMsgPara* reply, unsigned result, const void* data, unsigned length);
int QeltReplyMacAddress(tagACKMsgPara* reply, unsigned result, const char* text, unsigned length);
int QeltReplyControlDevice(tagACKMsgPara* reply, unsigned result);
int QeltReplyGetZuqDirection(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyAdjustZuqDisparityShift(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyZuqType(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyGetBaseline(tagACKMsgPara* reply, unsigned result, float value);
int QeltReplyGetFocalLength(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyGetDisparityShift(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyGetDisparityRange(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyGetImageInfo(tagACKMsgPara* reply, unsigned result, unsigned a, unsigned b, unsigned c);
int QeltReplyGetZuqCalibrateColorImageFlag(tagACKMsgPara* reply, unsigned result, unsigned flag);
int QeltReplySetZuqCalibrateColorImageFlag(tagACKMsgPara* reply, unsigned result);
int QeltReplyInitNorbDevice(tagACKMsgPara* reply, unsigned result, uint32_t v0, uint32_t v1, uint32_t v2,
                            uint32_t v3, uint32_t v4, uint32_t v5, uint16_t v6, uint16_t v7);
int QeltReplyPrepareBackground(tagACKMsgPara* reply, unsigned result);
int QeltReplyProcessModelImage(tagACKMsgPara* reply, unsigned result, uint32_t v0, uint32_t v1, uint32_t v2,
                               uint32_t v3, uint32_t v4, uint32_t v5, uint16_t v6, uint16_t v7);
int QeltReplyGetNorbOrigin(tagACKMsgPara* reply, unsigned result, uint32_t v0, uint32_t v1, uint32_t v2,
                           uint32_t v3, uint32_t v4, uint32_t v5, uint16_t v6, uint16_t v7);
int QeltReplyControlNorbFlap(tagACKMsgPara* reply, unsigned result);
int QeltReplyGetNorbSensorStatus(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyGetNorbWorkStatus(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplyGetNorbAisleMode(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplySetNorbAisleMode(tagACKMsgPara* reply, unsigned result);
int QeltReplyControlNorbSaveData(tagACKMsgPara* reply, unsigned result);
int QeltReplyGetNorbChildHeightThreshold(tagACKMsgPara* reply, unsigned result, unsigned value);
int QeltReplySetNorbChildHeightThreshold(tagACKMsgPara* reply, unsigned result);
int QeltSendDnnObjectInfoReply(tagACKMsgPara* reply, unsigned result);

// ---- objects and files ----
// Sends `count` object records of 232 bytes over the object stream; the caller's records are
// left as they were (a big-endian copy is sent).
int QeltNorbSendObjectInfo(const char* ip, unsigned kind, unsigned count, void* records);
// Copy a calibration file from or to a device with the "adb" tool; always 66.
int QeltGetZuqCalibrateFile(const char* ip, const char* device_path, const char* local_path);
int QeltSetZuqCalibrateFile(const char* ip, const char* device_path, const char* local_path);

}  // extern "C"

LIBRARY_EXPORTS_END
