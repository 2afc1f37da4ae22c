// Start-up of the watchdog: finding its configuration files and reading the listener and program entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_configuration_manager.h"
#include "platform/result.h"
#include "process_item.h"

constexpr const char* kDefaultConfigurationName = "default_video_stereo_daemon_configuration.xml";
constexpr const char* kUserConfigurationName = "user_video_stereo_daemon_configuration.xml";

// The listener's keys.
struct ListenerSettings {
  std::string address;
  std::uint32_t port = 0;
  std::uint32_t interval_s = 0;
  std::uint32_t process_count = 0;
};

// The folder of a program path with its trailing '/', or empty when the path has no '/'.
std::string ExecutableFolder(const std::string& program_path);

// Opens the two configuration files from the working folder, then the folder of `program_path`
// (this program's file, empty when unknown), then the board's "/etc/"; the last try's status
// when none opens.
Result OpenDaemonConfiguration(FileConfigurationManager* store, const std::string& program_path);

// Reads the four listener keys, printing each; the first failing key's status, after a line that
// says what was wrong with it. A value outside its range is RESULT_INVALID_ARGUMENT, with one line.
Result ReadListenerSettings(ConfigurationManager* store, ListenerSettings* settings);

// Reads entries 1 to count into *entries. An entry with a key that cannot be read is dropped,
// with a line naming the key and one saying the entry was skipped; an enabled entry with a value
// outside its range ends the reading with RESULT_INVALID_ARGUMENT and its one line.
Result ReadProcessEntries(ConfigurationManager* store, std::uint32_t count, std::vector<ProcessItem>* entries);

// The exit value of the program for a status: 0 only for success. A failure keeps its low byte
// as before, or kExitFailureWithoutCode when that byte is 0, so no failure exits with 0.
constexpr int kExitFailureWithoutCode = 255;
int ExitValueFor(Result status);
