// The end-to-end fixture: service start on a board root of the test's own, client runs, clean stop.
#include "e2e_fixture.h"

#include <signal.h>

#include <chrono>

#include "test_support/wait.h"

namespace {

constexpr int kClientStartAndStopSeconds = 90;  // connection, commands and shut-down under the sanitizers
// Heartbeats come every few seconds; a service that hangs sends none at all.
constexpr auto kHeartbeatPatience = std::chrono::seconds(60);
const char* const kSanitizerReports[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"};

}  // namespace

void ServiceEndToEnd::SetUp() {
  if (access(CAMERA_CLIENT_PROGRAM, X_OK) != 0) {
    GTEST_SKIP() << "the client program is not built (" << CAMERA_CLIENT_PROGRAM << "): end-to-end run not done";
  }
  ports_ = PickFreeServicePorts();
  ASSERT_NE(ports_.base, 0u) << "no free ports";
  root_ = std::make_unique<TestBoardRoot>(WithValue(ServiceConfiguration(ports_, ServerAddress(), heartbeats_.port()),
                                                    "passage_direction", std::to_string(kPassageDirection)));
  ASSERT_TRUE(root_->ok());
  ASSERT_TRUE(service_.Start(root_->path(), work_.path(), OutputTo()));
  ASSERT_TRUE(service_.WaitUntilServing(ports_)) << "the service is not serving on " << ports_.base << "\n"
                                                 << service_.Output();
}

ProgramRun ServiceEndToEnd::RunClient(const std::vector<std::string>& target, const std::vector<std::string>& arguments,
                                      int streaming_seconds) {
  std::vector<std::string> words = target;
  words.insert(words.end(), {"--port", std::to_string(ports_.base), "--seconds", std::to_string(streaming_seconds)});
  words.insert(words.end(), arguments.begin(), arguments.end());
  const ProgramRun run = RunToEnd(CAMERA_CLIENT_PROGRAM, words, work_.path(), streaming_seconds + kClientStartAndStopSeconds);
  std::cout << run.output;
  return run;
}

void ServiceEndToEnd::ExpectCleanStop() {
  EXPECT_TRUE(service_.StillRunning()) << "the service ended during the test\n" << service_.Output();
  EXPECT_EQ(service_.Terminate(), SIGTERM);
  const std::string output = service_.Output();
  for (const char* report : kSanitizerReports) EXPECT_EQ(output.find(report), std::string::npos) << output;
}

bool ServiceEndToEnd::NextHeartbeatArrives() {
  while (!heartbeats_.TakeQueued().empty()) {
  }
  return test_support::WaitUntil([this] { return !heartbeats_.TakeQueued().empty(); }, kHeartbeatPatience,
                                 std::chrono::milliseconds(50));
}
