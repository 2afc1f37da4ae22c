// Wire bytes of the packet head and of each element kind the protocols compose, written from
// the documented layouts, and the composer's capacity rule.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "pelarin/foundation.h"
#include "pelarin/packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kHead = {0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7};

// Resets the library's copy of the init record around each test.
class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override { QeltmParaCfg = tagNetworkInitPara{}; }
  void TearDown() override { QeltmParaCfg = tagNetworkInitPara{}; }

  // Builds one element through its table row into an exactly sized buffer.
  Bytes Build(uint8_t type, const void* record, uint32_t payload_length = 0) {
    const uint32_t size = SetPacketHandler[type](scratch_, sizeof scratch_, record, payload_length);
    return Bytes(scratch_, scratch_ + size);
  }
  uint8_t scratch_[512] = {};
};

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Text(const char* s) { return Bytes(s, s + strlen(s) + 1); }

TEST_F(PacketTest, HeadIsTheFixedEightBytes) {
  uint8_t head[8];
  EXPECT_EQ(8u, SetPacketHandler[kElementDefaultHead](head, sizeof head, nullptr, 0));
  EXPECT_EQ(kHead, Bytes(head, head + 8));
  EXPECT_EQ(0u, SetPacketHandler[kElementDefaultHead](head, 7, nullptr, 0));
  EXPECT_EQ(0u, SetPacketHandler[kElementDefaultHead](nullptr, 8, nullptr, 0));
}

TEST_F(PacketTest, HeadCheckRejectsWrongAndShortHeads) {
  Bytes wrong = kHead;
  wrong[3] = 0x19;
  uint32_t consumed = 0;
  EXPECT_EQ(kQeltHeadWrong, CheckPacketDefaultHead(wrong.data(), 8, nullptr, 0, &consumed));
  EXPECT_EQ(kQeltHeadTooShort, CheckPacketDefaultHead(kHead.data(), 7, nullptr, 0, &consumed));
  EXPECT_EQ(kQeltOk, CheckPacketDefaultHead(kHead.data(), 8, nullptr, 0, &consumed));
  EXPECT_EQ(8u, consumed);
  EXPECT_EQ(kQeltNullArgument, CheckPacketDefaultHead(nullptr, 8, nullptr, 0, &consumed));
}

TEST_F(PacketTest, SequenceWrapsFromMaximumToOne) {
  PacketSetSequence(0xFFFFFFFE);
  EXPECT_EQ((Bytes{1, 0, 0, 0, 4, 0xFF, 0xFF, 0xFF, 0xFF}), Build(kElementSequence, nullptr));
  EXPECT_EQ((Bytes{1, 0, 0, 0, 4, 0, 0, 0, 1}), Build(kElementSequence, nullptr));
  EXPECT_EQ((Bytes{1, 0, 0, 0, 4, 0, 0, 0, 2}), Build(kElementSequence, nullptr));
}

TEST_F(PacketTest, SequenceNumbersAreUniqueAcrossThreadsAndNeverZero) {
  PacketSetSequence(0xFFFFFFFF - 20000);  // the threads cross the wrap-around
  constexpr int kThreads = 4, kEach = 10000;
  std::vector<std::vector<uint32_t>> taken(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&taken, t] {
      for (int i = 0; i < kEach; ++i) taken[t].push_back(PacketNextSequence());
    });
  }
  for (auto& th : threads) th.join();
  std::set<uint32_t> all;
  for (const auto& v : taken) all.insert(v.begin(), v.end());
  EXPECT_EQ(size_t{kThreads * kEach}, all.size());
  EXPECT_EQ(0u, all.count(0));
}

TEST_F(PacketTest, IdentityTextsFallBackToDefaults) {
  EXPECT_EQ(Concat({{2, 0, 0, 0, 11}, Text("Quenlivark")}), Build(kElementVender, nullptr));
  strcpy(QeltmParaCfg.vendor_name, "Acme");
  EXPECT_EQ(Concat({{3, 0, 0, 0, 9}, Text("00000001")}), Build(kElementSerialNumber, nullptr));
  EXPECT_EQ(Concat({{2, 0, 0, 0, 5}, Text("Acme")}), Build(kElementVender, nullptr));
  EXPECT_EQ(Concat({{4, 0, 0, 0, 11}, Text("2.1.213002")}), Build(kElementLibVersion, nullptr));
}

