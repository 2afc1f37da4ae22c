// Reply builders: exact bytes of every reply shape, and replies that do not fit their record.
#include <gtest/gtest.h>

#include <cstring>
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

TEST(ReplyBytes, CommonReplyWithoutData) {
  ReplyArea area(4096);
  ASSERT_EQ(kQeltOk, QeltCommonReply1(area.record(), 401, 0));
  const Bytes expected = {0, 0, 0, 2, 0, 0, 1, 0x91, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(expected, area.Written());
  EXPECT_EQ(1, area.record()->reply_flag);
  EXPECT_EQ(16u, area.record()->used_size);
}

TEST(ReplyBytes, CommonReplyWithOneWord) {
  ReplyArea area(64);
  ASSERT_EQ(kQeltOk, QeltCommonReply2(area.record(), 207, 3, 0x01020304));
  EXPECT_EQ(Words({2, 207, 3, 4, 0x01020304}), area.Written());
}

TEST(ReplyBytes, VersionTextIsCounted) {
  ReplyArea area(4096);
  ASSERT_EQ(kQeltOk, QeltReplyVersion(area.record(), 0, "2.1.213002", 10));
  EXPECT_EQ(Concat(Words({2, 1, 0, 14, 10}), "2.1.213002"), area.Written());
  EXPECT_EQ(30u, area.record()->used_size);
}

TEST(ReplyBytes, EmptyCountedReplyWritesTheCountOnly) {
  ReplyArea area(4096);
  ASSERT_EQ(kQeltOk, QeltReplyUpgradeControlCommand(area.record(), 0, nullptr, 0));
  EXPECT_EQ(Words({2, 13, 0, 4, 0}), area.Written());
}

TEST(ReplyBytes, MacAndSelfDefinedCarryTheirCommands) {
  ReplyArea mac(128), own(128);
  ASSERT_EQ(kQeltOk, QeltReplyMacAddress(mac.record(), 0, "aa:bb", 5));
  EXPECT_EQ(Concat(Words({2, 14, 0, 9, 5}), "aa:bb"), mac.Written());
  const uint8_t bytes[3] = {9, 8, 7};
  ASSERT_EQ(kQeltOk, QeltReplySelfDefinedCommand(own.record(), 4, bytes, 3));
  Bytes expected = Words({2, 12, 4, 7, 3});
  expected.insert(expected.end(), bytes, bytes + 3);
  EXPECT_EQ(expected, own.Written());
}

TEST(ReplyBytes, ThreeWordReplies) {
  ReplyArea get(64), set(64), info(64);
  ASSERT_EQ(kQeltOk, QeltReplyGetSystemTime(get.record(), 0, 1, 2, 3));
  ASSERT_EQ(kQeltOk, QeltReplySetSystemTime(set.record(), 5, 7, 1700000000, 999999));
  ASSERT_EQ(kQeltOk, QeltReplyGetImageInfo(info.record(), 0, 1280, 720, 3));
  EXPECT_EQ(Words({2, 5, 0, 12, 1, 2, 3}), get.Written());
  EXPECT_EQ(Words({2, 6, 5, 12, 7, 1700000000, 999999}), set.Written());
  EXPECT_EQ(Words({2, 210, 0, 12, 1280, 720, 3}), info.Written());
}

TEST(ReplyBytes, BaselineTravelsAsTheFloatsBits) {
  ReplyArea area(64);
  ASSERT_EQ(kQeltOk, QeltReplyGetBaseline(area.record(), 0, 1.5f));
  EXPECT_EQ(Words({2, 206, 0, 4, 0x3FC00000}), area.Written());
}

TEST(ReplyBytes, EightHalvesKeepTheLowSixteenBits) {
  ReplyArea area(64);
  ASSERT_EQ(kQeltOk, QeltReplyGetNorbOrigin(area.record(), 0, 0x10001, 2, 3, 0xFFFF, 5, 0xABCD1234, 7, 0x8000));
  Bytes expected = Words({2, 403, 0, 16});
  for (uint16_t h : {1, 2, 3, 0xFFFF, 5, 0x1234, 7, 0x8000}) {
    expected.push_back(static_cast<uint8_t>(h >> 8));
    expected.push_back(static_cast<uint8_t>(h & 0xFF));
  }
  EXPECT_EQ(expected, area.Written());
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

TEST(ReplyCapacity, DataThatDoesNotFitGoesAsAnEmptyReplyWithTheError) {
  const std::string text(101, 'v');
  ReplyArea area(16 + 4 + 100);
  EXPECT_EQ(kQeltBufferTooSmall, QeltReplyVersion(area.record(), 0, text.data(), 101));
  EXPECT_EQ(Words({2, 1, kQeltBufferTooSmall, 0}), area.Written());
  EXPECT_EQ(1, area.record()->reply_flag);
  EXPECT_TRUE(area.GuardIntact());
}

TEST(ReplyCapacity, HugeCountDoesNotWrapTheCheck) {
  ReplyArea area(64);
  const char byte = 'x';
  EXPECT_EQ(kQeltBufferTooSmall, QeltReplySelfDefinedCommand(area.record(), 0, &byte, 0xFFFFFFFFu));
  EXPECT_EQ(16u, area.record()->used_size);
  EXPECT_TRUE(area.GuardIntact());
}

TEST(ReplyCapacity, RecordTooSmallForTheHeadGetsNothing) {
  ReplyArea area(15);
  EXPECT_EQ(kQeltBufferTooSmall, QeltCommonReply2(area.record(), 205, 0, 1));
  EXPECT_EQ(0, area.record()->reply_flag);
  EXPECT_EQ(0u, area.record()->used_size);
  EXPECT_TRUE(area.GuardIntact());
}

TEST(ReplyCapacity, ThreeWordsIntoNineteenBytesAreRefused) {
  ReplyArea area(27);
  EXPECT_EQ(kQeltBufferTooSmall, QeltReplyGetImageInfo(area.record(), 0, 1, 2, 3));
  EXPECT_EQ(Words({2, 210, kQeltBufferTooSmall, 0}), area.Written());
  EXPECT_TRUE(area.GuardIntact());
}

TEST(ReplyCapacity, NullRecordIsRefused) {
  EXPECT_EQ(kQeltNullArgument, QeltCommonReply1(nullptr, 1, 0));
  tagACKMsgPara empty{};
  EXPECT_EQ(kQeltNullArgument, QeltReplyVersion(&empty, 0, "x", 1));
}

}  // namespace
