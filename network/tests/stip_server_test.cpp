// Image stream server driven pass by pass over socket pairs: control requests, acknowledgements,
// the one outgoing packet per client, per-client colour streams and untrusted requests.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <vector>

#include "net_helpers.h"
#include "pelarin/proxy.h"
#include "pelarin/stip.h"
#include "stream_wire.h"

namespace {

using streamtest::Image;

constexpr uint32_t kColorBytes = 640 * 480 * 3 / 2;

class StipServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(STIPInit(kStipServerMode, 0.0), kQeltOk);
    for (unsigned type : {kServerYrdImage, kServerNorbImage}) {
      ASSERT_EQ(STIPServerCreateSession("127.0.0.1", 0, type), kQeltOk);
    }
  }
  void TearDown() override {
    STIPUnInit();  // closes the server ends
    for (int fd : test_ends_) close(fd);
  }

  // A connected client of `type`: returns the test's end of the pair.
  int Connect(unsigned type = kServerNorbImage) {
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    fcntl(pair[0], F_SETFL, O_NONBLOCK);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    EXPECT_EQ(STIPServerAddClient(STIPServerGetSocketFD(type), pair[0], type), kQeltOk);
    server_end_[pair[1]] = pair[0];
    test_ends_.push_back(pair[1]);
    return pair[1];
  }
  int ServerEnd(int test_end) { return server_end_[test_end]; }
  ClientSlot* Slot(int test_end, unsigned type = kServerNorbImage) {
    return SocketGetClientFDInfo(GetServerSocketInfo(type), ServerEnd(test_end));
  }
  StipClientState* Client(int test_end, unsigned type = kServerNorbImage) {
    return STIPServerGetClientData(STIPServerGetSocketFD(type), ServerEnd(test_end), type);
  }
  int Request(int test_end, const std::vector<uint8_t>& bytes, unsigned type = kServerNorbImage) {
    return STIPAnalysisPacket(STIPServerGetSocketFD(type), ServerEnd(test_end), type, bytes.data(),
                              static_cast<uint32_t>(bytes.size()), 0);
  }
  void Pass(int test_end, unsigned type = kServerNorbImage) {
    EXPECT_EQ(STIPServerSendProcess(Slot(test_end, type), type), kQeltOk);
  }
  static std::vector<uint8_t> Drain(int fd) {
    std::vector<uint8_t> bytes;
    uint8_t buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
    return bytes;
  }
  static void WriteImage(uint32_t type, uint32_t index, uint32_t size) {
    const Image image = streamtest::TestImage(type, index, size);
    ASSERT_EQ(STIPServerWriteImage(&image.header, image.data.data(), size), kQeltOk);
  }
  // A frame: a colour image of `colour_size` bytes, then a small disparity image; two passes
  // send both.
  void WriteFrameAndPass(int test_end, uint32_t index, uint32_t colour_size) {
    WriteImage(kStipImageTypeColor, index, colour_size);
    WriteImage(kStipImageTypeDisparity, index, kFrameDisparityBytes);
    Pass(test_end);
    Pass(test_end);
  }
  static std::vector<Image> ColourOnly(const std::vector<Image>& images) {
    std::vector<Image> colour;
    for (const auto& image : images) {
      if (image.header.image_type == kStipImageTypeColor) colour.push_back(image);
    }
    return colour;
  }
  static constexpr uint32_t kFrameDisparityBytes = 64;
  // Everything sent to a client so far, parsed; the test fails on a malformed stream.
  static std::vector<Image> Received(int test_end, size_t* acks = nullptr) {
    std::vector<Image> images;
    size_t count = 0;
    EXPECT_TRUE(streamtest::ParseStream(Drain(test_end), &images, &count));
    if (acks != nullptr) *acks = count;
    return images;
  }
  static ImageRing* Ring(unsigned type = kServerNorbImage) { return STIPServerGetServerData(type); }

  std::map<int, int> server_end_;
  std::vector<int> test_ends_;
};

