// System commands: kill by name limited to the processes of one board root.
#include "board_kill.h"

#include "board/system_command.h"
#include "command_words.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace board {
namespace {

// The kernel keeps a process's command name to this many characters.
constexpr size_t kCommandNameLength = 15;
constexpr int kNoProcessFoundStatus = 1 << 8;  // exit status 1, as a wait status
constexpr int kNoSignal = -1;

const std::map<std::string, int>& SignalNames() {
  static const std::map<std::string, int> names = {
      {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"KILL", SIGKILL},
      {"TERM", SIGTERM}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"STOP", SIGSTOP},
      {"CONT", SIGCONT}};
  return names;
}

// A signal given as a number or a name with or without "SIG"; kNoSignal when it is neither.
// Signal 0 sends nothing: "killall -0 NAME" only tells whether a process of that name is left.
int ParseSignal(std::string text) {
  if (!text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    int number = std::atoi(text.c_str());
    return number >= 0 && number < NSIG ? number : kNoSignal;
  }
  if (text.rfind("SIG", 0) == 0) text = text.substr(3);
  auto found = SignalNames().find(text);
  return found == SignalNames().end() ? kNoSignal : found->second;
}

// The whole content of a small /proc file; empty when it cannot be read (the process may have
// ended meanwhile).
std::string ReadWhole(const std::string& path) {
  std::string content;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) content.append(chunk, static_cast<size_t>(got));
  close(fd);
  return got < 0 ? std::string() : content;
}

// True when the NUL-separated list holds exactly `entry`.
bool HoldsEntry(const std::string& list, const std::string& entry) {
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find('\0', start);
    if (end == std::string::npos) end = list.size();
    if (list.compare(start, end - start, entry) == 0) return true;
    start = end + 1;
  }
  return false;
}

bool NameMatches(const std::string& process_dir, const std::string& name) {
  std::string command_name = ReadWhole(process_dir + "/comm");
  if (!command_name.empty() && command_name.back() == '\n') command_name.pop_back();
  if (name.size() <= kCommandNameLength && command_name == name) return true;
  std::string arguments = ReadWhole(process_dir + "/cmdline");
  std::string program = arguments.substr(0, arguments.find('\0'));
  return !program.empty() && BaseName(program) == name;
}

bool BelongsToRoot(const std::string& process_dir, const std::string& root) {
  if (HoldsEntry(ReadWhole(process_dir + "/environ"), "BOARD_ROOT=" + root)) return true;
  char target[4096];
  ssize_t length = readlink((process_dir + "/exe").c_str(), target, sizeof target - 1);
  if (length <= 0) return false;
  std::string program(target, static_cast<size_t>(length));
  std::string prefix = root.back() == '/' ? root : root + "/";
  return program.rfind(prefix, 0) == 0;
}

// A process whose first thread has ended while others still run (being torn down after a kill,
// say) shows an empty environment and no program there: its other threads tell.
bool AnyThreadBelongsToRoot(const std::string& process_dir, const std::string& root) {
  if (BelongsToRoot(process_dir, root)) return true;
  DIR* threads = opendir((process_dir + "/task").c_str());
  if (threads == nullptr) return false;
  bool belongs = false;
  while (dirent* entry = readdir(threads)) {
    if (entry->d_name[0] == '.') continue;
    if (BelongsToRoot(process_dir + "/task/" + entry->d_name, root)) {
      belongs = true;
      break;
    }
  }
  closedir(threads);
  return belongs;
}

}  // namespace

std::vector<int> BoardProcessesNamed(const std::string& name, const std::string& root) {
  std::vector<int> found;
  if (name.empty() || root.empty()) return found;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return found;
  const int self = static_cast<int>(getpid());
  while (dirent* entry = readdir(processes)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    std::string dir = std::string("/proc/") + entry->d_name;
    if (NameMatches(dir, name) && AnyThreadBelongsToRoot(dir, root)) found.push_back(static_cast<int>(pid));
  }
  closedir(processes);
  return found;
}

int RunBoardKill(const std::vector<std::string>& words, const std::string& root) {
  if (words.empty()) return kCommandRefused;
  int signal_number = SIGTERM;
  std::vector<std::string> names;
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "-s" || word == "--signal") {
      if (++i == words.size() || (signal_number = ParseSignal(words[i])) == kNoSignal) return kCommandRefused;
    } else if (word.size() > 1 && word[0] == '-') {
      if ((signal_number = ParseSignal(word.substr(1))) == kNoSignal) return kCommandRefused;
    } else {
      names.push_back(word);
    }
  }
  bool is_pkill = BaseName(words[0]) == "pkill";
  if (names.empty() || (is_pkill && names.size() != 1)) return kCommandRefused;

  bool every_name_signalled = true;
  for (const std::string& name : names) {
    bool signalled = false;
    for (int pid : BoardProcessesNamed(name, root)) {
      if (kill(pid, signal_number) == 0) signalled = true;
    }
    if (!signalled && !is_pkill) std::fprintf(stderr, "%s: no process found\n", name.c_str());
    every_name_signalled = every_name_signalled && signalled;
  }
  return every_name_signalled ? 0 : kNoProcessFoundStatus;
}

}  // namespace board
