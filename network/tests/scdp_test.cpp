// Control protocol over loopback: a server with a test callback, and the client against the
// library's server and against a fake server that answers late, in parts, or not at all.
#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "net_helpers.h"
#include "pelarin/packet.h"
#include "pelarin/proxy.h"
#include "pelarin/proxy_passes.h"
#include "pelarin/scdp.h"
#include "receive_backlog.h"

namespace {

using nettest::Packet;
using nettest::Words;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

enum TestCommand : uint32_t { kEcho = 1, kSilent = 2, kOversized = 3, kCapacity = 4, kReadFourWords = 5, kSlow = 6 };

std::atomic<int> g_calls{0};
std::atomic<int> g_last_length{-1};

// Slow requests (kSlow, numbered by their data word) take longer than a connection's share of a
// pass; they are kept in the order handled, with the control thread's pass count then. The one
// numbered kGated waits until the test opens the gate.
constexpr uint32_t kGated = 100;
std::mutex g_slow_lock;
std::vector<std::pair<uint32_t, uint64_t>> g_slow;
std::atomic<bool> g_gate_open{true};

void HandleSlow(uint32_t number) {
  uint64_t passes = 0;
  ProxyThreadPasses(kProxyCtrlAndBroadcast, &passes);
  {
    std::lock_guard<std::mutex> lock(g_slow_lock);
    g_slow.emplace_back(number, passes);
  }
  if (number == kGated) nettest::WaitUntil([] { return g_gate_open.load(); });
  std::this_thread::sleep_for(pelarin::kConnectionWorkPerPass + std::chrono::milliseconds(1));
}

uint32_t Word(const uint8_t* p) {
  uint32_t v;
  GetUint32Value(p, &v);
  return v;
}

void PutWords(tagACKMsgPara* reply, const Bytes& bytes) {
  memcpy(reply->buffer, bytes.data(), bytes.size());
  reply->used_size = static_cast<uint32_t>(bytes.size());
  reply->reply_flag = 1;
}

// The test's control callback: the request's second word picks the behaviour. It reads the
// first four words whatever the length, as a careless handler would.
int TestCallback(const char* payload, int length, void*, tagACKMsgPara* reply) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(payload);
  const uint32_t command = Word(p + 4);
  const uint32_t words[4] = {Word(p), command, Word(p + 8), Word(p + 12)};
  g_last_length = length;
  switch (command) {
    case kEcho: {
      Bytes out = Words({2, kEcho, 0, static_cast<uint32_t>(length > 12 ? length - 12 : 0)});
      if (length > 12) out.insert(out.end(), p + 12, p + length);
      PutWords(reply, out);
      break;
    }
    case kSilent: break;
    case kOversized:
      reply->reply_flag = 1;
      reply->used_size = reply->capacity + 1;
      break;
    case kCapacity: PutWords(reply, Words({2, kCapacity, 0, 4, reply->capacity})); break;
    case kSlow:
      HandleSlow(words[3]);
      PutWords(reply, Words({2, kSlow, 0, 4, words[3]}));
      break;
    default: PutWords(reply, Words({2, command, words[2], 4, static_cast<uint32_t>(length)})); break;
  }
  ++g_calls;
  return 0;
}

Bytes Request(uint32_t command, const Bytes& data = {}) {
  Bytes payload = Words({1, command, static_cast<uint32_t>(data.size())});
  payload.insert(payload.end(), data.begin(), data.end());
  return Packet(kElementKeyValue, payload);
}

// Reads one packet and returns its value; the head must be the fixed eight bytes and `type`.
Bytes ReadValue(int fd, uint8_t type) {
  Bytes head, value;
  if (!nettest::ReadExactly(fd, kPacketHeadBytes + kElementHeadBytes, &head)) return {};
  const Bytes expected_head = Packet(type, {});
  EXPECT_EQ(Bytes(expected_head.begin(), expected_head.begin() + kPacketHeadBytes + 1),
            Bytes(head.begin(), head.begin() + kPacketHeadBytes + 1));
  nettest::ReadExactly(fd, Word(head.data() + kPacketHeadBytes + 1), &value);
  return value;
}
Bytes ReadReply(int fd) { return ReadValue(fd, kElementKeyValueACK); }

