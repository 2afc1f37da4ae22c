// Service interface: role init and uninit (no thread or port left behind, init again), the
// camera role on loopback answering control requests and streaming images to a client.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "net_helpers.h"
#include "pelarin/qeltm.h"

namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr uint32_t kDisparityWidth = 240;
constexpr uint32_t kDisparityHeight = 320;
constexpr uint32_t kDisparityBytes = kDisparityWidth * kDisparityHeight * 2;

size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}
size_t ThreadCount() { return CountEntries("/proc/self/task"); }
size_t OpenFdCount() { return CountEntries("/proc/self/fd"); }

using nettest::PortOf;


tagNetworkInitPara CameraRecord() {
  tagNetworkInitPara p{};
  p.device_type = kDeviceZuq;
  strcpy(p.server_ip, kLoopback);
  strcpy(p.local_ip, kLoopback);
  strcpy(p.serial_number, "SN-TEST");
  return p;  // every port 0: the system chooses
}

int CameraControl(const char* payload, int, void*, tagACKMsgPara* reply) {
  uint32_t command;
  GetUint32Value(reinterpret_cast<const uint8_t*>(payload) + 4, &command);
  switch (command) {
    case kCmdGetVersion: return QeltReplyVersion(reply, 0, QELTMVersion, strlen(QELTMVersion));
    case kCmdGetZuqDirection: return QeltReplyGetZuqDirection(reply, 0, 2);
    case kCmdSetSystemTime: return QeltReplySetSystemTime(reply, 0, 1, 2, 3);
    default: return QeltCommonReply1(reply, command, kQeltUnsupported);
  }
}

struct Received {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<uint32_t> frames;
};

int OnImage(const ImagePara* header, const uint8_t* data, uint32_t size, void* context, int) {
  Received* r = static_cast<Received*>(context);
  const bool intact = size == kDisparityBytes && data[0] == uint8_t(header->frame_index) &&
                      data[size - 1] == uint8_t(header->frame_index);
  std::lock_guard<std::mutex> guard(r->lock);
  r->frames.push_back(intact ? header->frame_index : 0xFFFFFFFF);
  r->changed.notify_all();
  return 0;
}

TEST(ServiceInit, UnknownDeviceTypeIsRefusedAndTheRecordStillCopied) {
  tagNetworkInitPara p = CameraRecord();
  p.device_type = 3;
  EXPECT_EQ(kQeltUnknownDevice, QELTMInit(&p));
  EXPECT_EQ(3, QeltmParaCfg.device_type);
  EXPECT_STREQ("SN-TEST", QeltmParaCfg.serial_number);
  EXPECT_EQ(kQeltOk, QELTMUnInit());
}

TEST(ServiceInit, ArgumentChecks) {
  EXPECT_EQ(kQeltNullArgument, QELTMInit(nullptr));
  EXPECT_STREQ("2.1.213002", QELTMGetVersion());
  ImagePara header{};
  uint8_t byte = 0;
  EXPECT_EQ(kQeltNullArgument, QELTMSendImage(&header, nullptr, 1));
  EXPECT_EQ(kQeltNullArgument, QELTMSendImage(nullptr, &byte, 1));
  EXPECT_EQ(kQeltNullArgument, QELTMRegisterRecvCtrlMsg(nullptr, nullptr));
  EXPECT_EQ(kQeltNullArgument, QELTMRegisterNotifyDeviceFunc(nullptr));
  QELTMDisconnectZUQ(nullptr);  // nothing happens
  QELTMDisconnectNORB(nullptr);
}

TEST(ServiceInit, AddressWithoutTerminatorIsRefused) {
  tagNetworkInitPara p = CameraRecord();
  memset(p.server_ip, '1', sizeof(p.server_ip));
  EXPECT_EQ(kQeltBadAddress, QELTMInit(&p));
  PeerRecord peer{};
  memset(peer.ip, '1', sizeof(peer.ip));
  EXPECT_EQ(kQeltBadAddress, QELTMConnectZUQ(&peer));
  EXPECT_EQ(kQeltBadAddress, QELTMConnectSTOP(&peer));
}

