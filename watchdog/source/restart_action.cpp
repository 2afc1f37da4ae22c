// Restart actions: run commands formed from the entry, carried out by the board's command runner.
#include "restart_action.h"

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <thread>

#include "board/system_command.h"
#include "daemon_log.h"

namespace {

// Folders the dynamic loader searches anyway: no library path is exported for them.
constexpr std::array<const char*, 3> kSystemLibraryFolders = {"/lib", "/usr/lib", "/system/lib64"};
constexpr const char* kRebootCommand = "reboot";

bool IsSystemLibraryFolder(const std::string& folder) {
  for (const char* system_folder : kSystemLibraryFolders) {
    if (folder == system_folder) return true;
  }
  return false;
}

// A program that ends by itself this soon after its start, with a failing status, did not start
// (a port still held, say): it is started again after a short pause, a few times, rather than a
// whole check period later.
constexpr auto kFailedStartWindow = std::chrono::seconds(10);
constexpr auto kStartRetryPause = std::chrono::seconds(1);
constexpr int kStartRetries = 3;
// After the kill, the new program starts only once no process of the name is left (the old one
// may still hold its ports while it is being torn down), waiting at most this long.
constexpr auto kKillWaitLimit = std::chrono::seconds(5);
constexpr auto kKillWaitPoll = std::chrono::milliseconds(50);
// The shell reports a child ended by signal n as exit status 128 + n.
constexpr int kShellSignalBase = 128;

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// True when a run's status says the program failed on its own: it exited with a failure, not
// ended by a signal (a kill, by the watchdog or anyone) and not refused before it ran.
bool EndedWithFailure(int status) {
  if (status == board::kCommandRefused || !WIFEXITED(status)) return false;
  const int code = WEXITSTATUS(status);
  const bool shell_reported_signal = code > kShellSignalBase && code - kShellSignalBase < NSIG;
  return code != 0 && !shell_reported_signal;
}

// Runs the run command when it may run, printing it each time; a start that fails at once is
// retried after a pause, at most kStartRetries times. The status of the last run.
int StartProgram(const std::string& run_command, bool fits) {
  DaemonPrint("DaemonServer::Reboot, run_command=%s \n", run_command.c_str());
  if (!fits) {
    DaemonPrint("DaemonServer::Reboot, run_command longer than %zu characters, not run \n", kMaxRunCommandLength);
    return board::kCommandRefused;
  }
  for (int retry = 0;; ++retry) {
    const Clock::time_point started = Clock::now();
    const int status = board::RunCommand(run_command);
    const long long ran_ms = MillisecondsSince(started);
    if (retry == kStartRetries || !EndedWithFailure(status) || Clock::now() - started >= kFailedStartWindow) {
      return status;
    }
    DaemonPrint("DaemonServer::Reboot, program ended %lld ms after its start, system Result=%d, starting it again \n",
                ran_ms, status);
    std::this_thread::sleep_for(kStartRetryPause);
    DaemonPrint("DaemonServer::Reboot, run_command=%s \n", run_command.c_str());
  }
}

// Polls "killall -0 NAME" until no process of the name is left or the limit passes.
void WaitUntilGone(const std::string& process_name) {
  const std::string query = "killall -0 " + process_name;
  const Clock::time_point started = Clock::now();
  while (board::RunCommand(query) == 0) {
    if (Clock::now() - started >= kKillWaitLimit) {
      DaemonPrint("DaemonServer::Reboot, %s still running %lld ms after the kill, starting anyway \n",
                  process_name.c_str(), MillisecondsSince(started));
      return;
    }
    std::this_thread::sleep_for(kKillWaitPoll);
  }
}

}  // namespace

std::string CommandDirectory(const std::string& command_line) {
  const std::size_t last_slash = command_line.rfind('/');
  if (last_slash == std::string::npos) return std::string();
  if (last_slash == 0) return command_line;
  return command_line.substr(0, last_slash);
}

bool BuildRunCommand(const std::string& command_line, std::string* command) {
  const std::string folder = CommandDirectory(command_line);
  if (folder.empty() || IsSystemLibraryFolder(folder)) {
    *command = command_line;
    return true;
  }
  *command = "export LD_LIBRARY_PATH=" + folder + ";" + command_line;
  return command->size() <= kMaxRunCommandLength;
}

std::string KillCommand(const std::string& process_name) { return "killall -9 " + process_name; }

int RunRestartAction(const ProcessItem& entry) {
  DaemonPrint("DaemonServer::Reboot, ProcessName=%s \n", entry.process_name.c_str());
  std::string run_command;
  const bool fits = BuildRunCommand(entry.command_line, &run_command);
  int status = board::kCommandRefused;
  if (entry.restart_count == 0) {
    status = StartProgram(run_command, fits);
  } else if (entry.reboot_machine == 0) {
    if (fits) {
      const std::string kill_command = KillCommand(entry.process_name);
      DaemonPrint("DaemonServer::Reboot, kill_command=%s \n", kill_command.c_str());
      board::RunCommand(kill_command);
      WaitUntilGone(entry.process_name);
    }
    // A run command that does not fit kills nothing: the program would stay down.
    status = StartProgram(run_command, fits);
  } else {
    DaemonPrint("DaemonServer::Reboot, reboot_command=%s \n", kRebootCommand);
    status = board::RunCommand(kRebootCommand);
  }
  DaemonPrint("DaemonServer::Reboot, system Result=%d \n", status);
  return status;
}