bool WaitCalls(int n) {
  return nettest::WaitUntil([n] { return g_calls.load() >= n; });
}

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0;
    g_last_length = -1;
    ASSERT_TRUE(server_.ok());
    client_ = nettest::ConnectLoopback(server_.port());
    ASSERT_GE(client_, 0);
  }
  void TearDown() override { close(client_); }
  // Sends a block, then a request, and waits for the request's answer: the server handles one
  // connection's bytes in order, so the block has been handled, and a block that can never be
  // valid ends at the request's head.
  void SendAlone(const Bytes& bytes) {
    ASSERT_TRUE(nettest::SendAll(client_, bytes));
    ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho)));
    ASSERT_EQ(Words({2, kEcho, 0, 0}), ReadReply(client_));
  }
  nettest::LogCapture log_;
  nettest::ControlServer server_{TestCallback};
  int client_ = -1;
};

TEST_F(ControlServerTest, RequestIsAnsweredWithExactlyTheCallbacksBytes) {
  ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho, {'a', 'b', 'c'})));
  Bytes head;
  ASSERT_TRUE(nettest::ReadExactly(client_, 13 + 19, &head));
  Bytes value = Words({2, kEcho, 0, 3});
  value.insert(value.end(), {'a', 'b', 'c'});
  EXPECT_EQ(Packet(kElementKeyValueACK, value), head);
}

TEST_F(ControlServerTest, EmptyRequestReachesTheCallbackWithLengthZero) {
  ASSERT_TRUE(nettest::SendAll(client_, Packet(kElementKeyValue, {})));
  EXPECT_EQ(Words({2, 0, 0, 4, 0}), ReadReply(client_));
  EXPECT_EQ(0, g_last_length.load());
}

TEST_F(ControlServerTest, ShortPayloadIsPaddedForTheCallback) {
  ASSERT_TRUE(nettest::SendAll(client_, Packet(kElementKeyValue, {0, 0, 0, 1, 0, 0, 0, kReadFourWords})));
  EXPECT_EQ(Words({2, kReadFourWords, 0, 4, 8}), ReadReply(client_));
}

// A request the server must not answer: the first bytes back answer the next request.
TEST_F(ControlServerTest, NoReplyFlagOrAReplyLargerThanTheCapacitySendsNothing) {
  for (TestCommand unanswered : {kSilent, kOversized}) {
    SCOPED_TRACE(unanswered);
    g_calls = 0;
    ASSERT_TRUE(nettest::SendAll(client_, Request(unanswered)));
    ASSERT_TRUE(WaitCalls(1));
    ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho)));
    EXPECT_EQ(Words({2, kEcho, 0, 0}), ReadReply(client_));
  }
}

TEST_F(ControlServerTest, UnknownElementTypesAreIgnoredAndTheConnectionStays) {
  SendAlone(Packet(60, {1, 2, 3}));
  SendAlone(Packet(200, {1}));
  Bytes wrong_head = Request(kEcho);
  wrong_head[3] = 0x19;
  SendAlone(wrong_head);
  ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho, {'z'})));
  Bytes expected = Words({2, kEcho, 0, 1});
  expected.push_back('z');
  EXPECT_EQ(expected, ReadReply(client_));
  EXPECT_EQ(1u, log_.Count("[SCDP]Rcv ctrl msg type 0x3c"));
  EXPECT_EQ(1u, log_.Count("[SCDP]Head: 0x81 0x42 0x24 0x19"));
  EXPECT_EQ(4, g_calls.load());
}

