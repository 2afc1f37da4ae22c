// Restart actions of the watchdog: the commands that start, kill and restart a program or reboot.
#pragma once

#include <cstddef>
#include <string>

#include "process_item.h"

// The export form of a run command is formatted into a buffer of this size, terminator included.
constexpr std::size_t kRunCommandBufferBytes = 4095;
constexpr std::size_t kMaxRunCommandLength = kRunCommandBufferBytes - 1;

// The folder whose programs find their libraries without an exported library path.
// The command line cut before its last '/' (a leading '/' alone cuts nothing); empty when the
// command line holds no '/'.
std::string CommandDirectory(const std::string& command_line);

// The shell command that starts the program: the command line itself when its folder is a system
// library folder or it names no folder, otherwise "export LD_LIBRARY_PATH=<folder>;<command line>".
// False when that export form is longer than kMaxRunCommandLength: then nothing may be run, since a
// cut command could run something else. *command holds the whole text either way.
bool BuildRunCommand(const std::string& command_line, std::string* command);

// "killall -9 <process name>".
std::string KillCommand(const std::string& process_name);

// Carries out the action for a copy of an entry, by its restart count and reboot flag, printing
// each step; returns the shell status of the last command run (-1 when none could run). A kill is
// followed by a bounded wait until no process of the name is left, and a start whose program
// exits with a failure at once is retried a few times after a short pause.
int RunRestartAction(const ProcessItem& entry);