// A role's start raises the process's descriptor limit as far as the hard limit allows, so that
// its servers' places follow what the process may really hold. The image-client role, which runs
// no server, leaves its host's limit alone.
TEST(ServiceInit, StartRaisesTheDescriptorLimitTowardsTheHardOne) {
  rlimit limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, kDescriptorLimitWanted);
  if (wanted <= 256) GTEST_SKIP() << "the hard descriptor limit is too low to see a raise";
  limit.rlim_cur = 256;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  tagNetworkInitPara p = CameraRecord();
  ASSERT_EQ(kQeltOk, QELTMInit(&p));
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  EXPECT_EQ(wanted, limit.rlim_cur);
  EXPECT_EQ(3u, SocketServersRunning());
  QELTMUnInit();
  EXPECT_EQ(0u, SocketServersRunning());

  limit.rlim_cur = 256;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
  p.device_type = kDeviceYrd;
  ASSERT_EQ(kQeltOk, QELTMInit(&p));
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  EXPECT_EQ(256u, limit.rlim_cur);
  QELTMUnInit();
}

TEST(ServiceInit, PassageUnitWithSkipOpensNothing) {
  const size_t fds = OpenFdCount(), threads = ThreadCount();
  tagNetworkInitPara p = CameraRecord();
  p.device_type = kDeviceNorb;
  p.skip_init = 1;
  EXPECT_EQ(kQeltOk, QELTMInit(&p));
  EXPECT_EQ(fds, OpenFdCount());
  EXPECT_EQ(threads, ThreadCount());
  EXPECT_EQ(kDeviceNorb, QeltmParaCfg.device_type);
  QELTMUnInit();
}

TEST(ServiceInit, SecondInitWhileARoleRunsIsRefusedAndTheRoleKeepsServing) {
  tagNetworkInitPara p = CameraRecord();
  ASSERT_EQ(kQeltOk, QELTMInit(&p));
  int fd = 0;
  ASSERT_EQ(kQeltOk, SCDPServerGetSocketFD(&fd));
  const uint16_t ctrl_port = PortOf(fd);
  EXPECT_EQ(kQeltAlready, QELTMInit(&p));
  const int client = nettest::ConnectLoopback(ctrl_port);
  EXPECT_GE(client, 0);  // the running role still accepts
  if (client >= 0) close(client);
  QELTMUnInit();
}

TEST(ServiceInit, UninitLeavesNoThreadNoPortAndInitWorksAgain) {
  // The counts are taken after a first round, so threads and descriptors that the runtime creates
  // once on first use (a sanitizer's own thread, the encoder library's) do not count as leaks;
  // anything a round leaves behind still grows the count round after round.
  std::set<int> threads;
  size_t fds = 0;
  for (int round = 0; round < 4; ++round) {
    tagNetworkInitPara p = CameraRecord();
    ASSERT_EQ(kQeltOk, QELTMInit(&p)) << round;
    ASSERT_EQ(kQeltOk, QELTMSignalInit());
    if (round > 0) {
      EXPECT_GT(nettest::ThreadIds().size(), threads.size());
    }
    int fd = 0;
    ASSERT_EQ(kQeltOk, SCDPServerGetSocketFD(&fd));
    const uint16_t ports[] = {PortOf(fd), PortOf(STIPServerGetSocketFD(kServerNorbImage)),
                              PortOf(STIPServerGetSocketFD(kServerYrdImage))};
    EXPECT_EQ(kQeltOk, QELTMUnInit());
    if (round == 0) {
      threads = nettest::ThreadIds();
      fds = OpenFdCount();
    }
    EXPECT_TRUE(nettest::NoThreadBeyond(threads)) << round;
    EXPECT_EQ(fds, OpenFdCount()) << round;
    for (const uint16_t port : ports) EXPECT_TRUE(test_support::PortFree(SOCK_STREAM, port, kLoopback, true)) << port;
  }
}