// A declared length that no receive buffer holds can never be valid: each such packet is dropped
// with one line, and a request after it is answered.
TEST_F(ControlServerTest, HostileDeclaredLengthIsDroppedWithoutReadingPastTheReceive) {
  const uint32_t just_too_long = kClientReceiveBufferBytes - kPacketHeadBytes - kElementHeadBytes + 1;
  for (uint32_t declared : {0xFFFFFFF0u, 0xFFFFFFFBu, just_too_long}) {
    Bytes hostile = Packet(kElementKeyValue, Words({1, kEcho, 0}));
    SetUint32(declared, hostile.data() + 9);
    SendAlone(hostile);
  }
  ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho)));
  EXPECT_EQ(Words({2, kEcho, 0, 0}), ReadReply(client_));
  EXPECT_EQ(3u, log_.Count("[SCDP]Request element does not fit"));
  EXPECT_EQ(4, g_calls.load());
}

// However TCP cuts the byte stream, every request is answered whole and in order: one split
// inside its head with a pause between the parts, two in one write, and a bad packet between two
// requests dropped with one line while both requests are answered.
TEST_F(ControlServerTest, RequestsAreAnsweredHoweverTheStreamIsCut) {
  const Bytes split = Request(kEcho, {'s'});
  ASSERT_TRUE(nettest::SendAll(client_, Bytes(split.begin(), split.begin() + 5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(nettest::SendAll(client_, Bytes(split.begin() + 5, split.end())));
  EXPECT_EQ(Bytes({0, 0, 0, 2, 0, 0, 0, kEcho, 0, 0, 0, 0, 0, 0, 0, 1, 's'}), ReadReply(client_));

  Bytes joined = Request(kEcho, {'a'});
  Bytes bad = Request(kEcho, {'x'});
  bad[3] = 0x19;
  const Bytes second = Request(kEcho, {'b', 'b'});
  joined.insert(joined.end(), bad.begin(), bad.end());
  joined.insert(joined.end(), second.begin(), second.end());
  ASSERT_TRUE(nettest::SendAll(client_, joined));
  EXPECT_EQ(Bytes({0, 0, 0, 2, 0, 0, 0, kEcho, 0, 0, 0, 0, 0, 0, 0, 1, 'a'}), ReadReply(client_));
  EXPECT_EQ(Bytes({0, 0, 0, 2, 0, 0, 0, kEcho, 0, 0, 0, 0, 0, 0, 0, 2, 'b', 'b'}), ReadReply(client_));
  EXPECT_EQ(1u, log_.Count("[SCDP]Head: 0x81 0x42 0x24 0x19"));
  EXPECT_EQ(3, g_calls.load());
}

// A connection that leaves a request unfinished is closed once its time is up; a connection that
// has made no request yet stays, and so does one whose requests were answered: both are answered
// when they ask later. The wait outlasts every bound of seconds a quiet connection could meet.
TEST_F(ControlServerTest, QuietConnectionsStayAndUnfinishedRequestsAreClosed) {
  ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho)));
  ASSERT_EQ(Words({2, kEcho, 0, 0}), ReadReply(client_));
  const auto start = Clock::now();
  const int silent = nettest::ConnectLoopback(server_.port());
  const int stalled = nettest::ConnectLoopback(server_.port());
  ASSERT_GE(silent, 0);
  ASSERT_GE(stalled, 0);
  const Bytes request = Request(kEcho);
  ASSERT_TRUE(nettest::SendAll(stalled, Bytes(request.begin(), request.begin() + 5)));
  EXPECT_TRUE(nettest::WaitClosedByPeer(stalled));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kRequestCompleteMillis));
  ASSERT_TRUE(nettest::SendAll(silent, Request(kEcho, {'s'})));
  EXPECT_EQ(Bytes({0, 0, 0, 2, 0, 0, 0, kEcho, 0, 0, 0, 0, 0, 0, 0, 1, 's'}), ReadReply(silent))
      << "a connection's first request, made late, is answered";
  ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho, {'k'})));
  EXPECT_EQ(Bytes({0, 0, 0, 2, 0, 0, 0, kEcho, 0, 0, 0, 0, 0, 0, 0, 1, 'k'}), ReadReply(client_));
  close(silent);
  close(stalled);
}

