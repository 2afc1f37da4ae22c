// Command 204 through the control server on loopback, handled by the service's control handler
// on the simulated camera's video device: a reply that reports an offset is only ever sent once
// the user file holds it, whether the requests come joined on one connection or from several
// clients at once, and whether the file can be written or not.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "control_answer.h"
#include "control_message.h"
#include "control_request.h"
#include "pelarin/proxy.h"
#include "pelarin/scdp.h"
#include "platform/delay_task_scheduler.h"
#include "service_context.h"
#include "service_test_support.h"
#include "stereo_video_deivce.h"
#include "test_support/control_request_bytes.h"
#include "test_support/loopback.h"
#include "test_support/sim_device.h"

namespace {

constexpr int kJoinedRequests = 10;
constexpr int kOtherClients = 3;
constexpr uint32_t kReplyBytes = kScdpReplyPayloadOffset + 20;  // words 2, 204, result, 4, value
constexpr int kReplyWaitMillis = 20000;                         // replies that must come

uint32_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
  return (uint32_t{bytes[offset]} << 24) | (uint32_t{bytes[offset + 1]} << 16) | (uint32_t{bytes[offset + 2]} << 8) |
         bytes[offset + 3];
}

std::vector<uint8_t> ShiftRequestPacket(int32_t step) {
  const std::vector<uint8_t> payload =
      test_support::ControlRequestBytes(1, kCommandDisparityShift, {static_cast<uint32_t>(step)});
  std::vector<uint8_t> packet(payload.size() + kScdpReplyPayloadOffset);
  uint32_t length = 0;
  SCDPPackageKeyValuePacket(payload.data(), static_cast<uint32_t>(payload.size()), packet.data(),
                            static_cast<uint32_t>(packet.size()), &length);
  packet.resize(length);
  return packet;
}

struct ShiftReply {
  uint32_t result;
  uint32_t value;
};

// `count` replies to 204 read from `fd` in the order they came; fewer when they stop coming.
std::vector<ShiftReply> ReadShiftReplies(int fd, int count) {
  std::vector<uint8_t> bytes;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyWaitMillis);
  while (bytes.size() < static_cast<size_t>(count) * kReplyBytes && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) != 1) continue;
    uint8_t chunk[1024];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  std::vector<ShiftReply> replies;
  for (size_t at = 0; at + kReplyBytes <= bytes.size(); at += kReplyBytes) {
    EXPECT_EQ(Word(bytes, at + kScdpReplyPayloadOffset + 4), kCommandDisparityShift);
    replies.push_back({Word(bytes, at + kScdpReplyPayloadOffset + 8), Word(bytes, at + kScdpReplyPayloadOffset + 16)});
  }
  return replies;
}

class ShiftOverNetwork : public ::testing::Test {
 protected:
  // The device is set up once for the suite: its start is what takes time here.
  static void SetUpTestSuite() {
    root_ = new SimDeviceRoot();
    device_ = new StereoVideoDeivce();
    tagVideoDeviceParameterSet set = SimModuleParameterSet();
    const tagCamExposureConfiguration exposure = SimModuleExposure();
    device_ready_ = root_->ok() && device_->Init(&set, &exposure) == 0;
  }
  static void TearDownTestSuite() {
    device_->Deinit();
    delete device_;
    delete root_;
  }
  void SetUp() override {
    ASSERT_TRUE(device_ready_);
    ASSERT_EQ(device_->SetDisparityOffset(0.0, 1), 0);  // the shipped file's offset
    ASSERT_EQ(scheduler_.Init(), RESULT_OK);
    store_ = OpenStore(folder_, ShippedConfiguration());
    ASSERT_NE(store_.Get(), nullptr);
    context_ = {device_, &scheduler_, store_.Get()};
    ASSERT_EQ(SCDPInit(kScdpServerMode), kQeltOk);
    ASSERT_EQ(SCDPServerCreateSession("127.0.0.1", 0), kQeltOk);
    int server_fd = 0;
    SCDPServerGetSocketFD(&server_fd);
    port_ = test_support::PortOf(server_fd);
    SCDPRegisterRecvCtrlMsg(ControlMessageProcess, &context_);
    ASSERT_EQ(ProxyThreadStart(kProxyCtrlAndBroadcast), kQeltOk);
  }
  void TearDown() override {
    StopAllProxyProcess();
    SCDPUnInit();
    scheduler_.Deinit();
  }

