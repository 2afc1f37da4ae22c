// Discovery of the running service: the test re-runs itself inside a network namespace of its own
// (unshare -rn) with a veth pair, where the service and the client's discovery both run, so the
// broadcasts never leave the test.
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "e2e_fixture.h"

namespace {

// The namespace's layout: "eth0" (the interface the network library broadcasts on) and its peer.
constexpr char kPeerInterface[] = "e2epeer";
constexpr char kDeviceAddress[] = "10.214.0.1";
constexpr char kPeerAddress[] = "10.214.0.2";
constexpr char kBroadcastAddress[] = "10.214.0.255";
constexpr char kDiscoverSeconds[] = "8";  // more than two of the client's broadcast periods
constexpr int kDeviceTypeSensorModule = 1;

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

TEST(DiscoveryEndToEnd, RunsInsideItsOwnNetworkNamespace) {
  if (InsideTestNamespace()) GTEST_SKIP() << "already inside the test namespace";
  if (access(CAMERA_CLIENT_PROGRAM, X_OK) != 0) GTEST_SKIP() << "the client program is not built";
  int status = 0;
  RunCapturing("unshare -rn true", &status);
  if (status != 0) GTEST_SKIP() << "unshare -rn is not permitted here: discovery of the service not tested";
  RunCapturing("unshare -rn ip link add eth0 type veth peer name " + std::string(kPeerInterface), &status);
  if (status != 0) GTEST_SKIP() << "a veth pair cannot be made in a user network namespace here";
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const std::string setup = std::string("ip link set lo up && ip link add eth0 type veth peer name ") + kPeerInterface +
                            " && ip addr add " + kDeviceAddress + "/24 broadcast " + kBroadcastAddress + " dev eth0" +
                            " && ip addr add " + kPeerAddress + "/24 broadcast " + kBroadcastAddress + " dev " +
                            kPeerInterface + " && ip link set eth0 up && ip link set " + kPeerInterface + " up";
  const std::string command = "unshare -rn sh -c '" + setup + " && exec \"" + self +
                              "\" --gtest_filter=DiscoveryInNamespace.*'";
  const std::string output = RunCapturing(command, &status);
  std::cout << output;
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// The service serving on the namespace's "eth0" address.
class DiscoveryInNamespace : public ServiceEndToEnd {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace()) GTEST_SKIP() << "runs only inside the namespace that the test above makes";
    ServiceEndToEnd::SetUp();
  }
  std::string ServerAddress() const override { return kDeviceAddress; }
};

TEST_F(DiscoveryInNamespace, ClientDiscoversTheServiceAndItAnswers) {
  const ProgramRun run = RunClient({"--discover", kDiscoverSeconds}, {"--command", "version"}, 0);
  EXPECT_EQ(run.exit_status, 0);
  const ClientSummary summary = ParseClientOutput(run.output);
  ASSERT_EQ(summary.discovered.count(kDeviceAddress), 1u) << run.output;
  EXPECT_EQ(summary.discovered.at(kDeviceAddress), kDeviceTypeSensorModule);
  EXPECT_TRUE(ReplyAnswered(summary, "version"));
  ExpectCleanStop();
}

}  // namespace
