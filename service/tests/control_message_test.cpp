// The control handler's replies, byte for byte as the network service's builders make them; and
// command 204 through the control server on loopback on the simulated camera's device: a reply
// reports an offset only once the user file holds it, for requests joined on one connection and
// from several clients at once, the file writable or not.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <utility>
#include <vector>

#include "board/properties.h"
#include "control_answer.h"
#include "control_message.h"
#include "control_request.h"
#include "pelarin/proxy.h"
#include "pelarin/scdp.h"
#include "platform/delay_task_scheduler.h"
#include "process_state.h"
#include "service_context.h"
#include "service_test_support.h"
#include "stereo_video_deivce.h"
#include "test_support/control_request_bytes.h"
#include "test_support/loopback.h"
#include "test_support/sim_device.h"

namespace {

constexpr std::size_t kReplyCapacity = 8192;

constexpr auto Request = &test_support::ControlRequestBytes<char>;

// A reply record over its own buffer.
struct Reply {
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kReplyCapacity);
  tagACKMsgPara record = {0, buffer.data(), static_cast<std::uint32_t>(kReplyCapacity), 0};
  std::vector<std::uint8_t> Bytes() const { return {buffer.begin(), buffer.begin() + record.used_size}; }
};

class ControlMessageTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(scheduler_.Init(), RESULT_OK); }
  void TearDown() override { scheduler_.Deinit(); }
  int Process(const std::vector<char>& payload, Reply* reply) {
    return ControlMessageProcess(payload.data(), static_cast<int>(payload.size()), &context_, &reply->record);
  }

  DelayTaskScheduler scheduler_;
  ServiceContext context_ = {nullptr, &scheduler_, nullptr};
};

TEST_F(ControlMessageTest, PassageDirectionReplyMatchesItsBuilder) {
  g_passage_direction.store(1);
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandPassageDirection, {}), &reply), kControlHandled);
  Reply expected;
  QeltReplyGetZuqDirection(&expected.record, 0, 1);
  EXPECT_EQ(reply.record.reply_flag, expected.record.reply_flag);
  EXPECT_EQ(reply.Bytes(), expected.Bytes());
}

TEST_F(ControlMessageTest, DisparityShiftWithoutDeviceRepliesZero) {
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandDisparityShift, {1}), &reply), kControlHandled);
  Reply expected;
  QeltReplyAdjustZuqDisparityShift(&expected.record, 0, 0);
  EXPECT_EQ(reply.Bytes(), expected.Bytes());
}

TEST_F(ControlMessageTest, RefusedDisparityShiftRepliesRefusedAndSavesNothing) {
  TempFolder folder;
  FileConfigurationManagerPtr store = OpenStore(folder, ShippedConfiguration());
  ASSERT_NE(store.Get(), nullptr);
  const std::string before = ReadWholeFile(folder.File("user.xml"));
  StereoVideoDeivce device;
  context_ = {&device, &scheduler_, store.Get()};
  // 3000 tenths: an offset of 300 rows, more than the device and the loader take.
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandDisparityShift, {3000}), &reply), kControlHandled);
  Reply refused;
  QeltReplyAdjustZuqDisparityShift(&refused.record, kReplyResultRefused, 0);
  EXPECT_EQ(reply.Bytes(), refused.Bytes());
  Reply accepted_zero;
  QeltReplyAdjustZuqDisparityShift(&accepted_zero.record, kReplyResultOk, 0);
  EXPECT_NE(reply.Bytes(), accepted_zero.Bytes());
  EXPECT_EQ(ReadWholeFile(folder.File("user.xml")), before);
  double offset = 1.0;
  int selector = 0;
  ASSERT_EQ(device.GetDisparityOffset(&offset, &selector), 0);
  EXPECT_EQ(offset, 0.0);
}

TEST_F(ControlMessageTest, VersionReplyCarriesTheNetworkVersion) {
  Reply reply;
  ASSERT_EQ(Process(Request(1, kCommandVersion, {}), &reply), kControlHandled);
  char firmware[PROPERTY_VALUE_MAX] = {};
  property_get("ro.quenlivark.product.all", firmware, "");
  const std::string text =
      std::string("zuq     :1.1.0.20190705\r\nnetwork :") + QELTMGetVersion() + "\r\nfirmware:" + firmware;
  Reply expected;
  QeltReplyVersion(&expected.record, 0, text.c_str(), static_cast<unsigned>(text.size()));
  EXPECT_EQ(reply.Bytes(), expected.Bytes());
}

TEST_F(ControlMessageTest, NoReplyForShortPayloadsWrongKindsAndUnknownCommands) {
  for (const auto& payload : {Request(1, kCommandSetSystemTime, {1}), Request(1, kCommandDisparityShift, {}),
                              Request(2, kCommandVersion, {}), Request(1, 99, {})}) {
    Reply reply;
    EXPECT_EQ(Process(payload, &reply), kControlNotHandled);
    EXPECT_EQ(reply.record.reply_flag, 0);
    EXPECT_EQ(reply.record.used_size, 0u);
  }
  Reply reply;
  EXPECT_EQ(Process(Request(1, kCommandUpgradeControl, {1}), &reply), kControlHandled);
  EXPECT_EQ(reply.record.used_size, 0u);
}

