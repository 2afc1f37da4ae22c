// Field-list builder and parser for the record elements, and the table of their layouts.
#include "packet_layout.h"

#include <cstring>

#include "pelarin/packet.h"

namespace pelarin {
namespace {

constexpr uint32_t kTextLengthBytes = 4;

uint32_t NumberBytes(FieldKind kind) {
  switch (kind) {
    case FieldKind::kU8: return 1;
    case FieldKind::kU16: return 2;
    case FieldKind::kU32: return 4;
    default: return 1;
  }
}

// Bytes a field takes on the wire without its text.
uint32_t FixedBytes(const FieldSpec& f) {
  if (f.kind == FieldKind::kText) return kTextLengthBytes;
  return NumberBytes(f.kind) * f.count;
}

const char* TextOf(const void* record, const FieldSpec& f) {
  const char* text;
  memcpy(&text, static_cast<const uint8_t*>(record) + f.record_offset, sizeof text);
  return text != nullptr ? text : "";
}

#define FIELD(kind, count, rec, member) \
  FieldSpec { FieldKind::kind, count, static_cast<uint16_t>(offsetof(rec, member)), 0 }
#define TEXT(rec, text, length) \
  FieldSpec { FieldKind::kText, 1, static_cast<uint16_t>(offsetof(rec, text)), \
              static_cast<uint16_t>(offsetof(rec, length)) }

const ElementLayout kCameraCorrection = {
    2, {FIELD(kU32, 3, CameraCorrectionStatusRecord, values),
        TEXT(CameraCorrectionStatusRecord, text, text_length)}};
const ElementLayout kRelatedDeviceStatus = {
    3, {FIELD(kU8, 2, RelatedDeviceStatusRecord, values),
        TEXT(RelatedDeviceStatusRecord, text1, text1_length),
        TEXT(RelatedDeviceStatusRecord, text2, text2_length)}};
const ElementLayout kExtraInformation = {1, {TEXT(ExtraInformationRecord, text, text_length)}};
const ElementLayout kDeviceTimestamp = {1, {FIELD(kU32, 2, DeviceTimestampRecord, values)}};
const ElementLayout kNetworkDelay = {
    2, {FIELD(kU16, 4, NetworkDelayRecord, halves), FIELD(kU32, 2, NetworkDelayRecord, words)}};
const ElementLayout kFeatureStatus = {
    2, {FIELD(kU8, 2, FeatureStatusRecord, values), FIELD(kU16, 1, FeatureStatusRecord, half)}};
const ElementLayout kPeripheralRegister = {
    2, {FIELD(kU8, 1, PeripheralRegisterRecord, value),
        TEXT(PeripheralRegisterRecord, text, text_length)}};
const ElementLayout kControlSoftware = {
    3, {FIELD(kU8, 3, ControlSoftwareRecord, values), TEXT(ControlSoftwareRecord, text1, text1_length),
        TEXT(ControlSoftwareRecord, text2, text2_length)}};
const ElementLayout kControlText = {
    2, {FIELD(kU8, 3, ControlTextRecord, values), TEXT(ControlTextRecord, text, text_length)}};
const ElementLayout kControlRelatedDevice = {
    3, {FIELD(kBytes, 4, ControlRelatedDeviceRecord, values),
        FIELD(kU32, 1, ControlRelatedDeviceRecord, word),
        TEXT(ControlRelatedDeviceRecord, text, text_length)}};
const ElementLayout kControlDateTime = {
    2, {FIELD(kU8, 3, ControlDateTimeRecord, values), FIELD(kU32, 2, ControlDateTimeRecord, words)}};
const ElementLayout kControlFeature = {
    2, {FIELD(kBytes, 4, ControlFeatureRecord, values), FIELD(kU32, 1, ControlFeatureRecord, word)}};
// Plain byte runs: the record is the bytes themselves.
const ElementLayout kThreeBytes = {1, {FieldSpec{FieldKind::kBytes, 3, 0, 0}}};
const ElementLayout kFourBytes = {1, {FieldSpec{FieldKind::kBytes, 4, 0, 0}}};
const ElementLayout kOneByte = {1, {FieldSpec{FieldKind::kU8, 1, 0, 0}}};

#undef FIELD
#undef TEXT

void PutNumber(FieldKind kind, uint8_t* dest, const uint8_t* src) {
  switch (kind) {
    case FieldKind::kU16: {
      uint16_t v;
      memcpy(&v, src, sizeof v);
      SetUint16(v, dest);
      break;
    }
    case FieldKind::kU32: {
      uint32_t v;
      memcpy(&v, src, sizeof v);
      SetUint32(v, dest);
      break;
    }
    default: *dest = *src; break;
  }
}

void GetNumber(FieldKind kind, const uint8_t* src, uint8_t* dest) {
  switch (kind) {
    case FieldKind::kU16: {
      uint16_t v;
      GetUint16Value(src, &v);
      memcpy(dest, &v, sizeof v);
      break;
    }
    case FieldKind::kU32: {
      uint32_t v;
      GetUint32Value(src, &v);
      memcpy(dest, &v, sizeof v);
      break;
    }
    default: *dest = *src; break;
  }
}

}  // namespace

const ElementLayout* RecordLayout(uint8_t type) {
  switch (type) {
    case kElementCameraCorrectionStatus: return &kCameraCorrection;
    case kElementRelatedDeviceStatus: return &kRelatedDeviceStatus;
    case kElementDeviceLocation:
    case kElementChannelDirection:
    case kElementCommonReponse: return &kOneByte;
    case kElementDeviceExtraInformation: return &kExtraInformation;
    case kElementDevicedTimestamp: return &kDeviceTimestamp;
    case kElementNetworkDelay: return &kNetworkDelay;
    case kElementFeatureStatus: return &kFeatureStatus;
    case kElementPeripheralRegister: return &kPeripheralRegister;
    case kElementControlDevice: return &kThreeBytes;
    case kElementControlSoftware:
    case kElementControlCameraCorrection: return &kControlSoftware;
    case kElementControlDeviceInformation:
    case kElementControlExtraInformation:
    case kElementControlRemoteShell: return &kControlText;
    case kElementControlRelatedDevice: return &kControlRelatedDevice;
    case kElementControlDeviceLocation:
    case kElementControlDevicMode: return &kFourBytes;
    case kElementControlDateTime: return &kControlDateTime;
    case kElementControlFeature: return &kControlFeature;
    default: return nullptr;
  }
}

int ReadElementHead(const uint8_t* element, uint32_t remaining, uint32_t* value_length) {
  if (remaining < kElementHeadBytes) return kQeltInvalid;
  uint32_t length = 0;
  GetUint32Value(element + 1, &length);
  if (uint64_t{kElementHeadBytes} + length > remaining) return kQeltInvalid;
  *value_length = length;
  return kQeltOk;
}

void WriteElementHead(uint8_t* dest, uint8_t type, uint32_t value_length) {
  dest[0] = type;
  SetUint32(value_length, dest + 1);
}

uint32_t BuildRecordElement(uint8_t type, const ElementLayout& layout, uint8_t* dest,
                            uint32_t capacity, const void* record) {
  if (dest == nullptr) return 0;
  uint64_t value_length = 0;
  for (uint8_t i = 0; i < layout.field_count; ++i) {
    const FieldSpec& f = layout.fields[i];
    value_length += FixedBytes(f);
    if (record != nullptr && f.kind == FieldKind::kText) value_length += strlen(TextOf(record, f)) + 1;
  }
  const uint64_t total = kElementHeadBytes + value_length;
  if (total > UINT32_MAX) return UINT32_MAX;
  if (total > capacity) return static_cast<uint32_t>(total);
  WriteElementHead(dest, type, static_cast<uint32_t>(value_length));
  if (record == nullptr) return static_cast<uint32_t>(total);
  const uint8_t* rec = static_cast<const uint8_t*>(record);
  uint8_t* at = dest + kElementHeadBytes;
  for (uint8_t i = 0; i < layout.field_count; ++i) {
    const FieldSpec& f = layout.fields[i];
    if (f.kind == FieldKind::kText) {
      const char* text = TextOf(record, f);
      const uint32_t length = static_cast<uint32_t>(strlen(text) + 1);
      memcpy(const_cast<uint8_t*>(rec) + f.length_offset, &length, sizeof length);
      SetUint32(length, at);
      memcpy(at + kTextLengthBytes, text, length);
      at += kTextLengthBytes + length;
    } else if (f.kind == FieldKind::kBytes) {
      memcpy(at, rec + f.record_offset, f.count);
      at += f.count;
    } else {
      const uint32_t size = NumberBytes(f.kind);
      for (uint16_t n = 0; n < f.count; ++n) PutNumber(f.kind, at + n * size, rec + f.record_offset + n * size);
      at += size * f.count;
    }
  }
  return static_cast<uint32_t>(total);
}

int ParseRecordElement(const ElementLayout& layout, const uint8_t* element, uint32_t remaining,
                       void* out, uint32_t out_capacity, uint32_t* consumed) {
  if (element == nullptr || consumed == nullptr) return kQeltNullArgument;
  uint32_t value_length = 0;
  if (ReadElementHead(element, remaining, &value_length) != kQeltOk) return kQeltInvalid;
  const uint8_t* value = element + kElementHeadBytes;
  // First pass: every field must lie inside the value, and every text must end in its NUL.
  uint64_t at = 0;
  for (uint8_t i = 0; i < layout.field_count; ++i) {
    const FieldSpec& f = layout.fields[i];
    if (at + FixedBytes(f) > value_length) return kQeltInvalid;
    if (f.kind == FieldKind::kText) {
      uint32_t length = 0;
      GetUint32Value(value + at, &length);
      at += kTextLengthBytes;
      if (at + length > value_length) return kQeltInvalid;
      if (length > 0 && value[at + length - 1] != '\0') return kQeltInvalid;
      at += length;
    } else {
      at += FixedBytes(f);
    }
  }
  if (out != nullptr) {
    if (at > out_capacity) return kQeltBufferTooSmall;
    uint8_t* dest = static_cast<uint8_t*>(out);
    uint32_t pos = 0;
    for (uint8_t i = 0; i < layout.field_count; ++i) {
      const FieldSpec& f = layout.fields[i];
      if (f.kind == FieldKind::kText) {
        uint32_t length = 0;
        GetUint32Value(value + pos, &length);
        memcpy(dest + pos, &length, sizeof length);
        memcpy(dest + pos + kTextLengthBytes, value + pos + kTextLengthBytes, length);
        pos += kTextLengthBytes + length;
      } else if (f.kind == FieldKind::kBytes) {
        memcpy(dest + pos, value + pos, f.count);
        pos += f.count;
      } else {
        const uint32_t size = NumberBytes(f.kind);
        for (uint16_t n = 0; n < f.count; ++n) GetNumber(f.kind, value + pos + n * size, dest + pos + n * size);
        pos += size * f.count;
      }
    }
  }
  *consumed = kElementHeadBytes + value_length;
  return kQeltOk;
}

}  // namespace pelarin
