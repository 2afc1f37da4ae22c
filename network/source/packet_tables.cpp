// The two element tables: one builder and one parser per element type.
#include <cstring>

#include "packet_rows.h"

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
