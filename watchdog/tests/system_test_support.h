// Helpers of the whole-system test: free ports, configuration edits, processes of one program
// file, and runs of the client program with its summary read back.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace system_test {

// The ports one camera and its watchdog use: quarnel's server ports server..server+3, its own
// heartbeat port and the watchdog's listening port.
struct Ports {
  unsigned server = 0;
  unsigned heartbeat = 0;
  unsigned daemon = 0;
};

// Ports that nothing on this machine holds at the moment, for TCP and UDP alike, outside the
// range the kernel hands out for outgoing connections.
bool FindFreePorts(Ports* ports);

// Replaces the value of the record `name` (the only record of that name) in a configuration text.
bool ReplaceRecordValue(std::string* text, const std::string& name, const std::string& value);

// The processes whose program file is `program`, zombies excluded.
std::vector<int> ProgramPids(const std::filesystem::path& program);

// The thread of process `pid` whose name is `name`; 0 when there is none.
int ThreadNamed(int pid, const std::string& name);

// Points `fd` at a new file at `path`; false when it cannot.
bool RedirectOutput(int fd, const std::filesystem::path& path);

// What one run of the client program printed and counted; -1 for a summary line it did not print.
struct ClientRun {
  int exit_status = -1;
  std::string output;
  long colour_frames = -1;
  long colour_decoded = -1;
  long decode_errors = -1;
  long disparity_frames = -1;
};

// Runs the client program with the arguments and reads its summary lines; a run that hangs is
// killed after a generous limit.
ClientRun RunClient(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace system_test
