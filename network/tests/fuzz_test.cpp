// Seeded fuzzing: random and mutated packets through every element parser, through the control
// analysis, and over TCP to a live control server that must still answer a valid request.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

#include "net_helpers.h"
#include "pelarin/packet.h"
#include "pelarin/scdp.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSeed = 20261208;
constexpr int kPackets = 100000;

// Makes random and mutated packets: valid seeds of every protocol, then truncation, flipped
// bytes, lengths near 0xFFFFFFFF, repeated elements and plain garbage.
class PacketFuzzer {
 public:
  explicit PacketFuzzer(uint32_t seed) : rng_(seed) {
    seeds_.push_back(nettest::Packet(kElementKeyValue, nettest::Words({1, 1, 4, 4080})));
    seeds_.push_back(nettest::Packet(kElementKeyValueACK, nettest::Words({2, 1, 0, 4, 10})));
    seeds_.push_back(nettest::Packet(kElementCtrlImage, Bytes(12, 1)));
    seeds_.push_back(nettest::Packet(kElementImagePara, Bytes(28, 2)));
    seeds_.push_back(nettest::Packet(kElementObjectPara, Bytes(52, 3)));
    seeds_.push_back(nettest::Packet(kElementCtrlObject, Bytes(12, 4)));
    Bytes discovery = nettest::Packet(kElementDeviceType, {4});
    const Bytes ip = nettest::Packet(kElementIPInfo, Bytes(44, '7'));
    discovery.insert(discovery.end(), ip.begin() + 8, ip.end());
    seeds_.push_back(discovery);
    Bytes text = nettest::Packet(kElementControlSoftware, {1, 2, 3, 0, 0, 0, 2, 'a', 0, 0, 0, 0, 1, 0});
    seeds_.push_back(text);
  }

  Bytes Next() {
    switch (rng_() % 6) {
      case 0: return Garbage();
      case 1: return Truncated();
      case 2: return HugeLength();
      case 3: return ManyElements();
      default: return Flipped();
    }
  }
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : rng_() % n; }

 private:
  Bytes Seed() { return seeds_[Below(seeds_.size())]; }
  Bytes Garbage() {
    Bytes b(Below(64));
    for (auto& x : b) x = static_cast<uint8_t>(rng_());
    if (b.size() >= 8 && rng_() % 2) memcpy(b.data(), kDefaultPacketHead, 8);
    return b;
  }
  Bytes Truncated() {
    Bytes b = Seed();
    b.resize(Below(b.size() + 1));
    return b;
  }
  Bytes HugeLength() {
    Bytes b = Seed();
    static const uint32_t kLengths[] = {0xFFFFFFFF, 0xFFFFFFFB, 0xFFFFFFFA, 0xFFFFFFF0, 0x80000000, 0x7FFFFFFF, 76800};
    const uint32_t declared = kLengths[Below(std::size(kLengths))] + Below(3);
    if (b.size() >= 13) SetUint32(declared, b.data() + 9);
    if (rng_() % 2) b[8] = static_cast<uint8_t>(Below(kElementTableRows + 30));
    return b;
  }
  Bytes ManyElements() {
    Bytes b(kDefaultPacketHead, kDefaultPacketHead + 8);
    const uint32_t count = 1 + Below(20);
    for (uint32_t i = 0; i < count; ++i) {
      const Bytes s = Seed();
      b.insert(b.end(), s.begin() + 8, s.end());
    }
    return b;
  }
  Bytes Flipped() {
    Bytes b = Seed();
    const uint32_t flips = 1 + Below(4);
    for (uint32_t i = 0; i < flips && !b.empty(); ++i) b[Below(b.size())] ^= static_cast<uint8_t>(1 + Below(255));
    return b;
  }

  std::mt19937 rng_;
  std::vector<Bytes> seeds_;
};