TEST_F(PacketTest, UnterminatedIdentityFieldIsBoundedToItsSize) {
  memset(QeltmParaCfg.serial_number, 'S', sizeof QeltmParaCfg.serial_number);
  memset(QeltmParaCfg.vendor_name, 'V', sizeof QeltmParaCfg.vendor_name);  // no NUL in between
  const Bytes element = Build(kElementSerialNumber, nullptr);
  ASSERT_EQ(5u + 33u, element.size());
  EXPECT_EQ(Bytes(32, 'S'), Bytes(element.begin() + 5, element.begin() + 37));
  EXPECT_EQ(0, element.back());
}

TEST_F(PacketTest, ImageParaSendsZerosForTheReservedBytes) {
  ImagePara p{};
  p.image_type = 3;
  p.frame_index = 0x01020304;
  p.width = 640;
  p.height = 480;
  p.data_size = 460800;
  p.timestamp_low = 0xA1A2A3A4;
  p.timestamp_high = 0x00000005;
  p.value = 0x7F;
  p.reserved[0] = 0xEE;
  p.reserved[1] = 0xDD;
  p.exposure_ok = 1;
  const Bytes expected = {6,    0,    0,    0,    28,                     // type, length
                          0,    0,    0,    3,    1,    2,    3,    4,    // type, index
                          0x02, 0x80, 0x01, 0xE0,                         // 640 x 480
                          0x00, 0x07, 0x08, 0x00,                         // 460800
                          0xA1, 0xA2, 0xA3, 0xA4, 0,    0,    0,    5,    // time low, high
                          0x7F, 0,    0,    1};
  EXPECT_EQ(expected, Build(kElementImagePara, &p));
  ImagePara parsed{};
  uint32_t consumed = 0;
  ASSERT_EQ(kQeltOk, AnalysisPacketHandler[kElementImagePara](expected.data(), 33, &parsed, sizeof parsed, &consumed));
  EXPECT_EQ(33u, consumed);
  EXPECT_EQ(460800u, parsed.data_size);
  EXPECT_EQ(480, parsed.height);
  EXPECT_EQ(0, parsed.reserved[0]);
  EXPECT_EQ(1, parsed.exposure_ok);
}

TEST_F(PacketTest, DeviceTypeAndIPInfoComeFromTheInitRecordWithoutARecord) {
  QeltmParaCfg.device_type = kDeviceZuq;
  strcpy(QeltmParaCfg.local_ip, "192.168.1.10");
  EXPECT_EQ((Bytes{10, 0, 0, 0, 1, 1}), Build(kElementDeviceType, nullptr));
  const uint8_t yrd = kDeviceYrd;
  EXPECT_EQ((Bytes{10, 0, 0, 0, 1, 4}), Build(kElementDeviceType, &yrd));
  Bytes ip = {13, 0, 0, 0, 44, 1};
  Bytes address(40, 0);
  memcpy(address.data(), "192.168.1.10", 12);
  ip.insert(ip.end(), address.begin(), address.end());
  ip.insert(ip.end(), {0, 0, 0});
  EXPECT_EQ(ip, Build(kElementIPInfo, nullptr));
}

TEST_F(PacketTest, ObjectParaSendsOnlyTheLowSixteenBitsOfTheCount) {
  ObjectPara p{};
  strcpy(p.ip_address, "10.0.0.2");
  p.kind = 7;
  p.data_size = 232 * 3;
  p.object_count = 70000;  // 0x11170
  const Bytes element = Build(kElementObjectPara, &p);
  ASSERT_EQ(57u, element.size());
  EXPECT_EQ((Bytes{50, 0, 0, 0, 52}), Bytes(element.begin(), element.begin() + 5));
  EXPECT_EQ((Bytes{0, 0, 0, 7, 0, 0, 0x02, 0xB8, 0, 0, 0x11, 0x70}), Bytes(element.begin() + 45, element.end()));
}

TEST_F(PacketTest, CtrlImageSendsTheLowCommandByteAndNoError) {
  CtrlImageRequest r{};
  r.command_type = 1;
  r.command = 0x0102;
  r.error = 0xFFFFFFFF;
  r.image_type = 5;
  r.width = 640;
  r.height = 480;
  r.frame_rate = 20;
  const Bytes expected = {37, 0, 0, 0, 12, 1, 2, 0, 20, 0, 0, 0, 5, 0x02, 0x80, 0x01, 0xE0};
  EXPECT_EQ(expected, Build(kElementCtrlImage, &r));
  CtrlImage parsed{};
  uint32_t consumed = 0;
  ASSERT_EQ(kQeltOk, AnalysisPacketHandler[kElementCtrlImage](expected.data(), 17, &parsed, sizeof parsed, &consumed));
  EXPECT_EQ(2, parsed.command);
  EXPECT_EQ(20, parsed.frame_rate);
  EXPECT_EQ(5u, parsed.image_type);
  EXPECT_EQ(480, parsed.height);
}

