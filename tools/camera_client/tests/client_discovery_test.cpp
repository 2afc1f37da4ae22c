// Discovery by the client program over a real broadcast: the test re-runs itself inside a network
// namespace of its own (unshare -rn) with a veth pair named as the library expects, so no
// datagram leaves the test.
#include <gtest/gtest.h>

#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "camera_role.h"
#include "client_process.h"

namespace {

using namespace camera_client_test;

constexpr char kPeerInterface[] = "clientpeer";
constexpr char kCameraAddress[] = "10.214.0.1";
constexpr char kClientAddress[] = "10.214.0.2";
constexpr char kBroadcastAddress[] = "10.214.0.255";
constexpr char kAnyAddress[] = "0.0.0.0";
constexpr auto kClientDeadline = std::chrono::seconds(60);

bool InsideTestNamespace() { return if_nametoindex(kPeerInterface) != 0; }

std::string RunCapturing(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  *status = pclose(pipe);
  return output;
}

std::string StderrPath() { return "/tmp/camera_client_discovery_" + std::to_string(getpid()) + ".txt"; }

TEST(ClientDiscovery, RunsInsideItsOwnNetworkNamespace) {
  if (InsideTestNamespace()) GTEST_SKIP() << "already inside the test namespace";
  int status = 0;
  RunCapturing("unshare -rn true", &status);
  if (status != 0) GTEST_SKIP() << "unshare -rn is not permitted here: discovery not tested";
  RunCapturing("unshare -rn ip link add eth0 type veth peer name " + std::string(kPeerInterface), &status);
  if (status != 0) GTEST_SKIP() << "a veth pair cannot be made in a user network namespace here";
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const std::string setup = std::string("ip link set lo up && ip link add eth0 type veth peer name ") + kPeerInterface +
                            " && ip addr add " + kCameraAddress + "/24 broadcast " + kBroadcastAddress + " dev eth0" +
                            " && ip addr add " + kClientAddress + "/24 broadcast " + kBroadcastAddress + " dev " +
                            kPeerInterface + " && ip link set eth0 up && ip link set " + kPeerInterface + " up";
  const std::string command = "unshare -rn sh -c '" + setup + " && exec \"" + self +
                              "\" --gtest_filter=ClientDiscoveryInNamespace.*'";
  const std::string output = RunCapturing(command, &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 2 tests"), std::string::npos) << output;
}

class ClientDiscoveryInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace()) GTEST_SKIP() << "runs only inside the namespace that the test above makes";
    QELTMRegisterLogImageFunc(DropLog);
  }
  void TearDown() override {
    if (InsideTestNamespace()) QELTMUnInit();
    unlink(StderrPath().c_str());
  }
};

TEST_F(ClientDiscoveryInNamespace, FindsTheCameraAndUsesIt) {
  const uint16_t base = StartCameraRole(kAnyAddress, kCameraAddress);
  ASSERT_NE(base, 0);
  ClientProcess client({CAMERA_CLIENT_PATH, "--discover", "10", "--port", std::to_string(base), "--seconds", "0",
                        "--command", "version"},
                       StderrPath());
  ASSERT_TRUE(client.Wait(kClientDeadline)) << ReadFile(StderrPath());
  EXPECT_EQ(client.exit_status(), 0) << client.output() << ReadFile(StderrPath());
  EXPECT_EQ(client.output(), std::string("device ") + kCameraAddress + " type 1\n" + kVersionLine + "\n");
}

TEST_F(ClientDiscoveryInNamespace, NoAnswerExitsThree) {
  ClientProcess client({CAMERA_CLIENT_PATH, "--discover", "4", "--port", "23000", "--seconds", "0"}, StderrPath());
  ASSERT_TRUE(client.Wait(kClientDeadline));
  EXPECT_EQ(client.exit_status(), 3);
  EXPECT_EQ(client.output(), "");
}

}  // namespace