TEST_F(StipServerFixture, StartIsAcknowledgedFirstThenOneImagePerPassWhileNewOnesExist) {
  const int t = Connect();
  ASSERT_EQ(Request(t, streamtest::CtrlPacket(1, 1, 5, 240, 320, 20)), kQeltOk);
  WriteImage(kStipImageTypeDisparity, 1, 501);
  Pass(t);
  size_t acks = 0;
  std::vector<Image> images = Received(t, &acks);
  EXPECT_EQ(acks, 1u);
  EXPECT_TRUE(images.empty()) << "no image in the acknowledgement's pass";
  Pass(t);
  Pass(t);  // nothing new: nothing sent
  WriteImage(kStipImageTypeDisparity, 2, 503);
  Pass(t);
  images = Received(t);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].header.frame_index, 1u);
  EXPECT_EQ(images[0].data, std::vector<uint8_t>(501, 1));
  EXPECT_EQ(images[1].header.frame_index, 2u);
  EXPECT_EQ(images[1].header.data_size, 503u);
}

TEST_F(StipServerFixture, ReaderCountFollowsStartsAndStopsOnce) {
  const int a = Connect();
  const int b = Connect();
  Request(a, streamtest::CtrlPacket(1, 2));  // stop without a start
  EXPECT_EQ(Ring()->reader_count, 0u);
  Request(a, streamtest::CtrlPacket(1, 1));
  Request(a, streamtest::CtrlPacket(1, 1));  // repeated start
  EXPECT_EQ(Ring()->reader_count, 1u);
  EXPECT_EQ(Client(a)->pending_acks, 2u);
  Request(b, streamtest::CtrlPacket(1, 1));
  EXPECT_EQ(Ring()->reader_count, 2u);
  Request(a, streamtest::CtrlPacket(1, 2));
  EXPECT_EQ(Ring()->reader_count, 1u);
  EXPECT_EQ(Client(a)->state, kStipStopped);
  EXPECT_EQ(Client(a)->pending_acks, 0u);
  // Removing a streaming client gives its reader back.
  EXPECT_EQ(STIPServerRemoveClient(STIPServerGetSocketFD(kServerNorbImage), ServerEnd(b), kServerNorbImage), kQeltOk);
  EXPECT_EQ(Ring()->reader_count, 0u);
  EXPECT_EQ(STIPServerRemoveClient(STIPServerGetSocketFD(kServerNorbImage), ServerEnd(b), kServerNorbImage),
            kQeltClientFailed);
}

TEST_F(StipServerFixture, UntrustedRequestsAreDroppedWithoutEffect) {
  const int t = Connect();
  auto huge = streamtest::CtrlPacket(1, 1);
  huge[9] = 0xFF, huge[10] = 0xFF, huge[11] = 0xFF, huge[12] = 0xFB;  // declared length 0xFFFFFFFB
  EXPECT_NE(Request(t, huge), kQeltOk);
  auto image = streamtest::ImagePacket(ImagePara{}, std::vector<uint8_t>(10, 1));  // type 6 to a server
  EXPECT_EQ(Request(t, image), kQeltOk);
  auto long_value = streamtest::CtrlPacket(1, 1);
  long_value[12] = 13;
  long_value.push_back(0);
  EXPECT_NE(Request(t, long_value), kQeltOk);
  auto invalid = streamtest::CtrlPacket(1, 1);
  invalid[8] = 71;
  EXPECT_EQ(Request(t, invalid), kQeltBadElementType);
  auto cut = streamtest::CtrlPacket(1, 1);
  cut.resize(cut.size() - 3);
  EXPECT_NE(Request(t, cut), kQeltOk);
  std::vector<uint8_t> head_only(cut.begin(), cut.begin() + 8);
  EXPECT_NE(Request(t, head_only), kQeltOk);
  EXPECT_EQ(Ring()->reader_count, 0u);
  EXPECT_EQ(Client(t)->state, kStipConnected);
  // Two requests in one receive are both handled.
  auto two = streamtest::CtrlPacket(1, 1);
  const auto stop = streamtest::CtrlPacket(1, 2);
  two.insert(two.end(), stop.begin(), stop.end());
  EXPECT_EQ(Request(t, two), kQeltOk);
  EXPECT_EQ(Client(t)->state, kStipStopped);
}

