// System commands: word splitting and board path mapping of shell command lines.
#include "command_words.h"

#include "board/system_command.h"

#include <array>
#include <cctype>
#include <cstring>

namespace board {
namespace {

// The board's own top-level folders; any other absolute path names this machine's file.
constexpr std::array<const char*, 5> kBoardFolders = {"/data", "/system", "/proc", "/etc", "/vendor"};

// Characters after which a path may begin inside a command line.
constexpr const char* kPathStarters = " \t\n;&|<>=()'\"`:";

bool IsWordCharacter(char c) {
  return c != '\0' && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_./+-,@%~", c) != nullptr);
}

// Length of the board folder that begins at `at`, or 0.
size_t BoardFolderAt(const std::string& command, size_t at) {
  for (const char* folder : kBoardFolders) {
    size_t length = std::strlen(folder);
    if (command.compare(at, length, folder) != 0) continue;
    size_t after = at + length;
    if (after == command.size() || command[after] == '/' || !IsWordCharacter(command[after])) return length;
  }
  return 0;
}

}  // namespace

std::vector<std::string> CommandWords(const std::string& command) {
  std::vector<std::string> words;
  std::string current;
  for (char c : command) {
    if (IsWordCharacter(c)) {
      current += c;
    } else if (!current.empty()) {
      words.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) words.push_back(current);
  return words;
}

std::string BaseName(const std::string& word) {
  size_t slash = word.find_last_of('/');
  return slash == std::string::npos ? word : word.substr(slash + 1);
}

bool HasShellSyntax(const std::string& command) {
  return command.find_first_of(";&|<>()$`'\"\\*?[]{}!#\n") != std::string::npos;
}

std::string MapCommandPaths(const std::string& command, const std::string& root) {
  std::string base = root;
  while (!base.empty() && base.back() == '/') base.pop_back();
  std::string mapped;
  for (size_t i = 0; i < command.size(); ++i) {
    bool may_start = i == 0 || (command[i - 1] != '\0' && std::strchr(kPathStarters, command[i - 1]) != nullptr);
    if (command[i] == '/' && may_start && BoardFolderAt(command, i) != 0) mapped += base;
    mapped += command[i];
  }
  return mapped;
}

}  // namespace board
