// Restart actions: run commands formed from the entry, carried out by the board's command runner.
#include "restart_action.h"

#include <array>

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

// Runs the run command when it may run; prints it either way.
int StartProgram(const std::string& run_command, bool fits) {
  DaemonPrint("DaemonServer::Reboot, run_command=%s \n", run_command.c_str());
  if (!fits) {
    DaemonPrint("DaemonServer::Reboot, run_command longer than %zu characters, not run \n", kMaxRunCommandLength);
    return board::kCommandRefused;
  }
  return board::RunCommand(run_command);
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