// The camera role on loopback, and a client in the same process using the client calls.
class CameraRole : public ::testing::Test {
 protected:
  void SetUp() override {
    tagNetworkInitPara p = CameraRecord();
    ASSERT_EQ(kQeltOk, QELTMInit(&p));
    int fd = 0;
    ASSERT_EQ(kQeltOk, SCDPServerGetSocketFD(&fd));
    peer_ = PeerRecord{};
    strcpy(peer_.ip, kLoopback);
    peer_.port_a = PortOf(STIPServerGetSocketFD(kServerYrdImage));
    peer_.port_b = PortOf(fd);
    peer_.channel = 1;
    // The image-client side beside the camera role.
    ASSERT_EQ(kQeltOk, STIPInit(2, 0.0));
    ASSERT_EQ(kQeltOk, SCDPInit(kScdpClientMode));
    // Init clears the control callback: register it once both sides are set up.
    ASSERT_EQ(kQeltOk, QELTMRegisterRecvCtrlMsg(CameraControl, nullptr));
    ASSERT_EQ(kQeltOk, QELTMRegisterRecvImageFunc(OnImage, peer_.channel, &received_));
  }
  void TearDown() override { QELTMUnInit(); }
  // Asks for the disparity stream and writes images until three arrived, whole and in order.
  void StartStreamAndExpectImages() {
    const CtrlImageRequest start{kStipRequest, kStipStart, 0, kStipImageTypeDisparity, kDisparityWidth,
                                 kDisparityHeight, 20};
    ASSERT_EQ(kQeltOk, QELTMSendCtrlImageMsg(kLoopback, &start, peer_.channel));
    // The stream starts when the server has seen the request: send until frames arrive.
    uint32_t frame = 1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      ImagePara h{};
      h.image_type = kStipImageTypeDisparity;
      h.frame_index = frame;
      h.width = kDisparityWidth;
      h.height = kDisparityHeight;
      const std::vector<uint8_t> data(kDisparityBytes, uint8_t(frame));
      QELTMSendImage(&h, data.data(), kDisparityBytes);
      ++frame;
      std::unique_lock<std::mutex> guard(received_.lock);
      if (received_.changed.wait_for(guard, std::chrono::milliseconds(50), [&] { return received_.frames.size() >= 3; })) break;
    }
    std::lock_guard<std::mutex> guard(received_.lock);
    ASSERT_GE(received_.frames.size(), 3u);
    for (size_t i = 0; i < received_.frames.size(); ++i) {
      EXPECT_NE(0xFFFFFFFFu, received_.frames[i]) << "image " << i << " arrived damaged";
      if (i > 0) {
        EXPECT_GT(received_.frames[i], received_.frames[i - 1]);
      }
    }
  }
  PeerRecord peer_{};
  Received received_;
};

TEST_F(CameraRole, ControlRequestsAreAnsweredThroughTheBuilders) {
  ASSERT_EQ(kQeltOk, QELTMConnectZUQ(&peer_));
  EXPECT_EQ(kQeltSessionExists, QELTMConnectZUQExist(&peer_));
  char version[16] = {};
  ASSERT_EQ(kQeltOk, QeltGetVersion(kLoopback, version, sizeof(version)));
  EXPECT_STREQ("2.1.213002", version);
  unsigned direction = 0, r1 = 0, r2 = 0;
  ASSERT_EQ(kQeltOk, QeltGetZuqDirection(kLoopback, &direction));
  EXPECT_EQ(2u, direction);
  ASSERT_EQ(kQeltOk, QeltSetSystemTime(kLoopback, 1, 1700000000, 0, &r1, &r2));
  EXPECT_EQ(2u, r1);
  EXPECT_EQ(3u, r2);
  EXPECT_EQ(kQeltUnsupported, QeltControlNorbFlap(kLoopback, 1));
  QELTMDisconnectZUQ(&peer_);
  EXPECT_EQ(kQeltNoSuchSession, QELTMConnectZUQExist(&peer_));
}

TEST_F(CameraRole, ImagesSentByTheCameraReachTheClient) {
  ASSERT_EQ(kQeltOk, QELTMConnectZUQ(&peer_));
  StartStreamAndExpectImages();
}

