// The object-stream client's reassembler: blocks cut at any byte boundary, heads split across
// receives, garbage between packets, and declared sizes that must not be trusted.
#include <gtest/gtest.h>

#include <unistd.h>

#include <random>

#include "stop_helpers.h"

namespace {

using nettest::ObjectPacket;
using nettest::PatternBytes;

class ObjectReassembly : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(STOPInit(kStopClientMode), kQeltOk);
    collector_.Attach();
    listener_ = nettest::ListenLoopback(&port_);
    ASSERT_GE(listener_, 0);
    ASSERT_EQ(STOPClientConnectSession("127.0.0.1", port_), kQeltOk);
    ASSERT_EQ(STOPGetClientSocketFD("127.0.0.1", &fd_), kQeltOk);
  }
  void TearDown() override {
    STOPUnInit();
    close(listener_);
  }
  // Hands `stream` to the analysis in pieces of the given sizes (the last takes the rest).
  void Feed(const std::vector<uint8_t>& stream, const std::vector<size_t>& pieces) {
    size_t at = 0;
    for (size_t piece : pieces) {
      if (at >= stream.size()) break;
      const size_t n = std::min(piece, stream.size() - at);
      ASSERT_EQ(STOPAnalysisPacket(0, fd_, kServerObject, stream.data() + at, static_cast<uint32_t>(n)), kQeltOk);
      at += n;
    }
    if (at < stream.size()) {
      ASSERT_EQ(STOPAnalysisPacket(0, fd_, kServerObject, stream.data() + at, static_cast<uint32_t>(stream.size() - at)),
                kQeltOk);
    }
  }
  nettest::BlockCollector collector_;
  int listener_ = -1;
  uint16_t port_ = 0;
  int fd_ = -1;
};

TEST_F(ObjectReassembly, HeadSplitAtEveryByteStillYieldsTheBlocks) {
  const std::vector<uint8_t> data = PatternBytes(97, 2);
  std::vector<uint8_t> stream = ObjectPacket(1, 0, data);
  const std::vector<uint8_t> ack = nettest::CtrlObjectPacket(kStopAcknowledge, kStopStart);
  stream.insert(stream.begin(), ack.begin(), ack.end());
  for (size_t cut = 1; cut < kStopCtrlPacketBytes + kObjectPacketHeadBytes + 2; ++cut) Feed(stream, {cut});
  const auto blocks = collector_.Blocks();
  ASSERT_EQ(blocks.size(), kStopCtrlPacketBytes + kObjectPacketHeadBytes + 1);
  for (const auto& b : blocks) ASSERT_EQ(b.data, data);
}

TEST_F(ObjectReassembly, RandomSplitsOfAStreamReassembleToTheSameBlocks) {
  std::mt19937 random(77);
  std::vector<uint8_t> stream;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<uint32_t> counts;
  for (uint32_t i = 0; i < 60; ++i) {
    counts.push_back(random() % 300);  // up to about 70 KB per block, some empty
    sent.push_back(PatternBytes(counts.back() * kObjectRecordBytes + (i % 3), i));
    const auto packet = ObjectPacket(i, counts.back(), sent.back());
    stream.insert(stream.end(), packet.begin(), packet.end());
    if (i % 5 == 0) {
      const auto ack = nettest::CtrlObjectPacket(kStopAcknowledge, kStopStart);
      stream.insert(stream.end(), ack.begin(), ack.end());
    }
  }
  std::vector<size_t> pieces;
  for (size_t total = 0; total < stream.size();) {
    const size_t n = 1 + random() % 70000;
    pieces.push_back(n);
    total += n;
  }
  Feed(stream, pieces);
  const auto blocks = collector_.Blocks();
  ASSERT_EQ(blocks.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(blocks[i].kind, i);
    EXPECT_EQ(blocks[i].count, counts[i]);
    EXPECT_EQ(blocks[i].address, "127.0.0.1");
    ASSERT_EQ(blocks[i].data, sent[i]) << "block " << i;
  }
}