// Every parser row on the element after the head, and the element walk a protocol does.
void ParseEverywhere(const Bytes& packet, PacketFuzzer& fuzz) {
  const Bytes exact(packet);  // exactly sized: a read past the end is a sanitizer report
  if (CheckPacketDefaultHead(exact.data(), exact.size(), nullptr, 0, nullptr) != kQeltOk) return;
  const uint32_t remaining = exact.size() - 8;
  const uint8_t* element = exact.data() + 8;
  for (uint32_t row = 1; row < kElementTableRows; ++row) {
    if (AnalysisPacketHandler[row] == nullptr) continue;
    const uint32_t capacity = fuzz.Below(96);
    Bytes out(capacity);
    uint32_t consumed = 0;
    const int rc = AnalysisPacketHandler[row](element, remaining, capacity > 0 ? out.data() : nullptr, capacity, &consumed);
    if (rc == kQeltOk) {
      ASSERT_LE(consumed, remaining);
    }
  }
  uint32_t offset = 8;
  while (offset < exact.size()) {
    const uint8_t type = exact[offset];
    if (type >= kElementTableRows || AnalysisPacketHandler[type] == nullptr) break;
    Bytes out(256);
    uint32_t consumed = 0;
    if (AnalysisPacketHandler[type](exact.data() + offset, exact.size() - offset, out.data(), out.size(), &consumed) !=
        kQeltOk) {
      break;
    }
    ASSERT_GE(consumed, kElementHeadBytes);
    ASSERT_LE(consumed, exact.size() - offset);
    offset += consumed;
  }
}

int FuzzCallback(const char* payload, int length, void*, tagACKMsgPara* reply) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(payload);
  uint32_t want = 0;
  GetUint32Value(p + 8, &want);  // the request's own length word, trusted as a careless handler would
  reply->reply_flag = p[3] & 1;
  reply->used_size = want % (reply->capacity + 64);
  if (reply->used_size <= reply->capacity) memset(reply->buffer, 0x5A, reply->used_size);
  return length;
}

TEST(Fuzz, EveryParserSurvivesRandomAndMutatedPackets) {
  PacketFuzzer fuzz(kSeed);
  for (int i = 0; i < kPackets; ++i) {
    ParseEverywhere(fuzz.Next(), fuzz);
    if (HasFatalFailure()) return;
  }
}

TEST(Fuzz, ControlAnalysisSurvivesRandomAndMutatedPackets) {
  nettest::LogCapture log;
  ASSERT_EQ(kQeltOk, SCDPInit(kScdpServerMode));
  SCDPRegisterRecvCtrlMsg(FuzzCallback, nullptr);
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair));
  PacketFuzzer fuzz(kSeed + 1);
  uint8_t sink[65536];
  for (int i = 0; i < kPackets; ++i) {
    const Bytes packet = fuzz.Next();
    ScdpReplyView view{};
    SCDPAnalysisPacket(pair[0], packet.data(), packet.size(), i % 2 ? &view : nullptr);
    if (view.payload != nullptr) {
      ASSERT_LE(view.length, packet.size());
    }
    while (recv(pair[1], sink, sizeof sink, 0) > 0) {
    }
    if (i % 1000 == 0) log.Clear();
  }
  close(pair[0]);
  close(pair[1]);
  SCDPUnInit();
}

TEST(Fuzz, LiveControlServerStillAnswersAfterAFlood) {
  nettest::LogCapture log;
  nettest::ControlServer server(FuzzCallback);
  ASSERT_TRUE(server.ok());
  constexpr int kConnections = 16;
  std::vector<std::thread> senders;
  for (int c = 0; c < kConnections; ++c) {
    senders.emplace_back([&, c] {
      PacketFuzzer fuzz(kSeed + 100 + c);
      int fd = nettest::ConnectLoopback(server.port());
      for (int i = 0; i < kPackets / kConnections; ++i) {
        const Bytes packet = fuzz.Next();
        if (fd < 0 || !nettest::SendAll(fd, packet) || fuzz.Below(500) == 0) {  // now and then hang up
          if (fd >= 0) close(fd);
          fd = nettest::ConnectLoopback(server.port());
        }
        if (i % 64 == 0) {
          uint8_t sink[65536];
          while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
          }
        }
      }
      if (fd >= 0) close(fd);
    });
  }
  for (auto& s : senders) s.join();
  log.Clear();
  const int client = nettest::ConnectLoopback(server.port());
  ASSERT_GE(client, 0);
  // A request whose callback answers with 16 bytes of 0x5A.
  const Bytes request = nettest::Packet(kElementKeyValue, nettest::Words({1, 1, 16}));
  ASSERT_TRUE(nettest::SendAll(client, request));
  Bytes reply;
  ASSERT_TRUE(nettest::ReadExactly(client, 13 + 16, &reply));
  EXPECT_EQ(48, reply[8]);
  EXPECT_EQ(Bytes(16, 0x5A), Bytes(reply.begin() + 13, reply.end()));
  close(client);
}

}  // namespace
