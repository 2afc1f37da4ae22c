// Every row of the element tables: builders never write past the capacity, parsers never read
// past the received bytes or write past the output, and the record elements survive a round trip.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pelarin/foundation.h"
#include "pelarin/packet.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<uint8_t> AllRows() {
  std::vector<uint8_t> rows;
  for (uint32_t t = 1; t < kElementTableRows; ++t) {
    if (SetPacketHandler[t] != nullptr) rows.push_back(static_cast<uint8_t>(t));
  }
  return rows;
}

// A record good for any row: big enough for the largest record, texts set where rows use them.
struct AnyRecord {
  AnyRecord() { memset(bytes, 0x3C, sizeof bytes); }
  alignas(8) uint8_t bytes[128];
};

const void* RecordFor(uint8_t type, AnyRecord& storage, CameraCorrectionStatusRecord& cam,
                      ControlSoftwareRecord& soft) {
  switch (type) {
    case kElementCameraCorrectionStatus: return &cam;
    case kElementControlSoftware:
    case kElementControlCameraCorrection: return &soft;
    case kElementRelatedDeviceStatus: {
      static RelatedDeviceStatusRecord r{{1, 2}, 0, "first", 0, "second"};
      return &r;
    }
    case kElementDeviceExtraInformation: {
      static ExtraInformationRecord r{0, "extra"};
      return &r;
    }
    case kElementPeripheralRegister: {
      static PeripheralRegisterRecord r{9, 0, "reg"};
      return &r;
    }
    case kElementControlDeviceInformation:
    case kElementControlExtraInformation:
    case kElementControlRemoteShell: {
      static ControlTextRecord r{{1, 2, 3}, 0, "text"};
      return &r;
    }
    case kElementControlRelatedDevice: {
      static ControlRelatedDeviceRecord r{{1, 2, 3, 4}, 0xABCD, 0, "dev"};
      return &r;
    }
    case kElementKeyValue:
    case kElementKeyValueACK:
    default: return storage.bytes;
  }
}

class RowTest : public ::testing::TestWithParam<uint8_t> {
 protected:
  void SetUp() override { QeltmParaCfg = tagNetworkInitPara{}; }
  uint32_t Build(uint8_t* dest, uint32_t capacity) {
    return SetPacketHandler[GetParam()](dest, capacity, RecordFor(GetParam(), any_, cam_, soft_), kPayload);
  }
  static constexpr uint32_t kPayload = 40;
  AnyRecord any_;
  CameraCorrectionStatusRecord cam_{{1, 2, 3}, 0, "ab"};
  ControlSoftwareRecord soft_{{7, 8, 9}, 0, "one", 0, "two"};
};

TEST_P(RowTest, BuilderWritesNothingUnlessTheWholeElementFits) {
  uint8_t big[512];
  const uint32_t full = Build(big, sizeof big);
  ASSERT_GE(full, kElementHeadBytes);
  for (uint32_t capacity = 0; capacity < full; ++capacity) {
    std::vector<uint8_t> dest(capacity + 1, 0xAA);  // one guard byte behind the capacity
    const uint32_t result = Build(dest.data(), capacity);
    if (GetParam() == kElementSequence) {
      EXPECT_EQ(0u, result);
    } else {
      EXPECT_EQ(full, result) << "capacity " << capacity;
    }
    EXPECT_EQ(std::vector<uint8_t>(capacity + 1, 0xAA), dest) << "capacity " << capacity;
  }
  EXPECT_EQ(0u, SetPacketHandler[GetParam()](nullptr, 512, nullptr, 0));
}

TEST_P(RowTest, ParserAcceptsWhatTheBuilderWrote) {
  uint8_t element[512];
  const uint32_t size = Build(element, sizeof element);
  std::vector<uint8_t> exact(element, element + size);  // nothing readable behind the element
  std::vector<uint8_t> out(512);
  uint32_t consumed = 0;
  EXPECT_EQ(kQeltOk, AnalysisPacketHandler[GetParam()](exact.data(), size, out.data(), 512, &consumed));
  EXPECT_EQ(size, consumed);
}

TEST_P(RowTest, ParserRejectsDeclaredLengthsBeyondTheBytesReceived) {
  uint8_t element[512];
  const uint32_t size = Build(element, sizeof element);
  uint32_t declared;
  GetUint32Value(element + 1, &declared);
  for (uint32_t bogus : {declared + 1, 0xFFFFFFFFu, 0xFFFFFFFBu, 0xFFFFFFFCu, 0x80000000u}) {
    SetUint32(bogus, element + 1);
    std::vector<uint8_t> exact(element, element + size);
    std::vector<uint8_t> out(512, 0x55);
    uint32_t consumed = 12345;
    const int rc = AnalysisPacketHandler[GetParam()](exact.data(), size, out.data(), 512, &consumed);
    EXPECT_NE(kQeltOk, rc) << "declared " << bogus;
    EXPECT_EQ(12345u, consumed);
    EXPECT_EQ(std::vector<uint8_t>(512, 0x55), out);
  }
  std::vector<uint8_t> truncated(element, element + 4);
  uint32_t consumed = 0;
  EXPECT_NE(kQeltOk, AnalysisPacketHandler[GetParam()](truncated.data(), 4, nullptr, 0, &consumed));
}

