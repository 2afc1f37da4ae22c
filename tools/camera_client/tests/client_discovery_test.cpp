// Discovery by the client program over a real broadcast: the test re-runs itself inside a network
// namespace of its own (unshare -rn) with a veth pair named as the library expects, so no
// datagram leaves the test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "camera_role.h"
#include "client_process.h"
#include "test_support/file_text.h"
#include "test_support/namespace_runner.h"

namespace {

using namespace camera_client_test;

constexpr char kPeerInterface[] = "clientpeer";
constexpr char kCameraAddress[] = "10.214.0.1";
constexpr char kClientAddress[] = "10.214.0.2";
constexpr char kBroadcastAddress[] = "10.214.0.255";
constexpr char kAnyAddress[] = "0.0.0.0";
constexpr auto kClientDeadline = std::chrono::seconds(60);

const namespace_runner::Layout kLayout{kPeerInterface, kCameraAddress, kClientAddress, kBroadcastAddress};

bool InsideTestNamespace() { return namespace_runner::Inside(kLayout); }

std::string StderrPath() { return "/tmp/camera_client_discovery_" + std::to_string(getpid()) + ".txt"; }

TEST(ClientDiscovery, RunsInsideItsOwnNetworkNamespace) {
  if (InsideTestNamespace()) GTEST_SKIP() << "already inside the test namespace";
  std::string output;
  int status = 0;
  const namespace_runner::Outcome outcome =
      namespace_runner::RunSelfInside(kLayout, "ClientDiscoveryInNamespace.*", &output, &status);
  if (outcome != namespace_runner::Outcome::kRan) GTEST_SKIP() << namespace_runner::SkipReason(outcome);
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
  ASSERT_TRUE(client.Wait(kClientDeadline)) << test_support::ReadWholeFile(StderrPath());
  EXPECT_EQ(client.exit_status(), 0) << client.output() << test_support::ReadWholeFile(StderrPath());
  EXPECT_EQ(client.output(), std::string("device ") + kCameraAddress + " type 1\n" + kVersionLine + "\n");
}

TEST_F(ClientDiscoveryInNamespace, NoAnswerExitsThree) {
  ClientProcess client({CAMERA_CLIENT_PATH, "--discover", "4", "--port", "23000", "--seconds", "0"}, StderrPath());
  ASSERT_TRUE(client.Wait(kClientDeadline));
  EXPECT_EQ(client.exit_status(), 3);
  EXPECT_EQ(client.output(), "");
}

}  // namespace
