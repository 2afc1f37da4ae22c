// A service whose standard error is a pipe that its reader has closed: every log line breaks the
// pipe, and the service still answers, streams and sends its heartbeats.
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace {

constexpr int kStreamSeconds = 2;

class BrokenErrorPipeEndToEnd : public ServiceEndToEnd {
 protected:
  ServiceOutput OutputTo() const override { return ServiceOutput::kErrorsToPipe; }
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