TEST_F(StipServerFixture, PartlySentPacketResumesAtItsOffsetBeforeAnythingNew) {
  const int t = Connect();
  const int small = 4096;
  setsockopt(ServerEnd(t), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  Request(t, streamtest::CtrlPacket(1, 1, 5));
  Request(t, streamtest::CtrlPacket(1, 1, 5));  // a second acknowledgement queued behind
  std::vector<uint8_t> received;
  Pass(t);  // first acknowledgement
  WriteImage(kStipImageTypeDisparity, 1, 300001);
  int passes = 0;
  for (; passes < 10000; ++passes) {
    Pass(t);
    if (passes == 3) WriteImage(kStipImageTypeDisparity, 2, 77);  // arrives while image 1 is going out
    const auto got = Drain(t);
    received.insert(received.end(), got.begin(), got.end());
    std::vector<Image> images;
    size_t acks = 0;
    if (streamtest::ParseStream(received, &images, &acks) && images.size() == 2) break;
  }
  std::vector<Image> images;
  size_t acks = 0;
  ASSERT_TRUE(streamtest::ParseStream(received, &images, &acks));
  EXPECT_GT(passes, 3) << "the large packet needed several passes";
  EXPECT_EQ(acks, 2u);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].data, std::vector<uint8_t>(300001, 1));
  EXPECT_EQ(images[1].data, std::vector<uint8_t>(77, 2));
}

// The cap counts streaming clients only: connections that stream nothing leave the port open.
// At the cap a newcomer is refused and a start request closes its connection; a stream stopped
// frees its place for the next start.
TEST_F(StipServerFixture, CapCountsStreamingClientsOnly) {
  std::vector<int> idle;
  for (uint32_t i = 0; i < kStipMaxClientsPerPort; ++i) idle.push_back(Connect());
  std::vector<int> streaming;
  for (uint32_t i = 0; i < kStipMaxClientsPerPort; ++i) {
    streaming.push_back(Connect());
    ASSERT_EQ(Request(streaming.back(), streamtest::CtrlPacket(1, 1)), kQeltOk);
  }
  EXPECT_EQ(Ring()->reader_count, kStipMaxClientsPerPort);
  int extra[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, extra), 0);
  server_end_[extra[1]] = extra[0];
  test_ends_.push_back(extra[1]);
  const int server_fd = STIPServerGetSocketFD(kServerNorbImage);
  EXPECT_EQ(STIPServerAddClient(server_fd, extra[0], kServerNorbImage), kQeltServerFull);
  EXPECT_EQ(Request(idle[0], streamtest::CtrlPacket(1, 1)), kQeltOk);
  EXPECT_EQ(Slot(idle[0]), nullptr) << "a start beyond the cap closes the connection";
  EXPECT_EQ(Ring()->reader_count, kStipMaxClientsPerPort);
  Connect(kServerYrdImage);  // the other port counts its own clients
  ASSERT_EQ(Request(streaming[0], streamtest::CtrlPacket(1, 2)), kQeltOk);
  EXPECT_EQ(STIPServerAddClient(server_fd, extra[0], kServerNorbImage), kQeltOk);
  EXPECT_EQ(Request(idle[1], streamtest::CtrlPacket(1, 1)), kQeltOk);
  EXPECT_EQ(Client(idle[1])->state, kStipStreaming);
  EXPECT_EQ(Ring()->reader_count, kStipMaxClientsPerPort);
}

