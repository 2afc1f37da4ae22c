// The fixture of the end-to-end tests: a board root and ports of the test's own, the service
// started on the simulated camera and serving, and the client program run against it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "client_summary.h"
#include "e2e_support.h"
#include "test_support/loopback.h"

class ServiceEndToEnd : public ::testing::Test {
 protected:
  // Starts the service with ServerAddress() as its own address; skips where the client is not built.
  void SetUp() override;
  virtual std::string ServerAddress() const { return "127.0.0.1"; }
  // Where the service's output goes (a pipe: service_.ReadErrorPipe).
  virtual ServiceOutput OutputTo() const { return ServiceOutput::kFile; }

  // The passage direction configured for the service, so that command 202's answer is recognisable.
  static constexpr unsigned kPassageDirection = 2;
  // Runs the client with `arguments` after the address and port options it always gets.
  ProgramRun RunClient(const std::vector<std::string>& target, const std::vector<std::string>& arguments,
                       int streaming_seconds);
  // The service ran through the test and ends on SIGTERM, with no sanitizer report in its output.
  void ExpectCleanStop();
  // Drops the heartbeats already queued and waits for the next one (a minute at most).
  bool NextHeartbeatArrives();

  ServicePorts ports_;
  test_support::LoopbackReceiver heartbeats_;  // the daemon's heartbeat port, owned by the test
  TempFolder work_;
  std::unique_ptr<TestBoardRoot> root_;
  ServiceProcess service_;
};