  // One connection writes kJoinedRequests requests of +1 tenth joined in one write, and
  // kOtherClients clients send one each beside it; every reply, the joined ones first in order.
  std::vector<ShiftReply> Burst() {
    std::vector<uint8_t> joined;
    for (int i = 0; i < kJoinedRequests; ++i) {
      const std::vector<uint8_t> packet = ShiftRequestPacket(1);
      joined.insert(joined.end(), packet.begin(), packet.end());
    }
    std::vector<int> clients;
    for (int i = 0; i <= kOtherClients; ++i) clients.push_back(test_support::ConnectLoopback(port_));
    for (int fd : clients) EXPECT_GE(fd, 0);
    EXPECT_EQ(send(clients[0], joined.data(), joined.size(), MSG_NOSIGNAL), static_cast<ssize_t>(joined.size()));
    const std::vector<uint8_t> one = ShiftRequestPacket(1);
    for (int i = 1; i <= kOtherClients; ++i) {
      EXPECT_EQ(send(clients[i], one.data(), one.size(), MSG_NOSIGNAL), static_cast<ssize_t>(one.size()));
    }
    std::vector<ShiftReply> replies = ReadShiftReplies(clients[0], kJoinedRequests);
    EXPECT_EQ(replies.size(), static_cast<size_t>(kJoinedRequests));
    for (int i = 1; i <= kOtherClients; ++i) {
      const std::vector<ShiftReply> reply = ReadShiftReplies(clients[i], 1);
      EXPECT_EQ(reply.size(), 1u);
      replies.insert(replies.end(), reply.begin(), reply.end());
    }
    for (int fd : clients) close(fd);
    return replies;
  }
  // The offset in tenths, as a reply reports it: what the user file holds and what the device does.
  std::string SavedRecord() const {
    const std::string user = ReadWholeFile(folder_.File("user.xml"));
    const size_t at = user.find("name=shift_offset type=double value=");
    return at == std::string::npos ? "" : user.substr(at, user.find('>', at) - at);
  }
  double DeviceOffset() {
    double offset = -1.0;
    int selector = -1;
    device_->GetDisparityOffset(&offset, &selector);
    return selector != 0 ? offset : -offset;
  }

  static SimDeviceRoot* root_;
  static StereoVideoDeivce* device_;
  static bool device_ready_;
  DelayTaskScheduler scheduler_;
  TempFolder folder_;
  FileConfigurationManagerPtr store_;
  ServiceContext context_ = {nullptr, nullptr, nullptr};
  uint16_t port_ = 0;
};

SimDeviceRoot* ShiftOverNetwork::root_ = nullptr;
StereoVideoDeivce* ShiftOverNetwork::device_ = nullptr;
bool ShiftOverNetwork::device_ready_ = false;

std::string Record(double offset) {
  char text[64];
  snprintf(text, sizeof text, "name=shift_offset type=double value=%f", offset);
  return text;
}

TEST_F(ShiftOverNetwork, EachReplyReportsAnOffsetTheFileHeldWhenItWasSent) {
  const std::vector<ShiftReply> replies = Burst();
  ASSERT_EQ(replies.size(), static_cast<size_t>(kJoinedRequests + kOtherClients));
  // Each request moved the saved offset one tenth on and was answered with it: every value from 1
  // to the last once, the joined requests' rising in their order.
  std::vector<bool> seen(replies.size() + 1, false);
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].result, kReplyResultOk) << i;
    ASSERT_GE(replies[i].value, 1u);
    ASSERT_LE(replies[i].value, replies.size());
    EXPECT_FALSE(seen[replies[i].value]) << "value " << replies[i].value << " reported twice";
    seen[replies[i].value] = true;
    if (i > 0 && i < static_cast<size_t>(kJoinedRequests)) {
      EXPECT_GT(replies[i].value, replies[i - 1].value);
    }
  }
  const double last = static_cast<double>(replies.size()) / 10.0;
  EXPECT_EQ(SavedRecord(), Record(last));
  EXPECT_NEAR(DeviceOffset(), last, 1e-4);
}

TEST_F(ShiftOverNetwork, WithTheFolderFullNoReplyReportsAnUnsavedOffset) {
  const std::string saved = SavedRecord();
  ASSERT_EQ(saved, Record(0.0));
  // Where the replacement file goes: a folder of that name, so no new user file can be written.
  ASSERT_TRUE(std::filesystem::create_directory(folder_.File("user.xml.tmp")));
  const std::vector<ShiftReply> replies = Burst();
  ASSERT_EQ(replies.size(), static_cast<size_t>(kJoinedRequests + kOtherClients));
  for (const ShiftReply& reply : replies) {
    EXPECT_EQ(reply.result, kReplyResultRefused);
    EXPECT_EQ(reply.value, 0u);
  }
  EXPECT_EQ(SavedRecord(), saved);
  EXPECT_EQ(DeviceOffset(), 0.0) << "the device keeps the offset the file holds";
}

}  // namespace
