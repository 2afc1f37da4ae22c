// The packet format shared by every protocol: an 8-byte head and big-endian type-length-value
// elements, built and parsed through two tables indexed by element type.
#pragma once

#include <cstdint>

#include "pelarin/result_codes.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

constexpr uint32_t kPacketHeadBytes = 8;
constexpr uint32_t kElementHeadBytes = 5;  // type byte and 32-bit value length
constexpr uint32_t kElementTableRows = 51;
// Element types at or above this are not valid in any protocol.
constexpr uint32_t kFirstInvalidElementType = 71;

enum ElementType : uint8_t {
  kElementDefaultHead = 0,
  kElementSequence = 1,
  kElementVender = 2,
  kElementSerialNumber = 3,
  kElementLibVersion = 4,
  kElementCheckSum = 5,
  kElementImagePara = 6,
  kElementImageCheckSum = 7,
  kElementDeviceRunDuration = 8,
  kElementAppRunDuration = 9,
  kElementDeviceType = 10,
  kElementDeviceStatus = 11,
  kElementSoftwareVersion = 12,
  kElementIPInfo = 13,
  kElementCameraCorrectionStatus = 14,
  kElementRelatedDeviceStatus = 15,
  kElementDeviceLocation = 16,
  kElementDeviceExtraInformation = 17,
  kElementDevicedTimestamp = 18,
  kElementNetworkDelay = 19,
  kElementChannelDirection = 20,
  kElementFeatureStatus = 21,
  kElementPeripheralRegister = 22,
  kElementLogLevel = 23,
  kElementFrameRealtimeTargetInformation = 24,
  kElementCommonReponse = 31,
  kElementControlDevice = 32,
  kElementControlSoftware = 33,
  kElementControlPacketLogFile = 34,
  kElementControlCameraCorrection = 35,
  kElementControlLed = 36,
  kElementCtrlImage = 37,
  kElementControlDeviceInformation = 38,
  kElementControlRelatedDevice = 39,
  kElementControlDeviceLocation = 40,
  kElementControlExtraInformation = 41,
  kElementControlDateTime = 42,
  kElementControlRemoteShell = 43,
  kElementControlFeature = 44,
  kElementControlDevicMode = 45,
  kElementKeyValue = 47,
  kElementKeyValueACK = 48,
  kElementCtrlObject = 49,
  kElementObjectPara = 50,
};

// The fixed head bytes that open every packet.
extern const uint8_t kDefaultPacketHead[kPacketHeadBytes];

// Shared image header (28 bytes), carried by the ImagePara element.
struct ImagePara {
  uint32_t image_type;  // 3 colour, 5 disparity
  uint32_t frame_index;
  uint16_t width;
  uint16_t height;
  uint32_t data_size;  // image bytes that follow the element
  uint32_t timestamp_low;
  uint32_t timestamp_high;
  uint8_t value;
  uint8_t reserved[2];  // never sent: the wire carries zeros
  uint8_t exposure_ok;
};

// Image stream start/stop request from which a CtrlImage element is built.
struct CtrlImageRequest {
  uint8_t command_type;  // 1 request, 2 acknowledgement
  uint16_t command;      // 1 start, 2 stop; the low byte is sent
  uint32_t error;        // not sent: the wire carries 0
  uint32_t image_type;
  uint16_t width;
  uint16_t height;
  uint8_t frame_rate;
};

// A parsed CtrlImage value, in wire order with numbers in host order.
struct CtrlImage {
  uint8_t command_type;
  uint8_t command;
  uint8_t error;
  uint8_t frame_rate;
  uint32_t image_type;
  uint16_t width;
  uint16_t height;
};

// Object stream control value, built and parsed with the same record.
struct CtrlObject {
  uint16_t command_type;
  uint16_t command;
  uint32_t error;
  uint8_t reserved[4];
};

// Header of a block of object records.
struct ObjectPara {
  char ip_address[40];
  uint32_t kind;
  uint32_t data_size;
  uint32_t object_count;  // only the low 16 bits are sent
};

// One device found by discovery; the IPInfo parser fills it.
struct DiscoveredDevice {
  uint8_t device_type;
  uint8_t ipinfo_flag;
  uint8_t reserved[2];
  char ip_address[40];
};

