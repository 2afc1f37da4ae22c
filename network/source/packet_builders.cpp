// Builders of the element table: each writes one element when the whole of it fits.
#include <cstring>

#include "packet_rows.h"

namespace pelarin {

namespace {

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

}  // namespace

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

}  // namespace pelarin
