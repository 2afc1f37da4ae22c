// The two element tables: one builder and one parser per element type.
#include <cstring>

#include "packet_layout.h"
#include "pelarin/foundation.h"
#include "pelarin/packet.h"

namespace pelarin {
namespace {

constexpr uint32_t kSequenceBytes = 4;
constexpr uint32_t kImageParaBytes = 28;
constexpr uint32_t kImageParaTailOffset = 24;  // value, two reserved bytes, exposure flag
constexpr uint32_t kIPInfoBytes = 44;
constexpr uint32_t kIPInfoAddressOffset = 1;
constexpr uint8_t kIPInfoFlag = 1;
constexpr uint32_t kCtrlImageBytes = 12;
constexpr uint32_t kCtrlObjectBytes = 12;
constexpr uint32_t kObjectParaBytes = 52;
constexpr uint32_t kControlLedBytes = 11;
constexpr uint32_t kObjectCountMask = 0xFFFF;
// The control LED element carries the caller's bytes in this order.
constexpr uint8_t kControlLedOrder[kControlLedBytes] = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 3};

// Value sizes of the placeholder and value-less rows.
constexpr uint32_t kDeviceStatusBytes = 5;
constexpr uint32_t kSoftwareVersionBytes = 6;
constexpr uint32_t kLogLevelBytes = 2;
constexpr uint32_t kPacketLogFileBytes = 16;

// Writes a fixed-size element when it fits: the head, then `fill` unless there is no record.
// Returns the element size either way.
template <typename Fill>
uint32_t BuildFixed(uint8_t type, uint32_t value_bytes, uint8_t* dest, uint32_t capacity,
                    bool has_value, Fill fill) {
  if (dest == nullptr) return 0;
  const uint32_t total = kElementHeadBytes + value_bytes;
  if (total > capacity) return total;
  WriteElementHead(dest, type, value_bytes);
  if (has_value) fill(dest + kElementHeadBytes);
  return total;
}

uint32_t BuildText(uint8_t type, const char* text, uint8_t* dest, uint32_t capacity) {
  const uint32_t length = static_cast<uint32_t>(strlen(text) + 1);
  return BuildFixed(type, length, dest, capacity, true,
                    [&](uint8_t* value) { memcpy(value, text, length); });
}

// A bounded identity field of the init record, or the default text when it is empty.
const char* IdentityText(const char* field, char (&bounded)[kIdentityTextBytes + 1], const char* fallback) {
  const size_t length = strnlen(field, kIdentityTextBytes);
  if (length == 0) return fallback;
  memcpy(bounded, field, length);
  bounded[length] = '\0';
  return bounded;
}

// ---- builders ----

uint32_t BuildHead(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  if (dest == nullptr || capacity < kPacketHeadBytes) return 0;
  memcpy(dest, kDefaultPacketHead, kPacketHeadBytes);
  return kPacketHeadBytes;
}

uint32_t BuildSequence(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  if (dest == nullptr || capacity < kElementHeadBytes + kSequenceBytes) return 0;
  return BuildFixed(kElementSequence, kSequenceBytes, dest, capacity, true,
                    [](uint8_t* value) { SetUint32(PacketNextSequence(), value); });
}

uint32_t BuildVender(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  char bounded[kIdentityTextBytes + 1];
  return BuildText(kElementVender, IdentityText(QeltmParaCfg.vendor_name, bounded, DefaultVenderName), dest,
                   capacity);
}

uint32_t BuildSerialNumber(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  char bounded[kIdentityTextBytes + 1];
  return BuildText(kElementSerialNumber,
                   IdentityText(QeltmParaCfg.serial_number, bounded, DefaultSeralNumber), dest, capacity);
}

uint32_t BuildLibVersion(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  return BuildText(kElementLibVersion, QELTMVersion, dest, capacity);
}

uint32_t BuildCheckSum(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  return BuildFixed(kElementCheckSum, 1, dest, capacity, true, [](uint8_t* value) { value[0] = 0; });
}

uint32_t BuildImagePara(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  const ImagePara* p = static_cast<const ImagePara*>(record);
  return BuildFixed(kElementImagePara, kImageParaBytes, dest, capacity, p != nullptr, [p](uint8_t* v) {
    SetUint32(p->image_type, v);
    SetUint32(p->frame_index, v + 4);
    SetUint16(p->width, v + 8);
    SetUint16(p->height, v + 10);
    SetUint32(p->data_size, v + 12);
    SetUint32(p->timestamp_low, v + 16);
    SetUint32(p->timestamp_high, v + 20);
    v[24] = p->value;
    v[25] = 0;
    v[26] = 0;
    v[27] = p->exposure_ok;
  });
}

template <uint8_t Type>
uint32_t BuildEmpty(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  return BuildFixed(Type, 0, dest, capacity, false, [](uint8_t*) {});
}

// Placeholders: the first value byte is 0, the rest is left as the composer zeroed it.
template <uint8_t Type, uint32_t Bytes>
uint32_t BuildPlaceholder(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  return BuildFixed(Type, Bytes, dest, capacity, true, [](uint8_t* value) { value[0] = 0; });
}

uint32_t BuildLogLevel(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  return BuildFixed(kElementLogLevel, kLogLevelBytes, dest, capacity, false, [](uint8_t*) {});
}

uint32_t BuildDeviceType(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  const uint8_t type = record != nullptr ? *static_cast<const uint8_t*>(record) : QeltmParaCfg.device_type;
  return BuildFixed(kElementDeviceType, 1, dest, capacity, true, [type](uint8_t* value) { value[0] = type; });
}

uint32_t BuildIPInfo(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  return BuildFixed(kElementIPInfo, kIPInfoBytes, dest, capacity, true, [record](uint8_t* value) {
    value[0] = kIPInfoFlag;
    if (record == nullptr) memcpy(value + kIPInfoAddressOffset, QeltmParaCfg.local_ip, kAddressTextBytes);
  });
}

uint32_t BuildControlLed(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  const uint8_t* bytes = static_cast<const uint8_t*>(record);
  return BuildFixed(kElementControlLed, kControlLedBytes, dest, capacity, bytes != nullptr, [bytes](uint8_t* v) {
    for (uint32_t i = 0; i < kControlLedBytes; ++i) v[i] = bytes[kControlLedOrder[i]];
  });
}

uint32_t BuildCtrlImage(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  const CtrlImageRequest* r = static_cast<const CtrlImageRequest*>(record);
  return BuildFixed(kElementCtrlImage, kCtrlImageBytes, dest, capacity, r != nullptr, [r](uint8_t* v) {
    v[0] = r->command_type;
    v[1] = static_cast<uint8_t>(r->command);
    v[2] = 0;
    v[3] = r->frame_rate;
    SetUint32(r->image_type, v + 4);
    SetUint16(r->width, v + 8);
    SetUint16(r->height, v + 10);
  });
}

template <uint8_t Type>
uint32_t BuildRaw(uint8_t* dest, uint32_t capacity, const void* record, uint32_t payload_length) {
  if (dest == nullptr) return 0;
  const uint64_t total = uint64_t{kElementHeadBytes} + payload_length;
  if (total > capacity) return total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
  WriteElementHead(dest, Type, payload_length);
  // The SCDP reply is composed in place: the payload may already stand where it goes.
  if (record != nullptr && payload_length > 0) memmove(dest + kElementHeadBytes, record, payload_length);
  return static_cast<uint32_t>(total);
}

uint32_t BuildCtrlObject(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  const CtrlObject* r = static_cast<const CtrlObject*>(record);
  return BuildFixed(kElementCtrlObject, kCtrlObjectBytes, dest, capacity, r != nullptr, [r](uint8_t* v) {
    SetUint16(r->command_type, v);
    SetUint16(r->command, v + 2);
    SetUint32(r->error, v + 4);
    memcpy(v + 8, r->reserved, sizeof r->reserved);
  });
}

uint32_t BuildObjectPara(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  const ObjectPara* p = static_cast<const ObjectPara*>(record);
  return BuildFixed(kElementObjectPara, kObjectParaBytes, dest, capacity, p != nullptr, [p](uint8_t* v) {
    memcpy(v, p->ip_address, sizeof p->ip_address);
    SetUint32(p->kind, v + 40);
    SetUint32(p->data_size, v + 44);
    SetUint32(p->object_count & kObjectCountMask, v + 48);
  });
}

template <uint8_t Type>
uint32_t BuildRecord(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  return BuildRecordElement(Type, *RecordLayout(Type), dest, capacity, record);
}

// ---- parsers ----

// Checks the element and the output room; on success points `value` at the value bytes.
int OpenElement(const uint8_t* element, uint32_t remaining, uint32_t needed_value, void* out,
                uint32_t out_capacity, uint32_t out_bytes, const uint8_t** value, uint32_t* value_length) {
  if (element == nullptr) return kQeltNullArgument;
  if (ReadElementHead(element, remaining, value_length) != kQeltOk) return kQeltInvalid;
  if (*value_length < needed_value) return kQeltInvalid;
  if (out != nullptr && out_capacity < out_bytes) return kQeltBufferTooSmall;
  *value = element + kElementHeadBytes;
  return kQeltOk;
}

void SetConsumed(uint32_t* consumed, uint32_t value_length) {
  if (consumed != nullptr) *consumed = kElementHeadBytes + value_length;
}

// Rows whose value carries nothing this system reads: measured, never copied.
int ParseMeasureOnly(const uint8_t* element, uint32_t remaining, void*, uint32_t, uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  const uint8_t* value;
  uint32_t length;
  const int rc = OpenElement(element, remaining, 0, nullptr, 0, 0, &value, &length);
  if (rc != kQeltOk) return rc;
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseSequence(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity,
                  uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  const uint8_t* value;
  uint32_t length;
  const int rc = OpenElement(element, remaining, kSequenceBytes, out, out_capacity, sizeof(uint32_t), &value, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    uint32_t number;
    GetUint32Value(value, &number);
    memcpy(out, &number, sizeof number);
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseOneByte(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  const uint8_t* value;
  uint32_t length;
  const int rc = OpenElement(element, remaining, 1, out, out_capacity, 1, &value, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) *static_cast<uint8_t*>(out) = value[0];
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseImagePara(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity,
                   uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  const uint8_t* v;
  uint32_t length;
  const int rc = OpenElement(element, remaining, kImageParaBytes, out, out_capacity, sizeof(ImagePara), &v, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    ImagePara p{};
    GetUint32Value(v, &p.image_type);
    GetUint32Value(v + 4, &p.frame_index);
    GetUint16Value(v + 8, &p.width);
    GetUint16Value(v + 10, &p.height);
    GetUint32Value(v + 12, &p.data_size);
    GetUint32Value(v + 16, &p.timestamp_low);
    GetUint32Value(v + 20, &p.timestamp_high);
    memcpy(&p.value, v + kImageParaTailOffset, kImageParaBytes - kImageParaTailOffset);
    memcpy(out, &p, sizeof p);
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseIPInfo(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  const uint8_t* v;
  uint32_t length;
  const uint32_t needed = kIPInfoAddressOffset + kAddressTextBytes;
  const int rc = OpenElement(element, remaining, needed, out, out_capacity, sizeof(DiscoveredDevice), &v, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    DiscoveredDevice* d = static_cast<DiscoveredDevice*>(out);
    d->ipinfo_flag = v[0];
    memcpy(d->ip_address, v + kIPInfoAddressOffset, kAddressTextBytes);
    d->ip_address[kAddressTextBytes - 1] = '\0';  // a peer's text is always terminated here
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseControlLed(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity,
                    uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  const uint8_t* v;
  uint32_t length;
  const int rc = OpenElement(element, remaining, kControlLedBytes, out, out_capacity, kControlLedBytes, &v, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    uint8_t* bytes = static_cast<uint8_t*>(out);
    for (uint32_t i = 0; i < kControlLedBytes; ++i) bytes[kControlLedOrder[i]] = v[i];
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseCtrlImage(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity,
                   uint32_t* consumed) {
  const uint8_t* v;
  uint32_t length;
  const int rc = OpenElement(element, remaining, kCtrlImageBytes, out, out_capacity, sizeof(CtrlImage), &v, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    CtrlImage c{};
    memcpy(&c, v, 4);
    GetUint32Value(v + 4, &c.image_type);
    GetUint16Value(v + 8, &c.width);
    GetUint16Value(v + 10, &c.height);
    memcpy(out, &c, sizeof c);
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

// KeyValue and KeyValueACK: the raw value; a null output only measures.
int ParseRaw(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed) {
  const uint8_t* v;
  uint32_t length;
  int rc = OpenElement(element, remaining, 0, nullptr, 0, 0, &v, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    if (length > out_capacity) return kQeltBufferTooSmall;
    memcpy(out, v, length);
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseCtrlObject(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity,
                    uint32_t* consumed) {
  const uint8_t* v;
  uint32_t length;
  const int rc = OpenElement(element, remaining, kCtrlObjectBytes, out, out_capacity, sizeof(CtrlObject), &v, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    CtrlObject c{};
    GetUint16Value(v, &c.command_type);
    GetUint16Value(v + 2, &c.command);
    GetUint32Value(v + 4, &c.error);
    memcpy(c.reserved, v + 8, sizeof c.reserved);
    memcpy(out, &c, sizeof c);
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

int ParseObjectPara(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity,
                    uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  const uint8_t* v;
  uint32_t length;
  const int rc = OpenElement(element, remaining, kObjectParaBytes, out, out_capacity, sizeof(ObjectPara), &v, &length);
  if (rc != kQeltOk) return rc;
  if (out != nullptr) {
    ObjectPara p{};
    memcpy(p.ip_address, v, sizeof p.ip_address);
    p.ip_address[sizeof p.ip_address - 1] = '\0';
    GetUint32Value(v + 40, &p.kind);
    GetUint32Value(v + 44, &p.data_size);
    GetUint32Value(v + 48, &p.object_count);
    memcpy(out, &p, sizeof p);
  }
  SetConsumed(consumed, length);
  return kQeltOk;
}

template <uint8_t Type>
int ParseRecord(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed) {
  return ParseRecordElement(*RecordLayout(Type), element, remaining, out, out_capacity, consumed);
}

}  // namespace
}  // namespace pelarin

using namespace pelarin;

extern "C" {

int CheckPacketDefaultHead(const uint8_t* data, uint32_t remaining, void*, uint32_t, uint32_t* consumed) {
  if (data == nullptr) return kQeltNullArgument;
  if (remaining < kPacketHeadBytes) return kQeltHeadTooShort;
  if (memcmp(data, kDefaultPacketHead, kPacketHeadBytes) != 0) return kQeltHeadWrong;
  if (consumed != nullptr) *consumed = kPacketHeadBytes;
  return kQeltOk;
}

const SetPacketFunc SetPacketHandler[kElementTableRows] = {
    BuildHead,                                                     // 0
    BuildSequence,                                                 // 1
    BuildVender,                                                   // 2
    BuildSerialNumber,                                             // 3
    BuildLibVersion,                                               // 4
    BuildCheckSum,                                                 // 5
    BuildImagePara,                                                // 6
    BuildEmpty<kElementImageCheckSum>,                             // 7
    BuildEmpty<kElementDeviceRunDuration>,                         // 8
    BuildEmpty<kElementAppRunDuration>,                            // 9
    BuildDeviceType,                                               // 10
    BuildPlaceholder<kElementDeviceStatus, kDeviceStatusBytes>,    // 11
    BuildPlaceholder<kElementSoftwareVersion, kSoftwareVersionBytes>,  // 12
    BuildIPInfo,                                                   // 13
    BuildRecord<kElementCameraCorrectionStatus>,                   // 14
    BuildRecord<kElementRelatedDeviceStatus>,                      // 15
    BuildRecord<kElementDeviceLocation>,                           // 16
    BuildRecord<kElementDeviceExtraInformation>,                   // 17
    BuildRecord<kElementDevicedTimestamp>,                         // 18
    BuildRecord<kElementNetworkDelay>,                             // 19
    BuildRecord<kElementChannelDirection>,                         // 20
    BuildRecord<kElementFeatureStatus>,                            // 21
    BuildRecord<kElementPeripheralRegister>,                       // 22
    BuildLogLevel,                                                 // 23
    BuildEmpty<kElementFrameRealtimeTargetInformation>,            // 24
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,          // 25-30
    BuildRecord<kElementCommonReponse>,                            // 31
    BuildRecord<kElementControlDevice>,                            // 32
    BuildRecord<kElementControlSoftware>,                          // 33
    BuildPlaceholder<kElementControlPacketLogFile, kPacketLogFileBytes>,  // 34
    BuildRecord<kElementControlCameraCorrection>,                  // 35
    BuildControlLed,                                               // 36
    BuildCtrlImage,                                                // 37
    BuildRecord<kElementControlDeviceInformation>,                 // 38
    BuildRecord<kElementControlRelatedDevice>,                     // 39
    BuildRecord<kElementControlDeviceLocation>,                    // 40
    BuildRecord<kElementControlExtraInformation>,                  // 41
    BuildRecord<kElementControlDateTime>,                          // 42
    BuildRecord<kElementControlRemoteShell>,                       // 43
    BuildRecord<kElementControlFeature>,                           // 44
    BuildRecord<kElementControlDevicMode>,                         // 45
    nullptr,                                                       // 46
    BuildRaw<kElementKeyValue>,                                    // 47
    BuildRaw<kElementKeyValueACK>,                                 // 48
    BuildCtrlObject,                                               // 49
    BuildObjectPara,                                               // 50
};

const AnalysisPacketFunc AnalysisPacketHandler[kElementTableRows] = {
    CheckPacketDefaultHead,                                        // 0
    ParseSequence,                                                 // 1
    ParseMeasureOnly, ParseMeasureOnly, ParseMeasureOnly,          // 2-4
    ParseMeasureOnly,                                              // 5
    ParseImagePara,                                                // 6
    ParseMeasureOnly, ParseMeasureOnly, ParseMeasureOnly,          // 7-9
    ParseOneByte,                                                  // 10
    ParseMeasureOnly, ParseMeasureOnly,                            // 11-12
    ParseIPInfo,                                                   // 13
    ParseRecord<kElementCameraCorrectionStatus>,                   // 14
    ParseRecord<kElementRelatedDeviceStatus>,                      // 15
    ParseOneByte,                                                  // 16
    ParseRecord<kElementDeviceExtraInformation>,                   // 17
    ParseRecord<kElementDevicedTimestamp>,                         // 18
    ParseRecord<kElementNetworkDelay>,                             // 19
    ParseOneByte,                                                  // 20
    ParseRecord<kElementFeatureStatus>,                            // 21
    ParseRecord<kElementPeripheralRegister>,                       // 22
    ParseOneByte,                                                  // 23
    ParseMeasureOnly,                                              // 24
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,          // 25-30
    ParseOneByte,                                                  // 31
    ParseRecord<kElementControlDevice>,                            // 32
    ParseRecord<kElementControlSoftware>,                          // 33
    ParseMeasureOnly,                                              // 34
    ParseRecord<kElementControlCameraCorrection>,                  // 35
    ParseControlLed,                                               // 36
    ParseCtrlImage,                                                // 37
    ParseRecord<kElementControlDeviceInformation>,                 // 38
    ParseRecord<kElementControlRelatedDevice>,                     // 39
    ParseRecord<kElementControlDeviceLocation>,                    // 40
    ParseRecord<kElementControlExtraInformation>,                  // 41
    ParseRecord<kElementControlDateTime>,                          // 42
    ParseRecord<kElementControlRemoteShell>,                       // 43
    ParseRecord<kElementControlFeature>,                           // 44
    ParseRecord<kElementControlDevicMode>,                         // 45
    nullptr,                                                       // 46
    ParseRaw,                                                      // 47
    ParseRaw,                                                      // 48
    ParseCtrlObject,                                               // 49
    ParseObjectPara,                                               // 50
};

}  // extern "C"
