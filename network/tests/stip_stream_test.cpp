// Whole image streams over loopback: the two image server threads, library clients on their
// channels and raw clients that read slowly or die mid-packet.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "net_helpers.h"
#include "pelarin/proxy.h"
#include "pelarin/stip.h"
#include "log_limit.h"
#include "stip_internal.h"
#include "stream_wire.h"

namespace {

using streamtest::Image;

constexpr auto kDeadline = std::chrono::seconds(60);
constexpr uint32_t kColorBytes = 640 * 480 * 3 / 2;
constexpr uint32_t kDisparityBytes = 240 * 320 * 2;
constexpr char kLoopback[] = "127.0.0.1";

// Images received per channel, with a wait for a given count.
struct Received {
  std::mutex lock;
  std::condition_variable changed;
  std::map<int, std::vector<Image>> images;

  bool WaitFor(int channel, size_t count, std::chrono::milliseconds deadline = kDeadline) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, deadline, [&] { return images[channel].size() >= count; });
  }
  std::vector<Image> Of(int channel) {
    std::lock_guard<std::mutex> guard(lock);
    return images[channel];
  }
};

Received* g_received = nullptr;

int OnImage(const ImagePara* header, const uint8_t* data, uint32_t size, void* context, int) {
  const int channel = static_cast<int>(reinterpret_cast<intptr_t>(context));
  Image image;
  image.header = *header;
  image.data.assign(data, data + size);
  std::lock_guard<std::mutex> guard(g_received->lock);
  g_received->images[channel].push_back(std::move(image));
  g_received->changed.notify_all();
  return 0;
}

class StipStreamFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    g_received = &received_;
    ASSERT_EQ(STIPInit(kStipServerMode, 0.0), kQeltOk);
    ASSERT_EQ(STIPInit(kStipClientMode, 0.0), kQeltOk);
    for (unsigned type : {kServerNorbImage, kServerYrdImage}) {
      ASSERT_EQ(STIPServerCreateSession(kLoopback, 0, type), kQeltOk);
      port_[type] = nettest::PortOf(STIPServerGetSocketFD(type));
    }
    for (int channel = 0; channel < 3; ++channel) {
      STIPRegisterRecvImageFunc(OnImage, channel, reinterpret_cast<void*>(static_cast<intptr_t>(channel)));
    }
    ASSERT_EQ(ProxyThreadStart(kProxyNorbImage), kQeltOk);
    ASSERT_EQ(ProxyThreadStart(kProxyYrdImage), kQeltOk);
  }
  void TearDown() override {
    StopNORBImageProxyProcess();
    StopYRDImageProxyProcess();
    STIPUnInit();
    g_received = nullptr;
  }

  // A library client on `channel` streaming from the server of `type`.
  void StartClient(int channel, unsigned type) {
    ASSERT_EQ(STIPClientConnectSession(kLoopback, port_[type], channel), kQeltOk);
    ASSERT_EQ(STIPProxyStreamChannelStart(channel), kQeltOk);
    const CtrlImageRequest start{kStipRequest, kStipStart, 0, kStipImageTypeColor, 640, 480, 20};
    ASSERT_EQ(STIPClientSendCtrlImageMsg(kLoopback, &start, channel), kQeltOk);
  }
  // A raw client that has asked for the stream.
  int StartRawClient(unsigned type, int receive_buffer = 0) {
    const int fd = nettest::ConnectLoopback(port_[type], receive_buffer);
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(nettest::SendAll(fd, streamtest::CtrlPacket(1, 1)));
    return fd;
  }
  // Waits until the server counts `count` streaming clients of `type`.
  bool WaitReaders(unsigned type, uint32_t count, std::chrono::milliseconds deadline = kDeadline) {
    return nettest::WaitUntil([&] {
      const int lock = type == kServerNorbImage ? STIPServerLockNORBData() : STIPServerLockYRDData();
      if (lock != kQeltOk) return false;
      const uint32_t readers = STIPServerGetServerData(type)->reader_count;
      type == kServerNorbImage ? STIPServerUnlockNORBData() : STIPServerUnlockYRDData();
      return readers == count;
    }, deadline);
  }
  static void Write(uint32_t type, uint32_t index) {
    const Image image = streamtest::TestImage(type, index, type == kStipImageTypeColor ? kColorBytes : kDisparityBytes);
    // Into both rings as the capture side's write does, but waiting for each lock as long as it
    // takes, so that a busy lock on a loaded machine neither drops nor repeats an image.
    for (unsigned type : {kServerNorbImage, kServerYrdImage}) {
      ASSERT_EQ(pelarin::StipLockRing(type, kMutexWaitForever), kQeltOk);
      EXPECT_EQ(STIPWriteServerData(GetServerSocketInfo(type), &image.header, image.data.data(),
                                    static_cast<uint32_t>(image.data.size())),
                kQeltOk);
      pelarin::StipUnlockRing(type);
    }
  }
  // Reads a raw client's stream until the server ends it; false at the deadline.
  static bool ReadToEnd(int fd) {
    const auto end = std::chrono::steady_clock::now() + kDeadline;
    uint8_t buffer[65536];
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
    return false;
  }
  // Reads a raw client's stream until image `last` (or the deadline); bytes of a packet not yet
  // whole wait for the next call.
  std::vector<Image> ReadUntil(int fd, uint32_t last) {
    std::vector<Image> images;
    const auto reached = [last](const std::vector<Image>& got) { return !got.empty() && got.back().header.frame_index == last; };
    if (!streamtest::ReadImages(fd, &unparsed_[fd], &images, reached, kDeadline)) ADD_FAILURE() << "malformed stream";
    return images;
  }

  Received received_;
  std::map<unsigned, uint16_t> port_;
  std::map<int, std::vector<uint8_t>> unparsed_;
};

