// System commands: runs shell commands against the board root, never against this machine.
#include "board/system_command.h"

#include "board/board_root.h"
#include "board_kill.h"
#include "command_words.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace board {
namespace {

constexpr const char* kShell = "/bin/sh";
constexpr const char* kFallbackPath = "/usr/local/bin:/usr/bin:/bin";

// Programs the board root stands in for with fakes that only log their call.
constexpr std::array<const char*, 2> kFakedPrograms = {"date", "reboot"};
// Programs that would change this machine's clock or power state; never run.
constexpr std::array<const char*, 6> kForbiddenPrograms = {"shutdown", "halt", "poweroff",
                                                           "hwclock", "timedatectl", "systemctl"};
constexpr std::array<const char*, 2> kKillByName = {"killall", "pkill"};

template <size_t N>
bool IsOneOf(const std::string& word, const std::array<const char*, N>& names) {
  return std::any_of(names.begin(), names.end(), [&](const char* name) { return word == name; });
}

// The root must survive being pasted into a command line unquoted.
bool IsSafeRoot(const std::string& root) {
  if (root.size() < 2 || root[0] != '/') return false;
  return std::all_of(root.begin(), root.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._+-", c) != nullptr;
  });
}

bool IsExecutable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

// Why the command may not run, or empty when it may.
std::string RefusalReason(const std::string& command, const std::string& root) {
  for (const std::string& word : CommandWords(command)) {
    std::string name = BaseName(word);
    if (IsOneOf(name, kForbiddenPrograms)) return "\"" + name + "\" is never run on this machine";
    if (IsOneOf(name, kKillByName)) return "kill by name only as a whole killall or pkill command";
    if (!IsOneOf(name, kFakedPrograms)) continue;
    // A bare name runs the fake first on PATH; a board path runs the board root's file.
    std::string runs = word.find('/') == std::string::npos ? root + "/bin/" + word
                                                            : MapCommandPaths(word, root);
    if (runs.rfind(root + "/", 0) != 0 || !IsExecutable(runs)) {
      return "no fake \"" + name + "\" in the board root";
    }
  }
  return {};
}

std::vector<std::string> ChildEnvironment(const std::string& root) {
  std::string path = kFallbackPath;
  std::vector<std::string> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (text.rfind("PATH=", 0) == 0) {
      path = text.substr(std::strlen("PATH="));
    } else if (text.rfind("BOARD_ROOT=", 0) != 0) {
      entries.push_back(text);
    }
  }
  entries.push_back("PATH=" + root + "/bin:" + path);
  entries.push_back("BOARD_ROOT=" + root);
  return entries;
}

int RunShell(const std::string& command, const std::string& root) {
  std::vector<std::string> environment = ChildEnvironment(root);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string shell = kShell, flag = "-c", text = command;
  char* argv[] = {shell.data(), flag.data(), text.data(), nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, kShell, nullptr, nullptr, argv, envp.data()) != 0) return kCommandRefused;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return kCommandRefused;
  }
  return status;
}

}  // namespace

int RunCommand(const std::string& command) {
  std::string root = Root();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!IsSafeRoot(root)) {
    std::fprintf(stderr, "board: refused \"%s\": board root \"%s\" is not a plain path\n",
                 command.c_str(), root.c_str());
    return kCommandRefused;
  }
  std::vector<std::string> words = CommandWords(command);
  if (!words.empty() && IsOneOf(BaseName(words[0]), kKillByName) && !HasShellSyntax(command)) {
    return RunBoardKill(words, root);
  }
  std::string reason = RefusalReason(command, root);
  if (!reason.empty()) {
    std::fprintf(stderr, "board: refused \"%s\": %s\n", command.c_str(), reason.c_str());
    return kCommandRefused;
  }
  return RunShell(MapCommandPaths(command, root), root);
}

}  // namespace board
