// A service whose standard error is a pipe that its reader has closed: every log line breaks the
// pipe, and the service still answers, streams and sends its heartbeats.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "e2e_fixture.h"

namespace {

constexpr int kStreamSeconds = 2;
// Heartbeats come every few seconds; a service that hangs sends none at all.
constexpr auto kHeartbeatPatience = std::chrono::seconds(60);

class BrokenErrorPipeEndToEnd : public ServiceEndToEnd {
 protected:
  bool ErrorsToPipe() const override { return true; }

  // Drops the heartbeats already queued and waits for the next one.
  bool NextHeartbeatArrives() {
    while (!heartbeats_.TakeQueued().empty()) {
    }
    const auto give_up = std::chrono::steady_clock::now() + kHeartbeatPatience;
    while (std::chrono::steady_clock::now() < give_up) {
      if (!heartbeats_.TakeQueued().empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
};

TEST_F(BrokenErrorPipeEndToEnd, ServiceKeepsServingAfterItsErrorReaderQuits) {
  EXPECT_NE(service_.ReadErrorPipe().find("[main] "), std::string::npos) << "log lines go to standard error";
  service_.CloseErrorPipe();

  const ProgramRun run = RunClient({"--address", "127.0.0.1"}, {"--command", "version", "--command", "direction"},
                                   kStreamSeconds);
  EXPECT_EQ(run.exit_status, 0);
  const ClientSummary summary = ParseClientOutput(run.output);
  EXPECT_TRUE(ReplyAnswered(summary, "version"));
  EXPECT_TRUE(ReplyAnswered(summary, "direction"));
  EXPECT_TRUE(NextHeartbeatArrives());
  ExpectCleanStop();
}

}  // namespace