TEST_F(PacketTest, CtrlObjectCarriesTheReservedBytesBothWays) {
  CtrlObject c{2, 1, 0x01020304, {9, 8, 7, 6}};
  const Bytes expected = {49, 0, 0, 0, 12, 0, 2, 0, 1, 1, 2, 3, 4, 9, 8, 7, 6};
  EXPECT_EQ(expected, Build(kElementCtrlObject, &c));
  CtrlObject parsed{};
  EXPECT_EQ(kQeltOk, AnalysisPacketHandler[kElementCtrlObject](expected.data(), 17, &parsed, sizeof parsed, nullptr));
  EXPECT_EQ(0, memcmp(&c, &parsed, sizeof c));
}

// The control request and reply of the documented examples: a version request (words 1, 1, 4,
// 4080) and the reply of command 401 with result 0.
TEST_F(PacketTest, ControlRequestAndReplyPackets) {
  const Bytes request_payload = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0x0F, 0xF0};
  uint8_t buffer[64];
  uint32_t length = 0;
  ASSERT_EQ(kQeltOk, PacketComposeOne(kElementKeyValue, request_payload.data(), 16, buffer, sizeof buffer, &length));
  EXPECT_EQ(Concat({kHead, {47, 0, 0, 0, 16}, request_payload}), Bytes(buffer, buffer + length));
  const Bytes reply_payload = {0, 0, 0, 2, 0, 0, 1, 0x91, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(kQeltOk, PacketComposeOne(kElementKeyValueACK, reply_payload.data(), 16, buffer, sizeof buffer, &length));
  EXPECT_EQ(29u, length);
  EXPECT_EQ(Concat({kHead, {48, 0, 0, 0, 16}, reply_payload}), Bytes(buffer, buffer + length));
}

TEST_F(PacketTest, ComposerReportsAPacketThatDoesNotFit) {
  const Bytes payload(100, 0x5A);
  std::vector<uint8_t> buffer(112, 0xAA);  // one byte short of 113
  uint32_t length = 0;
  EXPECT_EQ(kQeltBufferTooSmall, PacketComposeOne(kElementKeyValue, payload.data(), 100, buffer.data(), 112, &length));
  for (size_t i = 8; i < buffer.size(); ++i) ASSERT_EQ(0, buffer[i]) << "element written past its check at " << i;
  EXPECT_EQ(kQeltBufferTooSmall, PacketComposeOne(kElementKeyValue, payload.data(), 100, buffer.data(), 7, &length));
}

