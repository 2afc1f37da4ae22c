// Command 204 through the control server on loopback, handled by the service's control handler on
// the simulated camera's device: a reply reports an offset only once the user file holds it, for
// requests joined on one connection and from several clients at once, the file writable or not.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

#include "control_answer.h"
#include "control_message.h"
#include "control_request.h"
#include "pelarin/proxy.h"
#include "pelarin/scdp.h"
#include "service_context.h"
#include "service_test_support.h"
#include "stereo_video_deivce.h"
#include "test_support/control_request_bytes.h"
#include "test_support/loopback.h"
#include "test_support/sim_device.h"

namespace {

constexpr int kJoined = 10;
constexpr int kOtherClients = 3;
constexpr size_t kReplyBytes = kScdpReplyPayloadOffset + 20;  // words 2, 204, result, 4, value

uint32_t Word(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

// kJoined requests of +1 tenth joined on one connection, one from each of kOtherClients beside it:
// the result and value of every reply, the joined ones first and in their order.
std::vector<std::pair<uint32_t, uint32_t>> Burst(uint16_t port) {
  const std::vector<uint8_t> payload = test_support::ControlRequestBytes(1, kCommandDisparityShift, {1});
  uint8_t packet[64];
  uint32_t length = 0;
  SCDPPackageKeyValuePacket(payload.data(), static_cast<uint32_t>(payload.size()), packet, sizeof packet, &length);
  std::vector<int> clients;
  for (int i = 0; i <= kOtherClients; ++i) {
    clients.push_back(test_support::ConnectLoopback(port));
    std::vector<uint8_t> requests;
    for (int n = 0; n < (i == 0 ? kJoined : 1); ++n) requests.insert(requests.end(), packet, packet + length);
    EXPECT_EQ(send(clients[i], requests.data(), requests.size(), MSG_NOSIGNAL), static_cast<ssize_t>(requests.size()));
  }
  std::vector<std::pair<uint32_t, uint32_t>> replies;
  const timeval limit{20, 0};
  for (int i = 0; i <= kOtherClients; ++i) {
    setsockopt(clients[i], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    uint8_t reply[kReplyBytes];
    for (int n = 0; n < (i == 0 ? kJoined : 1) && recv(clients[i], reply, sizeof reply, MSG_WAITALL) == sizeof reply; ++n) {
      replies.emplace_back(Word(reply + kScdpReplyPayloadOffset + 8), Word(reply + kScdpReplyPayloadOffset + 16));
    }
    close(clients[i]);
  }
  EXPECT_EQ(replies.size(), static_cast<size_t>(kJoined + kOtherClients));
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
  ASSERT_TRUE(root.ok());
  StereoVideoDeivce device;
  tagVideoDeviceParameterSet set = SimModuleParameterSet();
  const tagCamExposureConfiguration exposure = SimModuleExposure();
  ASSERT_EQ(device.Init(&set, &exposure), 0);
  TempFolder folder;
  FileConfigurationManagerPtr store = OpenStore(folder, ShippedConfiguration());
  ServiceContext context = {&device, nullptr, store.Get()};
  ControlServerRun server{&device};
  ASSERT_EQ(SCDPInit(kScdpServerMode), kQeltOk);
  ASSERT_EQ(SCDPServerCreateSession("127.0.0.1", 0), kQeltOk);
  int server_fd = 0;
  SCDPServerGetSocketFD(&server_fd);
  SCDPRegisterRecvCtrlMsg(ControlMessageProcess, &context);
  ASSERT_EQ(ProxyThreadStart(kProxyCtrlAndBroadcast), kQeltOk);
  const auto file_holds = [&](double offset) {
    char record[64];
    snprintf(record, sizeof record, "name=shift_offset type=double value=%f>", offset);
    return ReadWholeFile(folder.File("user.xml")).find(record) != std::string::npos;
  };
  const auto device_offset = [&] {
    double offset = -1.0;
    int selector = -1;
    device.GetDisparityOffset(&offset, &selector);
    return selector != 0 ? offset : -offset;
  };

  // With the folder full (a folder where the replacement file goes) every reply is a refusal.
  const std::string blocker = folder.File("user.xml.tmp");
  ASSERT_TRUE(std::filesystem::create_directory(blocker));
  for (const auto& reply : Burst(test_support::PortOf(server_fd))) {
    EXPECT_EQ(reply.first, kReplyResultRefused);
    EXPECT_EQ(reply.second, 0u);
  }
  EXPECT_TRUE(file_holds(0.0));
  EXPECT_EQ(device_offset(), 0.0);

  // Writable again: each request moved the saved offset one tenth on and was answered with it, so
  // every value from 1 to the last comes once, the joined ones rising; the file and device end there.
  std::filesystem::remove(blocker);
  const auto replies = Burst(test_support::PortOf(server_fd));
  std::vector<int> seen(replies.size() + 1, 0);
  for (size_t i = 0; i < replies.size(); ++i) {
    EXPECT_EQ(replies[i].first, kReplyResultOk);
    ASSERT_LT(replies[i].second, seen.size());
    ++seen[replies[i].second];
    if (i > 0 && i < static_cast<size_t>(kJoined)) {
      EXPECT_GT(replies[i].second, replies[i - 1].second);
    }
  }
  EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 1), static_cast<long>(replies.size()));
  EXPECT_TRUE(file_holds((kJoined + kOtherClients) / 10.0));
  EXPECT_NEAR(device_offset(), (kJoined + kOtherClients) / 10.0, 1e-4);
}

}  // namespace