// A port streaming to its cap whose clients hung up before any pass saw them close makes room for
// a newcomer instead of refusing it; a client that hung up with bytes unread and a live one stay.
TEST_F(StipServerFixture, FullPortMakesRoomFromClientsThatAlreadyHungUp) {
  std::vector<int> ends;
  for (uint32_t i = 0; i < kStipMaxClientsPerPort; ++i) {
    ends.push_back(Connect());
    ASSERT_EQ(Request(ends.back(), streamtest::CtrlPacket(1, 1)), kQeltOk);
  }
  for (int i : {0, 1}) {
    close(ends[i]);
    std::replace(test_ends_.begin(), test_ends_.end(), ends[i], -1);
  }
  const uint8_t unread = 7;
  ASSERT_EQ(write(ends[2], &unread, 1), 1);
  close(ends[2]);
  std::replace(test_ends_.begin(), test_ends_.end(), ends[2], -1);
  const int server_fd = STIPServerGetSocketFD(kServerNorbImage);
  const int newcomer = nettest::ConnectLoopback(nettest::PortOf(server_fd));
  ASSERT_GE(newcomer, 0);
  int max_fd = 0;
  EXPECT_EQ(NewClientProcess(server_fd, kServerNorbImage, &max_fd), kQeltOk);
  EXPECT_EQ(GetServerSocketInfo(kServerNorbImage)->client_count, kStipMaxClientsPerPort - 1);
  EXPECT_NE(Slot(ends[2]), nullptr) << "its bytes are the receive step's to read";
  EXPECT_NE(Slot(ends[3]), nullptr);
  EXPECT_EQ(Slot(ends[0]), nullptr);
  close(newcomer);
}

TEST_F(StipServerFixture, EveryClientGetsItsOwnDecodableColourStream) {
  const int a = Connect();
  Request(a, streamtest::CtrlPacket(1, 1));
  Pass(a);
  const int b = Connect();
  std::vector<uint8_t> bytes_a, bytes_b;
  std::vector<Image> images_a, images_b;
  size_t acks = 0;
  constexpr uint32_t kImages = 25;
  for (uint32_t i = 1; i <= kImages; ++i) {
    if (i == 9) {  // b starts late: its stream must open with its own IDR and SPS/PPS
      Request(b, streamtest::CtrlPacket(1, 1));
      Pass(b);
    }
    WriteImage(kStipImageTypeColor, i, kColorBytes);
    WriteImage(kStipImageTypeDisparity, i, 240 * 320 * 2);
    for (int round = 0; round < 3; ++round) {
      Pass(a);
      if (i >= 9) Pass(b);
      const auto got_a = Drain(a);
      const auto got_b = Drain(b);
      bytes_a.insert(bytes_a.end(), got_a.begin(), got_a.end());
      bytes_b.insert(bytes_b.end(), got_b.begin(), got_b.end());
    }
  }
  ASSERT_TRUE(streamtest::ParseStream(bytes_a, &images_a, &acks));
  ASSERT_TRUE(streamtest::ParseStream(bytes_b, &images_b, &acks));
  // Each type in order; the colour data joined is the client's H.264 stream.
  size_t colour_a = 0, colour_b = 0;
  const std::vector<uint8_t> stream_a = streamtest::CheckOrder(images_a, &colour_a);
  const std::vector<uint8_t> stream_b = streamtest::CheckOrder(images_b, &colour_b);
  EXPECT_EQ(colour_a, kImages);
  EXPECT_EQ(colour_b, kImages - 8);
  ASSERT_GT(stream_b.size(), 5u);
  EXPECT_EQ(stream_b[4] & 0x1f, 7) << "a late client's stream opens with its SPS";
  EXPECT_EQ(streamtest::ProbeFrames(stream_a, "client-a"), static_cast<int>(colour_a));
  EXPECT_EQ(streamtest::ProbeFrames(stream_b, "client-b"), static_cast<int>(colour_b));
}