// The remaining element kinds: numbers, byte runs, counted texts, placeholders, empty values and
// the LED control, which reorders the caller's bytes.
TEST_F(PacketTest, EveryOtherElementKindHasItsWireBytes) {
  const uint8_t one = 9, three[3] = {1, 2, 3}, four[4] = {1, 2, 3, 4};
  const uint8_t led[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  RelatedDeviceStatusRecord related{{1, 2}, 0, "a", 0, "b"};
  ExtraInformationRecord extra{0, "hi"};
  DeviceTimestampRecord stamp{{1, 2}};
  NetworkDelayRecord delay{{1, 2, 3, 4}, {5, 6}};
  FeatureStatusRecord feature{{7, 8}, 0x0102};
  PeripheralRegisterRecord reg{9, 0, "r"};
  ControlSoftwareRecord software{{1, 2, 3}, 0, "a", 0, "bc"};
  ControlTextRecord text{{1, 2, 3}, 0, "x"};
  ControlRelatedDeviceRecord device{{1, 2, 3, 4}, 0x0A0B0C0D, 0, "y"};
  ControlDateTimeRecord date{{1, 2, 3}, {4, 5}};
  ControlFeatureRecord control_feature{{1, 2, 3, 4}, 6};
  const struct {
    uint8_t type;
    const void* record;
    Bytes expected;
  } cases[] = {
      {kElementCheckSum, nullptr, {5, 0, 0, 0, 1, 0}},
      {kElementImageCheckSum, nullptr, {7, 0, 0, 0, 0}},
      {kElementDeviceRunDuration, nullptr, {8, 0, 0, 0, 0}},
      {kElementAppRunDuration, nullptr, {9, 0, 0, 0, 0}},
      {kElementDeviceStatus, nullptr, {11, 0, 0, 0, 5, 0, 0, 0, 0, 0}},
      {kElementSoftwareVersion, nullptr, {12, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0}},
      {kElementRelatedDeviceStatus, &related, {15, 0, 0, 0, 14, 1, 2, 0, 0, 0, 2, 'a', 0, 0, 0, 0, 2, 'b', 0}},
      {kElementDeviceLocation, &one, {16, 0, 0, 0, 1, 9}},
      {kElementDeviceExtraInformation, &extra, {17, 0, 0, 0, 7, 0, 0, 0, 3, 'h', 'i', 0}},
      {kElementDevicedTimestamp, &stamp, {18, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 2}},
      {kElementNetworkDelay, &delay, {19, 0, 0, 0, 16, 0, 1, 0, 2, 0, 3, 0, 4, 0, 0, 0, 5, 0, 0, 0, 6}},
      {kElementChannelDirection, &one, {20, 0, 0, 0, 1, 9}},
      {kElementFeatureStatus, &feature, {21, 0, 0, 0, 4, 7, 8, 1, 2}},
      {kElementPeripheralRegister, &reg, {22, 0, 0, 0, 7, 9, 0, 0, 0, 2, 'r', 0}},
      {kElementLogLevel, nullptr, {23, 0, 0, 0, 2, 0, 0}},
      {kElementFrameRealtimeTargetInformation, nullptr, {24, 0, 0, 0, 0}},
      {kElementCommonReponse, &one, {31, 0, 0, 0, 1, 9}},
      {kElementControlDevice, three, {32, 0, 0, 0, 3, 1, 2, 3}},
      {kElementControlSoftware, &software,
       {33, 0, 0, 0, 16, 1, 2, 3, 0, 0, 0, 2, 'a', 0, 0, 0, 0, 3, 'b', 'c', 0}},
      {kElementControlPacketLogFile, nullptr, Concat({{34, 0, 0, 0, 16}, Bytes(16, 0)})},
      {kElementControlCameraCorrection, &software,
       {35, 0, 0, 0, 16, 1, 2, 3, 0, 0, 0, 2, 'a', 0, 0, 0, 0, 3, 'b', 'c', 0}},
      {kElementControlDeviceInformation, &text, {38, 0, 0, 0, 9, 1, 2, 3, 0, 0, 0, 2, 'x', 0}},
      {kElementControlRelatedDevice, &device,
       {39, 0, 0, 0, 14, 1, 2, 3, 4, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 2, 'y', 0}},
      {kElementControlDeviceLocation, four, {40, 0, 0, 0, 4, 1, 2, 3, 4}},
      {kElementControlExtraInformation, &text, {41, 0, 0, 0, 9, 1, 2, 3, 0, 0, 0, 2, 'x', 0}},
      {kElementControlDateTime, &date, {42, 0, 0, 0, 11, 1, 2, 3, 0, 0, 0, 4, 0, 0, 0, 5}},
      {kElementControlRemoteShell, &text, {43, 0, 0, 0, 9, 1, 2, 3, 0, 0, 0, 2, 'x', 0}},
      {kElementControlFeature, &control_feature, {44, 0, 0, 0, 8, 1, 2, 3, 4, 0, 0, 0, 6}},
      {kElementControlDevicMode, four, {45, 0, 0, 0, 4, 1, 2, 3, 4}},
      {kElementControlLed, led, {36, 0, 0, 0, 11, 0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 3}},  // byte 3 goes last
  };
  for (const auto& c : cases) {
    memset(scratch_, 0, sizeof scratch_);
    EXPECT_EQ(c.expected, Build(c.type, c.record)) << "type " << int{c.type};
  }
  EXPECT_EQ(2u, software.text1_length);
  EXPECT_EQ(3u, software.text2_length);
}

TEST_F(PacketTest, KeyValueParserWithoutOutputOnlyMeasures) {
  const Bytes element = {47, 0, 0, 0, 3, 'a', 'b', 'c'};
  uint32_t consumed = 0;
  EXPECT_EQ(kQeltOk, AnalysisPacketHandler[kElementKeyValue](element.data(), 8, nullptr, 0, &consumed));
  EXPECT_EQ(8u, consumed);
  uint8_t out[3] = {0x11, 0x22, 0x33};
  EXPECT_EQ(kQeltBufferTooSmall, AnalysisPacketHandler[kElementKeyValue](element.data(), 8, out, 2, &consumed));
  EXPECT_EQ(0x11, out[0]);
  EXPECT_EQ(kQeltOk, AnalysisPacketHandler[kElementKeyValueACK](element.data(), 8, out, 3, nullptr))
      << "rows 47 and 48 accept a null consumed count";
}

}  // namespace