// A connection's joined requests are served a share at a time: a request of another client that
// comes while they wait is served in the next pass, the passes go on, and every joined request is
// answered in its order, though they wait in the buffer with nothing new on the socket but the
// end of the peer's sending side.
TEST_F(ControlServerTest, JoinedRequestsShareThePassesAndAreAllAnsweredInOrder) {
  ASSERT_TRUE(nettest::SendAll(client_, Request(kEcho)));
  ASSERT_EQ(Words({2, kEcho, 0, 0}), ReadReply(client_));  // accepted before the burst's connection
  const auto handled = [] {
    std::lock_guard<std::mutex> lock(g_slow_lock);
    return g_slow;
  };
  g_gate_open = false;
  constexpr uint32_t kJoined = 20;
  Bytes joined;
  for (uint32_t number = kGated; number < kGated + kJoined; ++number) {
    const Bytes request = Request(kSlow, Words({number}));
    joined.insert(joined.end(), request.begin(), request.end());
  }
  const int burst = nettest::ConnectLoopback(server_.port());
  ASSERT_TRUE(nettest::SendAll(burst, joined));
  ASSERT_EQ(shutdown(burst, SHUT_WR), 0);
  ASSERT_TRUE(nettest::WaitUntil([&] { return !handled().empty(); }));
  // While the first joined request is handled, another client's request arrives whole.
  ASSERT_TRUE(nettest::SendAll(client_, Request(kSlow, Words({1}))));
  int unacknowledged = -1;
  ASSERT_TRUE(nettest::WaitUntil([&] { return ioctl(client_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0; }));
  g_gate_open = true;
  EXPECT_EQ(Words({2, kSlow, 0, 4, 1}), ReadReply(client_));
  for (uint32_t number = kGated; number < kGated + kJoined; ++number) {
    ASSERT_EQ(Words({2, kSlow, 0, 4, number}), ReadReply(burst));
  }
  const auto order = handled();
  ASSERT_EQ(order.size(), kJoined + 1);
  EXPECT_EQ(order[1].first, 1u) << "the other client waited for more than one share of the burst";
  EXPECT_GE(order.back().second - order.front().second, kJoined - 1) << "one joined request a pass";
  EXPECT_TRUE(nettest::WaitClosedByPeer(burst));
  close(burst);
}

TEST_F(ControlServerTest, ReplyElementSentToTheServerLeavesItsReplyBufferAlone) {
  ASSERT_TRUE(nettest::SendAll(client_, Request(kCapacity)));
  EXPECT_EQ(Words({2, kCapacity, 0, 4, 4083}), ReadReply(client_));
  SendAlone(Packet(kElementKeyValueACK, Bytes(5000, 0x42)));
  ASSERT_TRUE(nettest::SendAll(client_, Request(kCapacity)));
  EXPECT_EQ(Words({2, kCapacity, 0, 4, 4083}), ReadReply(client_));
  EXPECT_EQ(1u, log_.Count("[SCDP]Rcv ctrl msg type 0x30"));
}

TEST_F(ControlServerTest, ClosedClientsFreeTheirSlotsAndTheOthersAreStillServed) {
  const int other = nettest::ConnectLoopback(server_.port());
  ASSERT_GE(other, 0);
  ASSERT_TRUE(nettest::SendAll(other, Request(kEcho)));
  EXPECT_EQ(Words({2, kEcho, 0, 0}), ReadReply(other));  // both are accepted now
  close(client_);
  client_ = -1;
  ASSERT_TRUE(nettest::SendAll(other, Request(kEcho, {'q'})));
  Bytes expected = Words({2, kEcho, 0, 1});
  expected.push_back('q');
  EXPECT_EQ(expected, ReadReply(other));
  ASSERT_TRUE(log_.WaitFor("[SCDP]SCDP server remove client"));
  server_.WithThreadStopped([](ServerSocketTable* table) { EXPECT_EQ(1u, table->client_count); });
  close(other);
  ASSERT_TRUE(log_.WaitFor("[SCDP]SCDP server remove client", 2));
  server_.WithThreadStopped([](ServerSocketTable* table) {
    EXPECT_EQ(0u, table->client_count);
    EXPECT_EQ(kNoSlot, table->first_used);
  });
}

TEST_F(ControlServerTest, LibraryClientExchangesWithTheServer) {
  ASSERT_EQ(kQeltOk, SCDPClientConnectSession("127.0.0.1", server_.port()));
  EXPECT_EQ(kQeltSessionExists, SCDPClientExist("127.0.0.1"));
  const Bytes payload = Words({1, kEcho, 4, 0xCAFEF00D});
  ScdpRequest request{};
  strcpy(request.ip, "127.0.0.1");
  request.payload = payload.data();
  request.length = static_cast<uint32_t>(payload.size());
  ScdpReplyView reply{};
  ASSERT_EQ(kQeltOk, SCDPClientSendCtrl(&request, &reply));
  EXPECT_EQ(Words({2, kEcho, 0, 4, 0xCAFEF00D}), Bytes(reply.payload, reply.payload + reply.length));
  SCDPClientCloseSession("127.0.0.1");
  EXPECT_EQ(kQeltNoSuchSession, SCDPClientExist("127.0.0.1"));
  EXPECT_EQ(kQeltNoSession, SCDPClientSendCtrl(&request, &reply));
}

TEST(ControlAnalysis, CodesForBadBlocks) {
  nettest::LogCapture log;
  ScdpReplyView view{};
  const Bytes type200 = Packet(200, {1});
  EXPECT_EQ(kQeltBadElementType, SCDPAnalysisPacket(-1, type200.data(), type200.size(), &view));
  const Bytes short_head = {0x81, 0x42, 0x24};
  EXPECT_EQ(kQeltHeadTooShort, SCDPAnalysisPacket(-1, short_head.data(), 3, &view));
  const Bytes head_only = {0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7};
  EXPECT_EQ(kQeltInvalid, SCDPAnalysisPacket(-1, head_only.data(), 8, &view));
  EXPECT_EQ(kQeltNullArgument, SCDPAnalysisPacket(-1, nullptr, 8, &view));
}

// A fake control server on its own thread, driven step by step by the test.
class FakeServer {
 public:
  FakeServer() {
    listener_ = nettest::ListenLoopback(&port_);
    thread_ = std::thread([this] { peer_ = accept(listener_, nullptr, nullptr); });
  }
  ~FakeServer() {
    if (thread_.joinable()) thread_.join();
    close(peer_);
    close(listener_);
  }
  uint16_t port() const { return port_; }
  // Waits for the connection (after the client connected).
  void Accepted() { thread_.join(); }
  // Reads one request packet, returns its payload.
  Bytes ReadRequest() { return ReadValue(peer_, kElementKeyValue); }
  void Reply(const Bytes& value, size_t split = 0) {
    const Bytes packet = Packet(kElementKeyValueACK, value);
    if (split == 0 || split >= packet.size()) {
      nettest::SendAll(peer_, packet);
      return;
    }
    nettest::SendAll(peer_, Bytes(packet.begin(), packet.begin() + split));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    nettest::SendAll(peer_, Bytes(packet.begin() + split, packet.end()));
  }
  void SendRaw(const Bytes& bytes) { nettest::SendAll(peer_, bytes); }
  void CloseConnection() {
    close(peer_);
    peer_ = -1;
  }

 private:
  int listener_ = -1, peer_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

class ControlClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kQeltOk, SCDPInit(kScdpClientMode));
    ASSERT_EQ(kQeltOk, SCDPClientConnectSession("127.0.0.1", fake_.port()));
    fake_.Accepted();
  }
  void TearDown() override { SCDPUnInit(); }
  int Send(const Bytes& payload, ScdpReplyView* reply) {
    ScdpRequest request{};
    strcpy(request.ip, "127.0.0.1");
    request.payload = payload.data();
    request.length = static_cast<uint32_t>(payload.size());
    return SCDPClientSendCtrl(&request, reply);
  }
  nettest::LogCapture log_;
  FakeServer fake_;
};

