// Seeded fuzzing of the image stream: mutated requests to the server's parser, a live image
// server flooded by hostile connections, and the client reassembly fed mutated streams.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>
#include <vector>

#include "net_helpers.h"
#include "pelarin/proxy.h"
#include "pelarin/stip.h"
#include "stip_reassembler.h"
#include "stream_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr unsigned kSeed = 20261208;
constexpr int kPackets = 20000;

// Valid requests and images, then flipped bytes, cut lengths, forged length words and element types.
Bytes Mutated(std::mt19937* rng) {
  Bytes p;
  switch ((*rng)() % 3) {
    case 0:
      p = streamtest::CtrlPacket(static_cast<uint8_t>((*rng)() % 4), static_cast<uint8_t>((*rng)() % 4));
      break;
    case 1: {
      ImagePara h{};
      h.image_type = (*rng)() % 7;
      p = streamtest::ImagePacket(h, Bytes((*rng)() % 300, 9));
      break;
    }
    default:
      p.resize((*rng)() % 200);
      for (auto& b : p) b = static_cast<uint8_t>((*rng)());
      return p;
  }
  const int edits = static_cast<int>((*rng)() % 4);
  for (int e = 0; e < edits && !p.empty(); ++e) {
    switch ((*rng)() % 4) {
      case 0:
        p[(*rng)() % p.size()] ^= static_cast<uint8_t>(1 + (*rng)() % 255);
        break;
      case 1:
        p.resize((*rng)() % p.size());
        break;
      case 2:
        if (p.size() > 12) {
          const uint32_t forged = (*rng)() % 2 ? 0xFFFFFFFBu : (*rng)();
          for (int k = 0; k < 4; ++k) p[9 + k] = static_cast<uint8_t>(forged >> (24 - 8 * k));
        }
        break;
      default:
        if (p.size() > 8) p[8] = static_cast<uint8_t>((*rng)());
        break;
    }
  }
  return p;
}

TEST(StipFuzz, ServerParserSurvivesMutatedRequests) {
  nettest::LogCapture log;
  ASSERT_EQ(STIPInit(kStipServerMode, 0.0), kQeltOk);
  ASSERT_EQ(STIPServerCreateSession("127.0.0.1", 0, kServerNorbImage), kQeltOk);
  const int server_fd = STIPServerGetSocketFD(kServerNorbImage);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
  ASSERT_EQ(STIPServerAddClient(server_fd, pair[0], kServerNorbImage), kQeltOk);
  ClientSlot* slot = SocketGetClientFDInfo(GetServerSocketInfo(kServerNorbImage), pair[0]);
  std::mt19937 rng(kSeed);
  uint8_t sink[65536];
  ImagePara h{};
  h.image_type = kStipImageTypeDisparity;
  const Bytes image(333, 1);
  for (int i = 0; i < kPackets; ++i) {
    const Bytes p = Mutated(&rng);
    STIPAnalysisPacket(server_fd, pair[0], kServerNorbImage, p.data(), static_cast<uint32_t>(p.size()), 0);
    if (i % 7 == 0) STIPServerWriteImage(&h, image.data(), static_cast<unsigned>(image.size()));
    STIPServerSendProcess(slot, kServerNorbImage);
    while (recv(pair[1], sink, sizeof sink, 0) > 0) {
    }
    ASSERT_LE(STIPServerGetServerData(kServerNorbImage)->reader_count, 1u);
    if (i % 1000 == 0) log.Clear();
  }
  STIPUnInit();
  close(pair[1]);
}

TEST(StipFuzz, ClientReassemblySurvivesMutatedStreamsInRandomPieces) {
  nettest::LogCapture log;
  std::mt19937 rng(kSeed + 1);
  for (int round = 0; round < 50; ++round) {
    Bytes stream;
    for (int k = 0; k < 40; ++k) {
      const Bytes p = Mutated(&rng);
      stream.insert(stream.end(), p.begin(), p.end());
    }
    ClientSession node{};
    STIPMallocInfoHeadFunc(&node);
    size_t images = 0;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(1 + rng() % 70000, stream.size() - at);
      pelarin::StipReassemble(
          &node, stream.data() + at, static_cast<uint32_t>(n),
          [](const ImagePara* h, const uint8_t*, uint32_t size, int, void* count) {
            EXPECT_EQ(h->data_size, size);
            ++*static_cast<size_t*>(count);
          },
          &images);
      at += n;
    }
    free(node.header);
    free(node.data);
    log.Clear();
  }
}

TEST(StipFuzz, LiveImageServerStillStreamsAfterAFlood) {
  nettest::LogCapture log;
  ASSERT_EQ(STIPInit(kStipServerMode, 0.0), kQeltOk);
  ASSERT_EQ(STIPServerCreateSession("127.0.0.1", 0, kServerYrdImage), kQeltOk);
  const uint16_t port = nettest::PortOf(STIPServerGetSocketFD(kServerYrdImage));
  ASSERT_EQ(ProxyThreadStart(kProxyYrdImage), kQeltOk);
  constexpr int kConnections = 8;
  std::vector<std::thread> senders;
  for (int c = 0; c < kConnections; ++c) {
    senders.emplace_back([port, c] {
      std::mt19937 rng(kSeed + 100 + c);
      int fd = nettest::ConnectLoopback(port);
      for (int i = 0; i < kPackets / kConnections; ++i) {
        if (fd < 0 || !nettest::SendAll(fd, Mutated(&rng)) || rng() % 300 == 0) {  // now and then hang up
          if (fd >= 0) close(fd);
          fd = nettest::ConnectLoopback(port);
        }
        uint8_t sink[65536];
        while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
      }
      if (fd >= 0) close(fd);
    });
  }
  ImagePara h{};
  h.image_type = kStipImageTypeDisparity;
  const Bytes image(1000, 3);
  for (int i = 0; i < 200; ++i) {
    h.frame_index = static_cast<uint32_t>(i);
    STIPServerWriteImage(&h, image.data(), static_cast<unsigned>(image.size()));
    usleep(1000);
  }
  for (auto& s : senders) s.join();
  log.Clear();
  // A well-behaved client is still served.
  const int client = nettest::ConnectLoopback(port);
  ASSERT_TRUE(nettest::SendAll(client, streamtest::CtrlPacket(1, 1, 5)));
  Bytes ack;
  ASSERT_TRUE(nettest::ReadExactly(client, 25, &ack));
  EXPECT_EQ(ack[13], 2) << "an acknowledgement";
  h.frame_index = 1000;
  // The write gives up when the sending thread holds the ring a moment too long; one that is taken
  // reaches every reader that has been acknowledged.
  ASSERT_TRUE(nettest::WaitUntil(
      [&] { return STIPServerWriteImage(&h, image.data(), static_cast<unsigned>(image.size())) == kQeltOk; }));
  Bytes got;
  ASSERT_TRUE(nettest::ReadExactly(client, 41 + image.size(), &got));
  EXPECT_TRUE(std::equal(image.begin(), image.end(), got.begin() + 41));
  close(client);
  StopYRDImageProxyProcess();
  STIPUnInit();
}

}  // namespace
