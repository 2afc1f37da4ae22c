// System commands: the words of a shell command line, as far as the runner needs to see them.
#pragma once

#include <string>
#include <vector>

namespace board {

// The words of a command: runs of characters that can form a program name or path, split at
// blanks, quotes, '=', and every shell operator.
std::vector<std::string> CommandWords(const std::string& command);

// The last path component of a word.
std::string BaseName(const std::string& word);

// True when the command holds shell syntax beyond plain words (operators, substitutions,
// redirections, quotes, globs).
bool HasShellSyntax(const std::string& command);

}  // namespace board
