// Internal to the element tables: value sizes, the row builders and parsers, and the row
// templates shared by several element types.
#pragma once

#include <cstdint>

#include "packet_layout.h"
#include "pelarin/foundation.h"
#include "pelarin/packet.h"

namespace pelarin {

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

// Rows with a builder of their own.
uint32_t BuildHead(uint8_t* dest, uint32_t capacity, const void*, uint32_t);
uint32_t BuildSequence(uint8_t* dest, uint32_t capacity, const void*, uint32_t);
uint32_t BuildVender(uint8_t* dest, uint32_t capacity, const void*, uint32_t);
uint32_t BuildSerialNumber(uint8_t* dest, uint32_t capacity, const void*, uint32_t);
uint32_t BuildLibVersion(uint8_t* dest, uint32_t capacity, const void*, uint32_t);
uint32_t BuildCheckSum(uint8_t* dest, uint32_t capacity, const void*, uint32_t);
uint32_t BuildImagePara(uint8_t* dest, uint32_t capacity, const void* record, uint32_t);
uint32_t BuildLogLevel(uint8_t* dest, uint32_t capacity, const void*, uint32_t);
uint32_t BuildDeviceType(uint8_t* dest, uint32_t capacity, const void* record, uint32_t);
uint32_t BuildIPInfo(uint8_t* dest, uint32_t capacity, const void* record, uint32_t);
uint32_t BuildControlLed(uint8_t* dest, uint32_t capacity, const void* record, uint32_t);
uint32_t BuildCtrlImage(uint8_t* dest, uint32_t capacity, const void* record, uint32_t);
uint32_t BuildCtrlObject(uint8_t* dest, uint32_t capacity, const void* record, uint32_t);
uint32_t BuildObjectPara(uint8_t* dest, uint32_t capacity, const void* record, uint32_t);

// Rows with a parser of their own.
int ParseMeasureOnly(const uint8_t* element, uint32_t remaining, void*, uint32_t, uint32_t* consumed);
int ParseSequence(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseOneByte(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseImagePara(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseIPInfo(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseControlLed(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseCtrlImage(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseRaw(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseCtrlObject(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);
int ParseObjectPara(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed);

template <uint8_t Type>
uint32_t BuildEmpty(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  return BuildFixed(Type, 0, dest, capacity, false, [](uint8_t*) {});
}

// Placeholders: the first value byte is 0, the rest is left as the composer zeroed it.
template <uint8_t Type, uint32_t Bytes>
uint32_t BuildPlaceholder(uint8_t* dest, uint32_t capacity, const void*, uint32_t) {
  return BuildFixed(Type, Bytes, dest, capacity, true, [](uint8_t* value) { value[0] = 0; });
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

template <uint8_t Type>
uint32_t BuildRecord(uint8_t* dest, uint32_t capacity, const void* record, uint32_t) {
  return BuildRecordElement(Type, *RecordLayout(Type), dest, capacity, record);
}

template <uint8_t Type>
int ParseRecord(const uint8_t* element, uint32_t remaining, void* out, uint32_t out_capacity, uint32_t* consumed) {
  return ParseRecordElement(*RecordLayout(Type), element, remaining, out, out_capacity, consumed);
}

}  // namespace pelarin
