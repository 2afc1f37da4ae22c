// Reply builders: exact bytes of every reply shape, and replies that do not fit their record.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "net_helpers.h"
#include "pelarin/ctrlmsg.h"
#include "pelarin/result_codes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using nettest::Words;

// A reply record over its own area; the bytes past the capacity are a guard that must stay.
class ReplyArea {
 public:
  explicit ReplyArea(uint32_t capacity) : area_(capacity + kGuard, kFill) {
    record_.buffer = area_.data();
    record_.capacity = capacity;
  }
  tagACKMsgPara* record() { return &record_; }
  Bytes Written() const { return Bytes(area_.begin(), area_.begin() + record_.used_size); }
  bool GuardIntact() const {
    for (size_t i = record_.capacity; i < area_.size(); ++i) {
      if (area_[i] != kFill) return false;
    }
    return true;
  }

 private:
  static constexpr uint32_t kGuard = 64;
  static constexpr uint8_t kFill = 0xA5;
  Bytes area_;
  tagACKMsgPara record_{};
};

Bytes Concat(Bytes head, const std::string& text) {
  head.insert(head.end(), text.begin(), text.end());
  return head;
}

// Each reply shape: result-only, one word, counted text or bytes, three words, a float's bits and
// eight halves that keep their low sixteen bits.
TEST(ReplyBytes, EveryReplyShapeHasItsExactBytes) {
  const uint8_t bytes[3] = {9, 8, 7};
  Bytes self_defined = Words({2, 12, 4, 7, 3});
  self_defined.insert(self_defined.end(), bytes, bytes + 3);
  Bytes halves = Words({2, 403, 0, 16});
  for (uint16_t h : {1, 2, 3, 0xFFFF, 5, 0x1234, 7, 0x8000}) {
    halves.push_back(static_cast<uint8_t>(h >> 8));
    halves.push_back(static_cast<uint8_t>(h & 0xFF));
  }
  const struct {
    const char* shape;
    std::function<int(tagACKMsgPara*)> build;
    Bytes expected;
  } cases[] = {
      {"common", [](tagACKMsgPara* r) { return QeltCommonReply1(r, 401, 0); },
       {0, 0, 0, 2, 0, 0, 1, 0x91, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"common word", [](tagACKMsgPara* r) { return QeltCommonReply2(r, 207, 3, 0x01020304); },
       Words({2, 207, 3, 4, 0x01020304})},
      {"version", [](tagACKMsgPara* r) { return QeltReplyVersion(r, 0, "2.1.213002", 10); },
       Concat(Words({2, 1, 0, 14, 10}), "2.1.213002")},
      {"empty counted", [](tagACKMsgPara* r) { return QeltReplyUpgradeControlCommand(r, 0, nullptr, 0); },
       Words({2, 13, 0, 4, 0})},
      {"mac", [](tagACKMsgPara* r) { return QeltReplyMacAddress(r, 0, "aa:bb", 5); },
       Concat(Words({2, 14, 0, 9, 5}), "aa:bb")},
      {"self defined", [&](tagACKMsgPara* r) { return QeltReplySelfDefinedCommand(r, 4, bytes, 3); }, self_defined},
      {"get time", [](tagACKMsgPara* r) { return QeltReplyGetSystemTime(r, 0, 1, 2, 3); },
       Words({2, 5, 0, 12, 1, 2, 3})},
      {"set time", [](tagACKMsgPara* r) { return QeltReplySetSystemTime(r, 5, 7, 1700000000, 999999); },
       Words({2, 6, 5, 12, 7, 1700000000, 999999})},
      {"image info", [](tagACKMsgPara* r) { return QeltReplyGetImageInfo(r, 0, 1280, 720, 3); },
       Words({2, 210, 0, 12, 1280, 720, 3})},
      {"baseline", [](tagACKMsgPara* r) { return QeltReplyGetBaseline(r, 0, 1.5f); },
       Words({2, 206, 0, 4, 0x3FC00000})},
      {"halves",
       [](tagACKMsgPara* r) { return QeltReplyGetNorbOrigin(r, 0, 0x10001, 2, 3, 0xFFFF, 5, 0xABCD1234, 7, 0x8000); },
       halves},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shape);
    ReplyArea area(128);
    ASSERT_EQ(kQeltOk, c.build(area.record()));
    EXPECT_EQ(c.expected, area.Written());
    EXPECT_EQ(1, area.record()->reply_flag);
    EXPECT_TRUE(area.GuardIntact());
  }
}

