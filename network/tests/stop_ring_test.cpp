// The object ring without sockets: packet layout of a taken block, the overwrite report, and
// readers at different speeds against a reference of what was written.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "net_helpers.h"
#include "stop_internal.h"

namespace {

using pelarin::StopRingCreate;
using pelarin::StopRingFree;
using pelarin::StopRingTake;
using pelarin::StopRingWrite;

std::vector<uint8_t> Block(uint32_t size, uint8_t seed) {
  std::vector<uint8_t> b(size);
  for (uint32_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return b;
}

ObjectPara Header(uint32_t kind, uint32_t count) {
  ObjectPara h{};
  strcpy(h.ip_address, "10.0.0.1");
  h.kind = kind;
  h.object_count = count;
  h.data_size = 12345;  // whatever the caller says, the ring records the bytes it holds
  return h;
}

struct Reader {
  StopClientState state{};
  ~Reader() { free(state.packet); }
  // The block now in the packet: (kind, data).
  std::pair<uint32_t, std::vector<uint8_t>> Taken() const {
    const uint8_t* p = state.packet;
    uint32_t kind = 0, size = 0;
    GetUint32Value(p + kPacketHeadBytes + kElementHeadBytes + 40, &kind);
    GetUint32Value(p + kPacketHeadBytes + kElementHeadBytes + 44, &size);
    return {kind, std::vector<uint8_t>(p + kObjectPacketHeadBytes, p + kObjectPacketHeadBytes + size)};
  }
  // Takes the next block; true when one was taken.
  bool Take(ObjectRing* ring) {
    const uint64_t before = state.last_sequence;
    state.packet_length = 0;
    EXPECT_EQ(StopRingTake(ring, &state), kQeltOk);
    return state.packet_length > 0 && state.last_sequence != before;
  }
};

class ObjectRingTest : public ::testing::Test {
 protected:
  void SetUp() override { ring_ = StopRingCreate(kStopRingSlots); }
  void TearDown() override { StopRingFree(ring_); }
  void Write(uint32_t kind, const std::vector<uint8_t>& data) {
    const ObjectPara h = Header(kind, static_cast<uint32_t>(data.size() / kObjectRecordBytes));
    ASSERT_EQ(StopRingWrite(ring_, &h, data.data(), static_cast<uint32_t>(data.size())), kQeltOk);
  }
  ObjectRing* ring_ = nullptr;
};

TEST_F(ObjectRingTest, ThreeRecordBlockBecomesOne761BytePacket) {
  ring_->reader_count = 1;
  const std::vector<uint8_t> data = Block(kObjectRecordBytes * 3, 1);
  Write(7, data);
  Reader r;
  ASSERT_TRUE(r.Take(ring_));
  ASSERT_EQ(r.state.packet_length, 761u);
  EXPECT_EQ(memcmp(r.state.packet, kDefaultPacketHead, kPacketHeadBytes), 0);
  EXPECT_EQ(r.state.packet[8], kElementObjectPara);
  uint32_t value_length = 0, count = 0;
  GetUint32Value(r.state.packet + 9, &value_length);
  GetUint32Value(r.state.packet + 13 + 48, &count);
  EXPECT_EQ(value_length, 52u);
  EXPECT_EQ(count, 3u);
  EXPECT_STREQ(reinterpret_cast<const char*>(r.state.packet + 13), "10.0.0.1");
  EXPECT_EQ(r.Taken().first, 7u);
  EXPECT_EQ(r.Taken().second, data);
  EXPECT_FALSE(r.Take(ring_)) << "a block is never taken twice";
}

// Overwriting an untaken block is reported only while a client streams.
TEST_F(ObjectRingTest, FifthBlockOverwritingAnUntakenOneIsReportedWithAStreamingClient) {
  for (uint32_t readers : {0u, 1u}) {
    SCOPED_TRACE(readers);
    nettest::LogCapture log;
    StopRingFree(ring_);
    ring_ = StopRingCreate(kStopRingSlots);
    ring_->reader_count = readers;
    for (uint8_t i = 0; i < 4; ++i) Write(i, Block(10, i));
    EXPECT_EQ(log.Count("[STOP]Send object too slow"), 0u);
    Write(4, Block(10, 4));
    EXPECT_EQ(log.Count("[STOP]Send object too slow"), readers);
  }
}

TEST_F(ObjectRingTest, ClientStartedLateGetsOnlyLaterBlocksAndOlderOnesAreNotReportedLost) {
  nettest::LogCapture log;
  for (uint8_t i = 0; i < 3; ++i) Write(i, Block(10, i));
  Reader r;
  ring_->reader_count = 1;
  pelarin::StopRingJoin(ring_, &r.state);
  EXPECT_FALSE(r.Take(ring_));
  for (uint8_t i = 3; i < 6; ++i) Write(i, Block(10, i));  // slots 3, 0, 1: 0 and 1 held blocks it gave up
  EXPECT_EQ(log.Count("[STOP]Send object too slow"), 0u);
  for (uint32_t kind = 3; kind < 6; ++kind) {
    ASSERT_TRUE(r.Take(ring_));
    EXPECT_EQ(r.Taken().first, kind);
  }
}

TEST_F(ObjectRingTest, ReadersAtAnySpeedGetBlocksInOrderNeverTwiceAndIntact) {
  ring_->reader_count = 2;
  std::mt19937 random(1234);
  std::map<uint32_t, std::vector<uint8_t>> written;  // by kind, which numbers the blocks
  Reader fast, slow;
  std::vector<uint32_t> fast_kinds, slow_kinds;
  Write(0, Block(3, 0));
  written[0] = Block(3, 0);
  for (uint32_t kind = 1; kind < 400; ++kind) {
    // Odd sizes, sometimes larger than the slot's buffer so far, sometimes empty.
    const uint32_t size = random() % 5 == 0 ? 0 : 1 + random() % 3000;
    written[kind] = Block(size, static_cast<uint8_t>(kind));
    Write(kind, written[kind]);
    while (fast.Take(ring_)) {
      fast_kinds.push_back(fast.Taken().first);
      EXPECT_EQ(fast.Taken().second, written[fast_kinds.back()]);
    }
    if (random() % 7 == 0 && slow.Take(ring_)) {
      slow_kinds.push_back(slow.Taken().first);
      EXPECT_EQ(slow.Taken().second, written[slow_kinds.back()]);
    }
  }
  // The fast reader got every block from its first on; the slow one lost some but never went back.
  for (size_t i = 1; i < fast_kinds.size(); ++i) ASSERT_EQ(fast_kinds[i], fast_kinds[i - 1] + 1);
  EXPECT_EQ(fast_kinds.back(), 399u);
  for (size_t i = 1; i < slow_kinds.size(); ++i) ASSERT_GT(slow_kinds[i], slow_kinds[i - 1]);
  EXPECT_LT(slow_kinds.size(), fast_kinds.size());
}

}  // namespace