// Replies split across receives, and longer than the client's first buffer, arrive whole.
TEST_F(ControlClientTest, LongAndSplitRepliesArriveWhole) {
  const struct {
    size_t size, split;
  } cases[] = {{3000, 1001}, {5000, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    Bytes value(c.size);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(i * 7);
    std::thread server([&] {
      fake_.ReadRequest();
      fake_.Reply(value, c.split);
    });
    ScdpReplyView reply{};
    EXPECT_EQ(kQeltOk, Send(Words({1, 1, 0}), &reply));
    server.join();
    EXPECT_EQ(value, Bytes(reply.payload, reply.payload + reply.length));
  }
}

TEST_F(ControlClientTest, MissingReplyTimesOutAndALateReplyIsNotTakenForTheNext) {
  std::promise<void> client_gave_up, late_reply_sent;
  std::thread server([&] {
    fake_.ReadRequest();
    client_gave_up.get_future().wait();
    fake_.Reply({'l', 'a', 't', 'e'});
    late_reply_sent.set_value();
    fake_.ReadRequest();
    fake_.Reply({'f', 'r', 'e', 's', 'h'});
  });
  ScdpReplyView reply{};
  const auto start = Clock::now();
  EXPECT_EQ(kQeltSelectTimeout, Send(Words({1, 1, 0}), &reply));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kScdpReplyWaitMillis));
  EXPECT_EQ(1u, log_.Count("[SCDP]Select time out, ip address: 127.0.0.1"));
  client_gave_up.set_value();
  late_reply_sent.get_future().wait();
  // The late reply has reached the client's socket before the next request: a busy kernel may
  // deliver it a moment after the send returns.
  int fd = -1;
  ASSERT_EQ(kQeltOk, SCDPClientGetSocketFD("127.0.0.1", &fd));
  pollfd readable{fd, POLLIN, 0};
  ASSERT_EQ(1, poll(&readable, 1, 20000));
  EXPECT_EQ(kQeltOk, Send(Words({1, 1, 0}), &reply));
  EXPECT_EQ(Bytes({'f', 'r', 'e', 's', 'h'}), Bytes(reply.payload, reply.payload + reply.length));
  server.join();
}