TEST(ReplyBytes, EveryResultOnlyBuilderNamesItsCommand) {
  struct Case {
    int (*build)(tagACKMsgPara*, unsigned);
    uint32_t command;
  };
  const Case cases[] = {{QeltReplyControlDevice, 15},        {QeltReplySetZuqCalibrateColorImageFlag, 212},
                        {QeltReplyPrepareBackground, 401},   {QeltReplyControlNorbFlap, 404},
                        {QeltReplySetNorbAisleMode, 408},    {QeltReplyControlNorbSaveData, 413},
                        {QeltReplySetNorbChildHeightThreshold, 415}, {QeltSendDnnObjectInfoReply, 416}};
  for (const Case& c : cases) {
    ReplyArea area(32);
    ASSERT_EQ(kQeltOk, c.build(area.record(), 9));
    EXPECT_EQ(Words({2, c.command, 9, 0}), area.Written()) << c.command;
  }
}

TEST(ReplyBytes, EveryOneWordBuilderNamesItsCommand) {
  struct Case {
    int (*build)(tagACKMsgPara*, unsigned, unsigned);
    uint32_t command;
  };
  const Case cases[] = {{QeltReplyGetZuqDirection, 202},      {QeltReplyAdjustZuqDisparityShift, 204},
                        {QeltReplyZuqType, 205},              {QeltReplyGetFocalLength, 207},
                        {QeltReplyGetDisparityShift, 208},    {QeltReplyGetDisparityRange, 209},
                        {QeltReplyGetZuqCalibrateColorImageFlag, 211}, {QeltReplyGetNorbSensorStatus, 405},
                        {QeltReplyGetNorbWorkStatus, 406},    {QeltReplyGetNorbAisleMode, 407},
                        {QeltReplyGetNorbChildHeightThreshold, 414}};
  for (const Case& c : cases) {
    ReplyArea area(32);
    ASSERT_EQ(kQeltOk, c.build(area.record(), 0, 77));
    EXPECT_EQ(Words({2, c.command, 0, 4, 77}), area.Written()) << c.command;
  }
}

TEST(ReplyCapacity, DataThatFitsExactlyIsWritten) {
  const std::string text(100, 'v');
  ReplyArea area(16 + 4 + 100);
  ASSERT_EQ(kQeltOk, QeltReplyVersion(area.record(), 0, text.data(), 100));
  EXPECT_EQ(120u, area.record()->used_size);
  EXPECT_TRUE(area.GuardIntact());
}

// Data that does not fit goes as an empty reply carrying the error; a record too small even for
// the head gets nothing; a huge count does not wrap the check.
TEST(ReplyCapacity, ReplyThatDoesNotFitIsRefused) {
  const std::string text(101, 'v');
  const char byte = 'x';
  const struct {
    const char* what;
    uint32_t capacity;
    std::function<int(tagACKMsgPara*)> build;
    Bytes written;
  } cases[] = {
      {"text one byte over", 16 + 4 + 100, [&](tagACKMsgPara* r) { return QeltReplyVersion(r, 0, text.data(), 101); },
       Words({2, 1, kQeltBufferTooSmall, 0})},
      {"huge count", 64, [&](tagACKMsgPara* r) { return QeltReplySelfDefinedCommand(r, 0, &byte, 0xFFFFFFFFu); },
       Words({2, 12, kQeltBufferTooSmall, 0})},
      {"three words in 27", 27, [](tagACKMsgPara* r) { return QeltReplyGetImageInfo(r, 0, 1, 2, 3); },
       Words({2, 210, kQeltBufferTooSmall, 0})},
      {"no room for the head", 15, [](tagACKMsgPara* r) { return QeltCommonReply2(r, 205, 0, 1); }, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ReplyArea area(c.capacity);
    EXPECT_EQ(kQeltBufferTooSmall, c.build(area.record()));
    EXPECT_EQ(c.written, area.Written());
    EXPECT_EQ(c.written.empty() ? 0 : 1, area.record()->reply_flag);
    EXPECT_TRUE(area.GuardIntact());
  }
}

TEST(ReplyCapacity, NullRecordIsRefused) {
  EXPECT_EQ(kQeltNullArgument, QeltCommonReply1(nullptr, 1, 0));
  tagACKMsgPara empty{};
  EXPECT_EQ(kQeltNullArgument, QeltReplyVersion(&empty, 0, "x", 1));
}

}  // namespace