TEST_F(ObjectReassembly, GarbageBetweenPacketsIsSkippedAndLoggedOnce) {
  nettest::LogCapture log;
  const std::vector<uint8_t> first = PatternBytes(50, 3), second = PatternBytes(70, 4);
  std::vector<uint8_t> stream = ObjectPacket(1, 0, first);
  const std::vector<uint8_t> garbage = PatternBytes(333, 99);
  stream.insert(stream.end(), garbage.begin(), garbage.end());
  const auto next = ObjectPacket(2, 0, second);
  stream.insert(stream.end(), next.begin(), next.end());
  Feed(stream, {10, 200, 7});
  const auto blocks = collector_.Blocks();
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1].data, second);
  EXPECT_EQ(log.Count("[STOP]Head:"), 1u);
}

// A declared size beyond the bound is never allocated, and elements of the wrong size or type
// are not taken as blocks: the good block behind each is delivered.
TEST_F(ObjectReassembly, UntrustedElementsAreSkippedAndTheNextBlockDelivered) {
  const struct {
    const char* what;
    std::vector<uint8_t> packet;
    size_t bound_lines;
  } cases[] = {
      {"huge size", ObjectPacket(1, 0, {}, 0xFFFFFFFB), 1},
      {"short ObjectPara", nettest::Packet(kElementObjectPara, std::vector<uint8_t>(51, 0)), 0},
      {"ImagePara", nettest::Packet(kElementImagePara, std::vector<uint8_t>(28, 0)), 0},
      {"invalid type", nettest::Packet(200, std::vector<uint8_t>(3, 0)), 0},
  };
  uint32_t kind = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    nettest::LogCapture log;
    std::vector<uint8_t> stream = c.packet;
    const auto good = ObjectPacket(++kind, 0, PatternBytes(40, 5));
    stream.insert(stream.end(), good.begin(), good.end());
    const size_t before = collector_.Count();
    Feed(stream, {1000});
    ASSERT_EQ(collector_.Count(), before + 1);
    EXPECT_EQ(collector_.Blocks().back().kind, kind);
    EXPECT_EQ(log.Count("[STOP]Object block of"), c.bound_lines);
  }
}

TEST_F(ObjectReassembly, BytesForAnUnknownConnectionAreRefused) {
  const auto packet = ObjectPacket(1, 0, PatternBytes(8, 1));
  EXPECT_EQ(STOPAnalysisPacket(0, fd_ + 1000, kServerObject, packet.data(), static_cast<uint32_t>(packet.size())),
            kQeltNoSession);
  EXPECT_EQ(collector_.Count(), 0u);
}

TEST_F(ObjectReassembly, RandomBytesNeverCrashTheReassembler) {
  std::mt19937 random(4242);
  const auto good = ObjectPacket(9, 1, PatternBytes(kObjectRecordBytes, 9));
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes = good;
    // Flip, cut or grow the valid packet, or send plain noise.
    const int how = round % 4;
    if (how == 0) {
      for (int k = 0; k < 4; ++k) bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    } else if (how == 1) {
      bytes.resize(random() % bytes.size());
    } else if (how == 2) {
      for (size_t k = 0; k < 13 + random() % 100; ++k) bytes.push_back(static_cast<uint8_t>(random()));
    } else {
      for (auto& b : bytes) b = static_cast<uint8_t>(random());
    }
    Feed(bytes, {1 + random() % 64});
  }
  // Whatever state the noise left, a connection that is then closed and reopened works.
  ASSERT_EQ(STOPClientCloseSession("127.0.0.1"), kQeltOk);
  ASSERT_EQ(STOPClientConnectSession("127.0.0.1", port_), kQeltOk);
  ASSERT_EQ(STOPGetClientSocketFD("127.0.0.1", &fd_), kQeltOk);
  const size_t before = collector_.Count();
  Feed(good, {});
  EXPECT_EQ(collector_.Count(), before + 1);
}

}  // namespace