TEST_F(StipServerFixture, ColourImageOfAnotherSizeIsDroppedAndTheNextStartsAnIdr) {
  const int t = Connect();
  Request(t, streamtest::CtrlPacket(1, 1));
  Pass(t);
  WriteFrameAndPass(t, 1, kColorBytes);
  WriteFrameAndPass(t, 2, kColorBytes + 640);  // larger than the encoder's frame
  WriteFrameAndPass(t, 3, kColorBytes);
  const std::vector<Image> images = ColourOnly(Received(t));
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].header.frame_index, 1u);
  EXPECT_EQ(images[1].header.frame_index, 3u);
  EXPECT_EQ(images[1].data[4] & 0x1f, 7) << "after a drop the stream restarts with SPS/PPS and an IDR";
  std::vector<uint8_t> stream;
  for (const auto& image : images) stream.insert(stream.end(), image.data.begin(), image.data.end());
  EXPECT_EQ(streamtest::ProbeFrames(stream, "dropped"), 2);
}

TEST_F(StipServerFixture, StoppedClientGetsNothingAndARestartOpensAFreshStream) {
  const int t = Connect();
  Request(t, streamtest::CtrlPacket(1, 1));
  Pass(t);
  WriteFrameAndPass(t, 1, kColorBytes);
  WriteFrameAndPass(t, 2, kColorBytes);
  Request(t, streamtest::CtrlPacket(1, 2));
  WriteFrameAndPass(t, 3, kColorBytes);
  Request(t, streamtest::CtrlPacket(1, 1));
  Pass(t);
  Pass(t);  // frame 3 was written before the restart: not sent
  WriteFrameAndPass(t, 4, kColorBytes);
  size_t acks = 0;
  const std::vector<Image> images = ColourOnly(Received(t, &acks));
  EXPECT_EQ(acks, 2u);
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[2].header.frame_index, 4u) << "the first image written after the restart";
  EXPECT_EQ(images[2].data[4] & 0x1f, 7) << "SPS first: a new stream";
}

// Clients coming and going leave no live heap behind: each one's encoder, image copy, packet and
// receive buffers go with it. Counted by the allocator, so not under a sanitizer, whose allocator
// this count does not see.
TEST_F(StipServerFixture, ClientsComingAndGoingLeaveNoLiveHeapBehind) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's allocator is not counted by mallinfo2";
#endif
  const auto live = [] {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>(m.uordblks + m.hblkhd);
  };
  constexpr int kWarmUpRounds = 3, kRounds = 20, kClientsPerRound = 4;
  // The allocator's per-thread caches count as in use and fill up over the first rounds (about
  // 20 kB here); one client's buffers and encoder are megabytes, so any one of them left behind,
  // or a record of 1 kB per client, goes far beyond this.
  constexpr long kAllowedBytes = 64 * 1024;
  uint32_t frame = 0;
  long before = 0;
  for (int round = 0; round < kWarmUpRounds + kRounds; ++round) {
    if (round == kWarmUpRounds) before = live();
    std::vector<int> clients;
    for (int c = 0; c < kClientsPerRound; ++c) {
      clients.push_back(Connect());
      ASSERT_EQ(Request(clients.back(), streamtest::CtrlPacket(1, 1, 3, 640, 480, 20)), kQeltOk);
    }
    for (int f = 0; f < 3; ++f) {
      ++frame;
      WriteImage(kStipImageTypeColor, frame, kColorBytes);
      WriteImage(kStipImageTypeDisparity, frame, kFrameDisparityBytes);
      for (int pass = 0; pass < 3; ++pass) {
        for (int t : clients) Pass(t);
      }
      for (int t : clients) Drain(t);
    }
    for (int t : clients) {
      ASSERT_EQ(STIPServerRemoveClient(STIPServerGetSocketFD(kServerNorbImage), ServerEnd(t), kServerNorbImage),
                kQeltOk);
      close(t);
      test_ends_.erase(std::find(test_ends_.begin(), test_ends_.end(), t));
    }
  }
  EXPECT_LT(live() - before, kAllowedBytes) << "after " << kRounds << " rounds of " << kClientsPerRound << " clients";
}

}  // namespace