constexpr int kJoined = 10;
constexpr int kClients = 4;  // the first sends kJoined requests joined, the others one each
constexpr size_t kReplyBytes = kScdpReplyPayloadOffset + 20;  // words 2, 204, result, 4, value

uint32_t Word(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

// Requests of +1 tenth from kClients at once: each reply's result and value, the joined first.
std::vector<std::pair<uint32_t, uint32_t>> Burst(uint16_t port) {
  const std::vector<uint8_t> payload = test_support::ControlRequestBytes(1, kCommandDisparityShift, {1});
  uint8_t packet[64];
  uint32_t length = 0;
  SCDPPackageKeyValuePacket(payload.data(), static_cast<uint32_t>(payload.size()), packet, sizeof packet, &length);
  std::vector<int> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(test_support::ConnectLoopback(port));
    std::vector<uint8_t> requests;
    for (int n = 0; n < (i == 0 ? kJoined : 1); ++n) requests.insert(requests.end(), packet, packet + length);
    EXPECT_EQ(send(clients[i], requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
  }
  std::vector<std::pair<uint32_t, uint32_t>> replies;
  const timeval limit{20, 0};
  uint8_t reply[kReplyBytes];
  for (int i = 0; i < kClients; ++i) {
    setsockopt(clients[i], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    for (int n = 0; n < (i == 0 ? kJoined : 1) && recv(clients[i], reply, kReplyBytes, MSG_WAITALL) == kReplyBytes; ++n) {
      replies.emplace_back(Word(reply + kScdpReplyPayloadOffset + 8), Word(reply + kScdpReplyPayloadOffset + 16));
    }
    close(clients[i]);
  }
  EXPECT_EQ(replies.size(), static_cast<size_t>(kJoined + kClients - 1));
  return replies;
}

// Ends the control server, then releases the device it served.
struct ControlServerRun {
  StereoVideoDeivce* device;
  ~ControlServerRun() {
    StopAllProxyProcess();
    SCDPUnInit();
    device->Deinit();
  }
};

TEST(ShiftOverNetwork, RepliesReportOnlyOffsetsTheUserFileHolds) {
  SimDeviceRoot root;
  StereoVideoDeivce device;
  tagVideoDeviceParameterSet set = SimModuleParameterSet();
  const tagCamExposureConfiguration exposure = SimModuleExposure();
  ASSERT_TRUE(root.ok() && device.Init(&set, &exposure) == 0);
  TempFolder folder;
  FileConfigurationManagerPtr store = OpenStore(folder, ShippedConfiguration());
  ServiceContext context = {&device, nullptr, store.Get()};
  ControlServerRun server{&device};
  int server_fd = 0;
  ASSERT_EQ(SCDPInit(kScdpServerMode), kQeltOk);
  ASSERT_EQ(SCDPServerCreateSession("127.0.0.1", 0), kQeltOk);
  SCDPServerGetSocketFD(&server_fd);
  SCDPRegisterRecvCtrlMsg(ControlMessageProcess, &context);
  ASSERT_EQ(ProxyThreadStart(kProxyCtrlAndBroadcast), kQeltOk);
  const auto holds = [&](double offset) {
    char record[64];
    snprintf(record, sizeof record, "name=shift_offset type=double value=%f>", offset);
    double held = -1.0;
    int selector = -1;
    device.GetDisparityOffset(&held, &selector);
    return ReadWholeFile(folder.File("user.xml")).find(record) != std::string::npos &&
           std::abs((selector != 0 ? held : -held) - offset) < 1e-4;
  };

  // With the folder full (a folder where the replacement file goes) every reply is a refusal.
  const std::string blocker = folder.File("user.xml.tmp");
  ASSERT_TRUE(std::filesystem::create_directory(blocker));
  for (const auto& reply : Burst(test_support::PortOf(server_fd))) {
    EXPECT_EQ(reply, std::make_pair(kReplyResultRefused, 0u));
  }
  EXPECT_TRUE(holds(0.0)) << "the file and the device keep the saved offset";

  // Writable again: each request moved the saved offset one tenth on and was answered with it, so
  // the values are 1 to the last, each once, the joined ones rising; the file and device end there.
  std::filesystem::remove(blocker);
  std::vector<uint32_t> values, expected;
  for (const auto& reply : Burst(test_support::PortOf(server_fd))) {
    EXPECT_EQ(reply.first, kReplyResultOk);
    values.push_back(reply.second);
    expected.push_back(static_cast<uint32_t>(values.size()));
  }
  EXPECT_TRUE(std::is_sorted(values.begin(), values.begin() + kJoined));
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, expected);
  EXPECT_TRUE(holds((kJoined + kClients - 1) / 10.0));
}

}  // namespace