TEST_F(StipStreamFixture, ClientsAtBothPortsReceiveEveryImageInOrderAsDecodableStreams) {
  StartClient(1, kServerNorbImage);
  StartClient(2, kServerYrdImage);
  StartClient(0, kServerNorbImage);  // channel 0 is served too
  ASSERT_TRUE(WaitReaders(kServerNorbImage, 2));
  ASSERT_TRUE(WaitReaders(kServerYrdImage, 1));
  constexpr uint32_t kImages = 30;
  for (uint32_t i = 1; i <= kImages; ++i) {
    Write(kStipImageTypeColor, i);
    Write(kStipImageTypeDisparity, i);
    for (int channel = 0; channel < 3; ++channel) ASSERT_TRUE(received_.WaitFor(channel, 2 * i)) << "channel " << channel << " image " << i << " got " << received_.Of(channel).size();
  }
  for (int channel = 0; channel < 3; ++channel) {
    const auto images = received_.Of(channel);
    size_t colour = 0;
    const auto stream = streamtest::CheckOrder(images, &colour);
    EXPECT_EQ(colour, kImages);
    EXPECT_EQ(images.size(), 2 * kImages);
    for (const auto& image : images) {
      if (image.header.image_type == kStipImageTypeDisparity) {
        ASSERT_EQ(image.data, std::vector<uint8_t>(kDisparityBytes, uint8_t(image.header.frame_index)));
      }
    }
    EXPECT_EQ(streamtest::ProbeFrames(stream, ("loopback-" + std::to_string(channel)).c_str()),
              static_cast<int>(kImages));
  }
}

TEST_F(StipStreamFixture, SlowClientLosesTheOldestImagesWhileTheFastOneGetsEvery) {
  StartClient(1, kServerNorbImage);
  const int slow = StartRawClient(kServerNorbImage, 16384);
  ASSERT_TRUE(WaitReaders(kServerNorbImage, 2));
  constexpr uint32_t kImages = 200;
  for (uint32_t i = 1; i <= kImages; ++i) {
    Write(kStipImageTypeDisparity, i);
    ASSERT_TRUE(received_.WaitFor(1, i));
  }
  const auto fast = received_.Of(1);
  size_t colour = 0;
  streamtest::CheckOrder(fast, &colour);
  EXPECT_EQ(fast.size(), kImages);
  // The slow client reads only now: it gets the newest image, in order, having lost older ones.
  const auto got = ReadUntil(slow, kImages);
  streamtest::CheckOrder(got, &colour);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().header.frame_index, kImages);
  EXPECT_LT(got.size(), kImages);
  close(slow);
}

