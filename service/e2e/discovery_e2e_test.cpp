// Discovery of the running service: the test re-runs itself inside a network namespace of its own
// (unshare -rn) with a veth pair, where the service and the client's discovery both run, so the
// broadcasts never leave the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "e2e_fixture.h"
#include "test_support/namespace_runner.h"

namespace {

// The namespace's layout: "eth0" (the interface the network library broadcasts on) and its peer.
constexpr char kPeerInterface[] = "e2epeer";
constexpr char kDeviceAddress[] = "10.214.0.1";
constexpr char kPeerAddress[] = "10.214.0.2";
constexpr char kBroadcastAddress[] = "10.214.0.255";
constexpr char kDiscoverSeconds[] = "8";  // more than two of the client's broadcast periods
constexpr int kDeviceTypeSensorModule = 1;

const namespace_runner::Layout kLayout{kPeerInterface, kDeviceAddress, kPeerAddress, kBroadcastAddress};

bool InsideTestNamespace() { return namespace_runner::Inside(kLayout); }

TEST(DiscoveryEndToEnd, RunsInsideItsOwnNetworkNamespace) {
  if (InsideTestNamespace()) GTEST_SKIP() << "already inside the test namespace";
  if (access(CAMERA_CLIENT_PROGRAM, X_OK) != 0) GTEST_SKIP() << "the client program is not built";
  std::string output;
  int status = 0;
  const namespace_runner::Outcome outcome =
      namespace_runner::RunSelfInside(kLayout, "DiscoveryInNamespace.*", &output, &status);
  if (outcome != namespace_runner::Outcome::kRan) GTEST_SKIP() << namespace_runner::SkipReason(outcome);
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
