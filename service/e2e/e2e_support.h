// Helpers of the end-to-end tests: free ports, a board root with the service's configuration, the
// service program run as a child that is always stopped, and the client program run to its end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "service_test_support.h"

// Ports of one service run: the four server ports from `base` on and the local heartbeat port.
struct ServicePorts {
  unsigned base = 0;
  unsigned norb_image() const { return base; }
  unsigned yrd_image() const { return base + 1; }
  unsigned control() const { return base + 2; }
  unsigned broadcast() const { return base + 3; }
  unsigned local_heartbeat() const { return base + 4; }
};

// A base port whose TCP ports (the three servers) and UDP ports (discovery, heartbeat) are free now.
ServicePorts PickFreeServicePorts();

// The shipped configuration with the server address, the ports and the heartbeat destination changed.
std::string ServiceConfiguration(const ServicePorts& ports, const std::string& server_address, unsigned daemon_port);

// A board root in a fresh temporary folder with `configuration` as the service's default
// configuration, the simulated module's calibration and the simulated camera's settings.
class TestBoardRoot {
 public:
  explicit TestBoardRoot(const std::string& configuration);
  bool ok() const { return ok_; }
  const std::string& path() const { return folder_.path(); }
  std::string File(const std::string& board_path) const { return folder_.path() + board_path; }
  std::string UserConfigurationPath() const;

 private:
  TempFolder folder_;
  bool ok_ = false;
};

// Where the service's output goes: a file; standard error to a pipe; or both outputs to a pipe that
// holds one page.
enum class ServiceOutput { kFile, kErrorsToPipe, kAllToOnePagePipe };

// The service program running on a board root; stopped in the destructor whatever happened.
class ServiceProcess {
 public:
  ServiceProcess() = default;
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts the program with BOARD_ROOT set, in `work_folder` (which holds no configuration), its
  // output going to a file there, or as `output` says to a pipe whose reading end this object holds.
  bool Start(const std::string& board_root, const std::string& work_folder, ServiceOutput output = ServiceOutput::kFile);
  // What the program has written to the pipe since the last read, without waiting.
  std::string ReadErrorPipe();
  // Bytes in the pipe that nobody has read yet.
  int QueuedInPipe() const;
  // The reader quits: the program's next write to standard error breaks the pipe.
  void CloseErrorPipe();
  // Waits until the servers listen on `ports` and start-up has ended with the heartbeat socket
  // open; false when the program ended or the time ran out.
  bool WaitUntilServing(const ServicePorts& ports);
  bool StillRunning();
  // Sends SIGTERM and waits for the end; the signal that ended it, or -1 when it exited by itself
  // or could not be reaped in time (then it is killed).
  int Terminate();
  std::string Output() const;

 private:
  pid_t pid_ = -1;
  std::string output_path_;
  int error_pipe_ = -1;
};

struct ProgramRun {
  int exit_status = -1;  // -1 when it did not exit by itself in time or was ended by a signal
  std::string output;    // standard output and standard error together
};

// Runs `program` with `arguments` in `work_folder`, waiting at most `limit_seconds` (then it is killed).
ProgramRun RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& work_folder, int limit_seconds);

// The lines of `board_root`/fake-calls.log that begin with `command`, after waiting up to
// `wait_seconds` for at least one.
std::vector<std::string> FakeCalls(const std::string& board_root, const std::string& command, int wait_seconds);

// The fake date command's argument for `seconds` since 1970 in local time: MMDDhhmmYYYY.ss.
std::string DateArgument(long seconds);