TEST_F(ControlClientTest, ConcurrentRequestsEachGetTheirOwnReply) {
  constexpr int kThreads = 3, kEach = 60;
  std::thread server([&] {
    for (int i = 0; i < kThreads * kEach; ++i) fake_.Reply(fake_.ReadRequest());
  });
  std::atomic<int> mismatches{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const Bytes payload = Words({1, 1, 4, static_cast<uint32_t>(t * 1000 + i)});
        ScdpReplyView reply{};
        if (Send(payload, &reply) != kQeltOk || payload != Bytes(reply.payload, reply.payload + reply.length)) {
          ++mismatches;
        }
      }
    });
  }
  for (auto& c : callers) c.join();
  server.join();
  EXPECT_EQ(0, mismatches.load());
}

TEST_F(ControlClientTest, PeerThatClosesEndsTheSession) {
  std::thread server([&] {
    fake_.ReadRequest();
    fake_.CloseConnection();
  });
  ScdpReplyView reply{};
  EXPECT_EQ(kQeltClientFailed, Send(Words({1, 1, 0}), &reply));
  server.join();
  EXPECT_EQ(kQeltNoSuchSession, SCDPClientExist("127.0.0.1"));
}

TEST_F(ControlClientTest, ReplyDeclaringMoreThanTheLimitIsRefused) {
  std::thread server([&] {
    fake_.ReadRequest();
    Bytes head = Packet(kElementKeyValueACK, {});
    SetUint32(0xFFFFFFF0u, head.data() + 9);
    fake_.SendRaw(head);
  });
  ScdpReplyView reply{};
  EXPECT_EQ(kQeltBufferTooSmall, Send(Words({1, 1, 0}), &reply));
  server.join();
}

}  // namespace