// A session of the image client connects and keeps quiet past every bound of seconds that a
// quiet connection could meet (a stalled request on the control port is closed meanwhile); then
// its first control request is answered and its stream starts.
TEST_F(CameraRole, QuietSessionIsAnsweredAndStreamsWhenItFirstAsksLate) {
  ASSERT_EQ(kQeltOk, QELTMConnectZUQ(&peer_));
  const auto start = std::chrono::steady_clock::now();
  const int stalled = nettest::ConnectLoopback(peer_.port_b);
  ASSERT_GE(stalled, 0);
  const std::vector<uint8_t> request = nettest::Packet(kElementKeyValue, nettest::Words({1, kCmdGetVersion, 0}));
  ASSERT_TRUE(nettest::SendAll(stalled, std::vector<uint8_t>(request.begin(), request.begin() + 5)));
  EXPECT_TRUE(nettest::WaitClosedByPeer(stalled));
  close(stalled);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kRequestCompleteMillis));
  char version[16] = {};
  ASSERT_EQ(kQeltOk, QeltGetVersion(kLoopback, version, sizeof(version)));
  EXPECT_STREQ("2.1.213002", version);
  StartStreamAndExpectImages();
  QELTMDisconnectZUQ(&peer_);
}

}  // namespace

namespace {

TEST_F(CameraRole, InterruptClosesTheClientConnectionsOutsideTheHandler) {
  ASSERT_EQ(kQeltOk, QELTMSignalInit());
  ASSERT_EQ(kQeltOk, QELTMConnectZUQ(&peer_));
  ASSERT_EQ(kQeltSessionExists, SCDPClientExist(kLoopback));
  raise(SIGINT);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (SCDPClientExist(kLoopback) == kQeltSessionExists && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(kQeltNoSuchSession, SCDPClientExist(kLoopback));
  EXPECT_EQ(kQeltNoSuchSession, STIPClientExist(kLoopback, peer_.channel));
}

}  // namespace

namespace {

constexpr uint16_t kColourWidth = 640;
constexpr uint16_t kColourHeight = 480;
constexpr uint32_t kColourBytes = kColourWidth * kColourHeight * 3 / 2;  // planar YUV 4:2:0
constexpr int kPassageUnitChannel = 2;
constexpr size_t kWantedPerType = 3;
constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;

// NAL unit types of an H.264 byte stream, in order (4-byte and 3-byte start codes).
std::vector<uint8_t> NalTypes(const uint8_t* data, uint32_t size) {
  std::vector<uint8_t> types;
  for (uint32_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      types.push_back(data[i + 3] & kNalTypeMask);
      i += 2;
    }
  }
  return types;
}

// What one client received: per image its type, frame index and whether it arrived as sent.
struct StreamLog {
  struct Image {
    uint32_t type;
    uint32_t frame;
    bool intact;
    std::vector<uint8_t> nal_types;
  };
  std::mutex lock;
  std::vector<Image> images;
  size_t Count(uint32_t type) {
    std::lock_guard<std::mutex> guard(lock);
    return std::count_if(images.begin(), images.end(), [type](const Image& i) { return i.type == type; });
  }
};

int OnStreamImage(const ImagePara* header, const uint8_t* data, uint32_t size, void* context, int) {
  StreamLog* log = static_cast<StreamLog*>(context);
  StreamLog::Image image{header->image_type, header->frame_index, false, {}};
  if (header->image_type == kStipImageTypeDisparity) {
    image.intact = size == kDisparityBytes && data[0] == uint8_t(header->frame_index) &&
                   data[size - 1] == uint8_t(header->frame_index);
  } else {
    // Encoded colour: an H.264 byte stream with at least one slice, its size as the header says.
    image.nal_types = NalTypes(data, size);
    image.intact = size == header->data_size && size > 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 &&
                   data[3] == 1 && !image.nal_types.empty();
  }
  std::lock_guard<std::mutex> guard(log->lock);
  log->images.push_back(std::move(image));
  return 0;
}

void CheckStream(StreamLog& log, const char* who) {
  std::lock_guard<std::mutex> guard(log.lock);
  std::map<uint32_t, uint32_t> last_frame;
  bool first_colour = true;
  for (const StreamLog::Image& image : log.images) {
    EXPECT_TRUE(image.intact) << who << ": image " << image.frame << " of type " << image.type << " damaged";
    EXPECT_GT(image.frame, last_frame[image.type]) << who;
    last_frame[image.type] = image.frame;
    if (image.type == kStipImageTypeColor && first_colour) {
      // A client's first colour image starts its decoder: parameter sets and an IDR picture.
      const auto& t = image.nal_types;
      EXPECT_NE(std::find(t.begin(), t.end(), kNalSps), t.end()) << who;
      EXPECT_NE(std::find(t.begin(), t.end(), kNalIdr), t.end()) << who;
      first_colour = false;
    }
  }
}

// The three roles: the camera role serves an image client (its image port, with the control
// connection) and a passage unit (the passage unit's image port); both receive colour and
// disparity images sent through QELTMSendImage.
TEST_F(CameraRole, ImageClientAndPassageUnitBothReceiveColourAndDisparity) {
  StreamLog image_client, passage_unit;
  ASSERT_EQ(kQeltOk, QELTMRegisterRecvImageFunc(OnStreamImage, peer_.channel, &image_client));
  ASSERT_EQ(kQeltOk, QELTMRegisterRecvImageFunc(OnStreamImage, kPassageUnitChannel, &passage_unit));
  ASSERT_EQ(kQeltOk, QELTMConnectZUQ(&peer_));
  PeerRecord unit{};
  strcpy(unit.ip, kLoopback);
  unit.port_a = PortOf(STIPServerGetSocketFD(kServerNorbImage));
  unit.channel = kPassageUnitChannel;
  ASSERT_EQ(kQeltOk, QELTMConnectSTIP(&unit));
  const CtrlImageRequest start{kStipRequest, kStipStart, 0, kStipImageTypeColor, kColourWidth, kColourHeight, 20};
  ASSERT_EQ(kQeltOk, QELTMSendCtrlImageMsg(kLoopback, &start, peer_.channel));
  ASSERT_EQ(kQeltOk, QELTMSendCtrlImageMsg(kLoopback, &start, unit.channel));

  std::vector<uint8_t> colour(kColourBytes);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto done = [&] {
    for (StreamLog* log : {&image_client, &passage_unit})
      for (uint32_t type : {kStipImageTypeColor, kStipImageTypeDisparity})
        if (log->Count(type) < kWantedPerType) return false;
    return true;
  };
  for (uint32_t frame = 1; !done() && std::chrono::steady_clock::now() < end; ++frame) {
    for (size_t i = 0; i < colour.size(); ++i) colour[i] = static_cast<uint8_t>((i % kColourWidth) + frame);
    ImagePara h{};
    h.image_type = kStipImageTypeColor;
    h.frame_index = frame;
    h.width = kColourWidth;
    h.height = kColourHeight;
    h.data_size = kColourBytes;
    QELTMSendImage(&h, colour.data(), kColourBytes);
    h.image_type = kStipImageTypeDisparity;
    h.width = kDisparityWidth;
    h.height = kDisparityHeight;
    h.data_size = kDisparityBytes;
    const std::vector<uint8_t> disparity(kDisparityBytes, uint8_t(frame));
    QELTMSendImage(&h, disparity.data(), kDisparityBytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  QELTMDisconnectSTIP(&unit);
  QELTMDisconnectZUQ(&peer_);
  EXPECT_TRUE(done()) << "image client " << image_client.Count(kStipImageTypeColor) << " colour, "
                      << image_client.Count(kStipImageTypeDisparity) << " disparity; passage unit "
                      << passage_unit.Count(kStipImageTypeColor) << " colour, "
                      << passage_unit.Count(kStipImageTypeDisparity) << " disparity";
  CheckStream(image_client, "image client");
  CheckStream(passage_unit, "passage unit");
}

}  // namespace