TEST_F(StipStreamFixture, ClientKilledMidPacketDoesNotDisturbTheOthers) {
  StartClient(1, kServerNorbImage);
  const int doomed = StartRawClient(kServerNorbImage);
  ASSERT_TRUE(WaitReaders(kServerNorbImage, 2));
  Write(kStipImageTypeColor, 1);
  Write(kStipImageTypeDisparity, 1);  // the frame is whole: its colour image goes out
  ASSERT_TRUE(received_.WaitFor(1, 1));
  std::vector<uint8_t> part;
  ASSERT_TRUE(nettest::ReadExactly(doomed, 100, &part));
  const linger reset{1, 0};
  setsockopt(doomed, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(doomed);  // dies with its packet half read
  constexpr uint32_t kImages = 40;
  for (uint32_t i = 2; i <= kImages / 2; ++i) {
    Write(kStipImageTypeColor, i);
    Write(kStipImageTypeDisparity, i);
    ASSERT_TRUE(received_.WaitFor(1, 2 * i));
  }
  ASSERT_TRUE(WaitReaders(kServerNorbImage, 1)) << "the dead client is removed";
  size_t colour = 0;
  const auto stream = streamtest::CheckOrder(received_.Of(1), &colour);
  EXPECT_EQ(streamtest::ProbeFrames(stream, "survivor"), static_cast<int>(colour));
  // A new client is served as usual.
  const int next = StartRawClient(kServerNorbImage);
  ASSERT_TRUE(WaitReaders(kServerNorbImage, 2));
  Write(kStipImageTypeDisparity, kImages + 1);
  const auto got = ReadUntil(next, kImages + 1);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back().header.frame_index, kImages + 1);
  close(next);
}

