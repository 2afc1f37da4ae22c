// Parsers of the element table: each checks the declared length against the bytes received and
// the output's room before it reads or writes anything.
#include <cstring>

#include "packet_rows.h"

namespace pelarin {

namespace {

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

}  // namespace

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

}  // namespace pelarin