// Records of the elements that no protocol of the system composes. Builders take these; a text
// builder writes its text's length (NUL counted) back into the record. Parsers write the value
// packed in wire order with numbers in host order and texts inline after their length.
struct CameraCorrectionStatusRecord {  // row 14
  uint32_t values[3];
  uint32_t text_length;
  const char* text;
};
struct RelatedDeviceStatusRecord {  // row 15
  uint8_t values[2];
  uint32_t text1_length;
  const char* text1;
  uint32_t text2_length;
  const char* text2;
};
struct ExtraInformationRecord {  // row 17
  uint32_t text_length;
  const char* text;
};
struct DeviceTimestampRecord {  // row 18
  uint32_t values[2];
};
struct NetworkDelayRecord {  // row 19
  uint16_t halves[4];
  uint32_t words[2];
};
struct FeatureStatusRecord {  // row 21
  uint8_t values[2];
  uint16_t half;
};
struct PeripheralRegisterRecord {  // row 22
  uint8_t value;
  uint32_t text_length;
  const char* text;
};
struct ControlSoftwareRecord {  // rows 33 and 35
  uint8_t values[3];
  uint32_t text1_length;
  const char* text1;
  uint32_t text2_length;
  const char* text2;
};
struct ControlTextRecord {  // rows 38, 41 and 43
  uint8_t values[3];
  uint32_t text_length;
  const char* text;
};
struct ControlRelatedDeviceRecord {  // row 39
  uint8_t values[4];
  uint32_t word;
  uint32_t text_length;
  const char* text;
};
struct ControlDateTimeRecord {  // row 42
  uint8_t values[3];
  uint32_t words[2];
};
struct ControlFeatureRecord {  // row 44
  uint8_t values[4];
  uint32_t word;
};

// Builder row: (destination, capacity, record or null, payload length) -> bytes of the element.
// A builder writes only when the whole element fits; otherwise it returns the size it needs
// (rows 0 and 1 return 0), so a composer sees its running length pass the capacity.
typedef uint32_t (*SetPacketFunc)(uint8_t* dest, uint32_t capacity, const void* record,
                                  uint32_t payload_length);
// Parser row: (element, bytes remaining, output or null, output capacity, consumed) -> result.
// Every declared length is checked against the bytes remaining and the output capacity.
typedef int (*AnalysisPacketFunc)(const uint8_t* element, uint32_t remaining, void* out,
                                  uint32_t out_capacity, uint32_t* consumed);

extern const SetPacketFunc SetPacketHandler[kElementTableRows];
extern const AnalysisPacketFunc AnalysisPacketHandler[kElementTableRows];

// Row 0 parser: 46 below 8 bytes, 47 when a head byte differs.
int CheckPacketDefaultHead(const uint8_t* data, uint32_t remaining, void* out, uint32_t out_capacity,
                           uint32_t* consumed);

// Big-endian helpers (null pointers: nothing happens).
void GetUint32Value(const uint8_t* source, uint32_t* destination);
void GetUint16Value(const uint8_t* source, uint16_t* destination);
void SetUint32(uint32_t value, uint8_t* destination);
void SetUint16(uint16_t value, uint8_t* destination);

// Next value of the process-wide sequence counter: 1, 2, ..., 0xFFFFFFFF, 1, ... (never 0).
uint32_t PacketNextSequence(void);
// Sets the counter (tests use it to reach the wrap-around).
void PacketSetSequence(uint32_t value);

// Composes head + one element of `type` into a zeroed buffer; 44 when it does not fit.
int PacketComposeOne(uint8_t type, const void* record, uint32_t payload_length, uint8_t* buffer,
                     uint32_t capacity, uint32_t* packet_length);

}  // extern "C"

static_assert(sizeof(ImagePara) == 28, "ImagePara layout");
static_assert(sizeof(CtrlImage) == 12, "CtrlImage layout");
static_assert(sizeof(CtrlObject) == 12, "CtrlObject layout");
static_assert(sizeof(ObjectPara) == 52, "ObjectPara layout");
static_assert(sizeof(DiscoveredDevice) == 44, "DiscoveredDevice layout");

LIBRARY_EXPORTS_END