// Eight connections on each image port that never ask for the stream leave both ports open: a
// client whose start request arrives cut inside its head streams both image types at once, and
// the quiet connections stay, each taking the stream when it asks for it.
TEST_F(StipStreamFixture, IdleConnectionsLeaveBothPortsOpen) {
  std::vector<int> idle;
  for (unsigned type : {kServerNorbImage, kServerYrdImage}) {
    for (uint32_t i = 0; i < kStipMaxClientsPerPort; ++i) idle.push_back(nettest::ConnectLoopback(port_[type]));
  }
  const auto start = streamtest::CtrlPacket(1, 1);
  std::map<unsigned, int> clients;
  for (unsigned type : {kServerNorbImage, kServerYrdImage}) {
    clients[type] = nettest::ConnectLoopback(port_[type]);
    ASSERT_TRUE(nettest::SendAll(clients[type], std::vector<uint8_t>(start.begin(), start.begin() + 4)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (unsigned type : {kServerNorbImage, kServerYrdImage}) {
    ASSERT_TRUE(nettest::SendAll(clients[type], std::vector<uint8_t>(start.begin() + 4, start.end())));
    ASSERT_TRUE(WaitReaders(type, 1));
  }
  Write(kStipImageTypeColor, 1);
  Write(kStipImageTypeDisparity, 1);
  std::map<unsigned, std::vector<Image>> got;
  for (unsigned type : {kServerNorbImage, kServerYrdImage}) got[type] = ReadUntil(clients[type], 1);
  Write(kStipImageTypeColor, 2);  // the reader stops at it, having had all of frame 1
  for (unsigned type : {kServerNorbImage, kServerYrdImage}) {
    const auto more = ReadUntil(clients[type], 2);
    got[type].insert(got[type].end(), more.begin(), more.end());
    ASSERT_GE(got[type].size(), 2u) << "port of server type " << type;
    EXPECT_EQ(got[type][0].header.image_type, kStipImageTypeColor);
    EXPECT_EQ(got[type][1].header.image_type, kStipImageTypeDisparity);
    EXPECT_EQ(got[type][1].header.frame_index, 1u);
  }
  const std::map<unsigned, int> late = {{kServerNorbImage, idle.front()}, {kServerYrdImage, idle.back()}};
  for (auto& [type, fd] : late) {
    ASSERT_TRUE(nettest::SendAll(fd, start));
    EXPECT_TRUE(WaitReaders(type, 2)) << "port of server type " << type;
  }
  for (int fd : idle) close(fd);
  for (auto& [type, fd] : clients) close(fd);
}

// A streaming client whose socket takes nothing is dropped once the bound has passed, and its
// place is free; a client that reads is served throughout.
TEST_F(StipStreamFixture, ClientThatTakesNothingIsDroppedAfterTheBound) {
  StartClient(1, kServerNorbImage);
  const auto start = std::chrono::steady_clock::now();
  const int stalled = StartRawClient(kServerNorbImage, 4096);
  ASSERT_TRUE(WaitReaders(kServerNorbImage, 2));
  uint32_t index = 0;
  const auto deadline = start + std::chrono::milliseconds(kSendStallMillis) + kDeadline;
  bool dropped = false;
  // The reading client gets each image long before the stalled one could be dropped: the server does
  // not wait on the stalled client. (Each image is waited for before the next is written: a reader that
  // falls a whole ring behind, as it may on a busy machine, skips ahead to what the ring still holds.)
  const auto well_within_the_bound = std::chrono::milliseconds(kSendStallMillis / 4);
  while (!dropped && std::chrono::steady_clock::now() < deadline) {
    Write(kStipImageTypeDisparity, ++index);
    ASSERT_TRUE(received_.WaitFor(1, index, well_within_the_bound)) << "the reading client waited for image " << index;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dropped = WaitReaders(kServerNorbImage, 1, std::chrono::milliseconds(0));
  }
  ASSERT_TRUE(dropped);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kSendStallMillis));
  // What the stalled client was sent ends where the server closed it.
  EXPECT_TRUE(ReadToEnd(stalled));
  close(stalled);
}

// A client flooding start and stop requests makes the server write a few lines a second of each
// kind; the lines left out are counted in the log.
TEST_F(StipStreamFixture, StartStopFloodWritesAFewLinesASecond) {
  nettest::LogCapture log;
  const auto begin = std::chrono::steady_clock::now();
  constexpr int kPairs = 1000;
  std::vector<uint8_t> flood;
  for (int i = 0; i < kPairs; ++i) {
    for (uint8_t command : {1, 2}) {
      const auto packet = streamtest::CtrlPacket(1, command);
      flood.insert(flood.end(), packet.begin(), packet.end());
    }
  }
  const int fd = nettest::ConnectLoopback(port_[kServerYrdImage]);
  ASSERT_TRUE(nettest::SendAll(fd, flood));
  const std::string kind = "[STIP] Receive ctrl image packet";
  const auto accounted = [&] {
    size_t lines = 0;
    for (const std::string& line : log.Lines()) {
      if (line.rfind(kind, 0) == 0) ++lines;
      const size_t quote = line.find("since the last \"" + kind);
      if (line.rfind("[QELTM]", 0) == 0 && quote != std::string::npos) lines += std::stoul(line.substr(7));
    }
    return lines;
  };
  ASSERT_TRUE(nettest::WaitUntil([&] { return accounted() == 2 * kPairs; }, kDeadline)) << accounted();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_LE(log.Count(kind), pelarin::kLimitedLinesPerWindow * (static_cast<size_t>(seconds) + 2));
  close(fd);
}

TEST_F(StipStreamFixture, ChannelChecksAndStoppingAChannelReturn) {
  EXPECT_EQ(STIPRegisterRecvImageFunc(OnImage, 3, nullptr), kQeltUnsupported);
  EXPECT_EQ(STIPProxyStreamChannelStart(3), kQeltUnsupported);
  EXPECT_EQ(STIPClientExist(kLoopback, 1), kQeltNoSuchSession);
  StartClient(0, kServerNorbImage);
  EXPECT_EQ(STIPClientExist(kLoopback, 0), kQeltSessionExists);
  EXPECT_EQ(STIPProxyStreamChannelStop(0), kQeltOk);  // returns: channel 0 has a thread serving it
  EXPECT_EQ(STIPClientCloseSession(kLoopback, 0), kQeltOk);
  EXPECT_EQ(STIPClientExist(kLoopback, 0), kQeltNoSuchSession);
  const CtrlImageRequest start{kStipRequest, kStipStart, 0, 3, 640, 480, 20};
  EXPECT_EQ(STIPClientSendCtrlImageMsg(kLoopback, &start, 0), kQeltNoSession);
}

}  // namespace

namespace {

// Without the receive thread nobody would answer the stop: it must not wait for one.
TEST(StipChannels, StoppingAChannelWithoutTheReceiveThreadReturns) {
  for (unsigned channel = 0; channel < kStipChannelCount; ++channel) {
    EXPECT_EQ(STIPProxyStreamChannelStart(channel), kQeltOk);
    EXPECT_EQ(STIPProxyStreamChannelStop(channel), kQeltOk);
  }
  EXPECT_EQ(STIPProxyStreamChannelStop(3), kQeltUnsupported);
}

}  // namespace
