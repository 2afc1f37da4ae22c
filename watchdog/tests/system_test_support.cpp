// Helpers of the whole-system test: free ports, configuration edits, processes, client runs.
#include "system_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <random>

#include "test_support/loopback.h"

namespace system_test {
namespace {

namespace fs = std::filesystem;

// Below the kernel's range for outgoing connections (32768 and up), above the well-known ports.
constexpr unsigned kLowestPort = 20000;
constexpr unsigned kHighestPort = 32000;
constexpr int kPortTries = 200;
constexpr unsigned kServerPortCount = 4;
// A client run streams for seconds; only a hung one takes this long.
constexpr std::chrono::seconds kClientLimit(90);
constexpr int kPollMilliseconds = 100;

using test_support::PortFree;

bool PortsFree(unsigned first, unsigned count) {
  for (unsigned port = first; port < first + count; ++port) {
    if (!PortFree(SOCK_STREAM, port) || !PortFree(SOCK_DGRAM, port)) return false;
  }
  return true;
}

// The number after `label` on the summary line that starts with `line_start`; -1 when missing.
long SummaryNumber(const std::string& output, const std::string& line_start, const std::string& label) {
  const std::size_t line = output.find(line_start);
  if (line == std::string::npos) return -1;
  const std::size_t line_end = output.find('\n', line);
  const std::size_t at = output.find(label, line);
  if (at == std::string::npos || at > line_end) return -1;
  const std::size_t digits = at + label.size();
  if (digits >= output.size() || !std::isdigit(static_cast<unsigned char>(output[digits]))) return -1;
  return std::stol(output.substr(digits));
}

bool IsZombie(const fs::path& process_dir) {
  std::ifstream status(process_dir / "stat");
  std::string pid, name, state;
  status >> pid >> name >> state;  // the program names here hold no spaces
  return state == "Z";
}

}  // namespace

bool FindFreePorts(Ports* ports) {
  std::mt19937 random(static_cast<unsigned>(getpid()) ^
                      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<unsigned> first_port(kLowestPort, kHighestPort);
  const unsigned needed = kServerPortCount + 2;  // the server ports, quarnel's heartbeat, vastrel's
  for (int attempt = 0; attempt < kPortTries; ++attempt) {
    const unsigned first = first_port(random);
    if (!PortsFree(first, needed)) continue;
    ports->server = first;
    ports->heartbeat = first + kServerPortCount;
    ports->daemon = first + kServerPortCount + 1;
    return true;
  }
  return false;
}

bool ReplaceRecordValue(std::string* text, const std::string& name, const std::string& value) {
  const std::string head = "<record name=" + name + " ";
  const std::size_t record = text->find(head);
  if (record == std::string::npos || text->find(head, record + 1) != std::string::npos) return false;
  const std::size_t value_start = text->find("value=", record);
  const std::size_t value_end = text->find('>', value_start);
  if (value_start == std::string::npos || value_end == std::string::npos) return false;
  const std::size_t first = value_start + std::string("value=").size();
  text->replace(first, value_end - first, value);
  return true;
}

std::vector<int> ProgramPids(const fs::path& program) {
  std::vector<int> pids;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code unreadable;
    const fs::path executable = fs::read_symlink(entry.path() / "exe", unreadable);
    if (unreadable || executable != program || IsZombie(entry.path())) continue;
    pids.push_back(std::stoi(name));
  }
  return pids;
}

int ThreadNamed(int pid, const std::string& name) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream comm(task.path() / "comm");
    std::string thread_name;
    if (std::getline(comm, thread_name) && thread_name == name) return std::stoi(task.path().filename().string());
  }
  return 0;
}

bool RedirectOutput(int fd, const fs::path& path) {
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
  if (file < 0) return false;
  const bool redirected = dup2(file, fd) >= 0;
  close(file);
  return redirected;
}

ClientRun RunClient(const std::string& program, const std::vector<std::string>& arguments) {
  ClientRun run;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return run;
  const pid_t child = fork();
  if (child < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return run;
  }
  if (child == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  const auto give_up = std::chrono::steady_clock::now() + kClientLimit;
  char chunk[4096];
  for (;;) {
    if (std::chrono::steady_clock::now() > give_up) {
      kill(child, SIGKILL);
      run.output += "\n(client killed: it ran past the limit)\n";
      break;
    }
    pollfd ready{pipe_fds[0], POLLIN, 0};
    if (poll(&ready, 1, kPollMilliseconds) <= 0) continue;
    const ssize_t got = read(pipe_fds[0], chunk, sizeof chunk);
    if (got <= 0) break;
    run.output.append(chunk, static_cast<std::size_t>(got));
  }
  close(pipe_fds[0]);
  int status = 0;
  if (waitpid(child, &status, 0) == child && WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  run.colour_frames = SummaryNumber(run.output, "colour frames=", "colour frames=");
  run.colour_decoded = SummaryNumber(run.output, "colour frames=", " decoded=");
  run.decode_errors = SummaryNumber(run.output, "colour frames=", " decode_errors=");
  run.disparity_frames = SummaryNumber(run.output, "disparity frames=", "disparity frames=");
  return run;
}

}  // namespace system_test