TEST_P(RowTest, ParserNeverWritesPastTheOutputCapacity) {
  uint8_t element[512];
  const uint32_t size = Build(element, sizeof element);
  std::vector<uint8_t> exact(element, element + size);
  std::vector<uint8_t> full(512, 0);
  uint32_t consumed = 0;
  ASSERT_EQ(kQeltOk, AnalysisPacketHandler[GetParam()](exact.data(), size, full.data(), 512, &consumed));
  for (uint32_t capacity = 0; capacity < 64; ++capacity) {
    std::vector<uint8_t> out(capacity + 1, 0x77);
    const int rc = AnalysisPacketHandler[GetParam()](exact.data(), size, out.data(), capacity, &consumed);
    if (rc != kQeltOk) {
      EXPECT_EQ(kQeltBufferTooSmall, rc);
      EXPECT_EQ(std::vector<uint8_t>(capacity + 1, 0x77), out);
    } else {
      EXPECT_EQ(0x77, out[capacity]) << "wrote past capacity " << capacity;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRow, RowTest, ::testing::ValuesIn(AllRows()),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return "Type" + std::to_string(info.param);
                         });

TEST(RecordElements, TextElementIsWrittenWithItsLengthAndStoredBack) {
  CameraCorrectionStatusRecord r{{1, 2, 3}, 0, "ab"};
  uint8_t out[64];
  const uint32_t size = SetPacketHandler[kElementCameraCorrectionStatus](out, sizeof out, &r, 0);
  const Bytes expected = {14, 0, 0, 0, 19, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 3, 'a', 'b', 0};
  EXPECT_EQ(expected, Bytes(out, out + size));
  EXPECT_EQ(3u, r.text_length);
  // Parsed: the wire layout with numbers in host order.
  uint8_t parsed[64] = {};
  uint32_t consumed = 0;
  ASSERT_EQ(kQeltOk, AnalysisPacketHandler[kElementCameraCorrectionStatus](out, size, parsed, sizeof parsed, &consumed));
  uint32_t words[4];
  memcpy(words, parsed, sizeof words);
  EXPECT_EQ(1u, words[0]);
  EXPECT_EQ(3u, words[2]);
  EXPECT_EQ(3u, words[3]);
  EXPECT_STREQ("ab", reinterpret_cast<char*>(parsed + 16));
}

TEST(RecordElements, NullRecordWritesAValueLessElementOfTheFixedFields) {
  uint8_t out[64];
  EXPECT_EQ(5u + 7u, SetPacketHandler[kElementControlDeviceInformation](out, sizeof out, nullptr, 0));
  EXPECT_EQ((Bytes{38, 0, 0, 0, 7}), Bytes(out, out + 5));
  EXPECT_EQ(5u + 28u, SetPacketHandler[kElementImagePara](out, sizeof out, nullptr, 0));
}

TEST(RecordElements, TextWithoutItsTerminatorIsRejected) {
  const Bytes element = {17, 0, 0, 0, 7, 0, 0, 0, 3, 'a', 'b', 'c'};
  uint8_t out[32];
  uint32_t consumed = 0;
  EXPECT_EQ(kQeltInvalid, AnalysisPacketHandler[kElementDeviceExtraInformation](element.data(), 12, out, 32, &consumed));
  const Bytes long_text = {17, 0, 0, 0, 7, 0, 0, 0, 9, 'a', 'b', 0};  // text longer than the value
  EXPECT_EQ(kQeltInvalid, AnalysisPacketHandler[kElementDeviceExtraInformation](long_text.data(), 12, out, 32, &consumed));
}

TEST(RecordElements, AddressOfAnIPInfoIsAlwaysTerminated) {
  Bytes element = {13, 0, 0, 0, 44, 1};
  element.insert(element.end(), 43, 'x');
  DiscoveredDevice d{};
  uint32_t consumed = 0;
  ASSERT_EQ(kQeltOk, AnalysisPacketHandler[kElementIPInfo](element.data(), 49, &d, sizeof d, &consumed));
  EXPECT_EQ(1, d.ipinfo_flag);
  EXPECT_EQ(39u, strlen(d.ip_address));
  // Too short to hold the address: rejected.
  Bytes short_element = {13, 0, 0, 0, 10, 1, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
  EXPECT_EQ(kQeltInvalid, AnalysisPacketHandler[kElementIPInfo](short_element.data(), 15, &d, sizeof d, &consumed));
}

TEST(RecordElements, ControlLedParserUndoesTheBuildersOrder) {
  const uint8_t led[11] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  uint8_t element[16];
  ASSERT_EQ(16u, SetPacketHandler[kElementControlLed](element, sizeof element, led, 0));
  uint8_t back[11] = {};
  uint32_t consumed = 0;
  ASSERT_EQ(kQeltOk, AnalysisPacketHandler[kElementControlLed](element, 16, back, sizeof back, &consumed));
  EXPECT_EQ(0, memcmp(led, back, sizeof led));
}

}  // namespace
