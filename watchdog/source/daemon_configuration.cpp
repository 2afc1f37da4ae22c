// Start-up of the watchdog: configuration search and the keys of the listener and of each program.
#include "daemon_configuration.h"

#include <cstring>

#include "board/board_root.h"
#include "daemon_log.h"

namespace {

constexpr const char* kConfiguration = "default_configuration";
constexpr const char* kModule = "common_config";
constexpr const char* kEntryPrefix = "process";
constexpr const char* kBoardConfigurationFolder = "/etc/";
// Values are read into buffers of this size, terminator included.
constexpr std::uint32_t kValueBufferBytes = 4096;
constexpr std::uint32_t kIntegerBytes = 4;
constexpr std::uint32_t kSecondsToMilliseconds = 1000;
constexpr std::uint32_t kLowByteMask = 0xFF;

Result ReadInteger(ConfigurationManager* store, const std::string& path, std::int32_t* value) {
  std::uint32_t length = kIntegerBytes;
  return store->GetValue(kConfiguration, kModule, path.c_str(), RECORD_TYPE_INTEGER, value, &length);
}

Result ReadString(ConfigurationManager* store, const std::string& path, std::string* value) {
  char buffer[kValueBufferBytes] = {};
  std::uint32_t length = kValueBufferBytes;
  const Result result = store->GetValue(kConfiguration, kModule, path.c_str(), RECORD_TYPE_STRING, buffer, &length);
  if (result == RESULT_OK) *value = buffer;
  return result;
}

// Reads an integer key and prints it as unsigned.
Result ReadPrintedNumber(ConfigurationManager* store, const std::string& path, std::uint32_t* value) {
  std::int32_t number = 0;
  const Result result = ReadInteger(store, path, &number);
  if (result != RESULT_OK) return result;
  *value = static_cast<std::uint32_t>(number);
  DaemonPrint("%s=%u\n", path.c_str(), *value);
  return RESULT_OK;
}

Result ReadPrintedText(ConfigurationManager* store, const std::string& path, std::string* value) {
  const Result result = ReadString(store, path, value);
  if (result == RESULT_OK) DaemonPrint("%s=%s\n", path.c_str(), value->c_str());
  return result;
}

std::string EntryKey(std::uint32_t index, const char* key) {
  return kEntryPrefix + std::to_string(index) + "/" + key;
}

// Reads the seven keys of entry `index` in order; false at the first that fails.
bool ReadEntry(ConfigurationManager* store, std::uint32_t index, ProcessItem* entry) {
  std::uint32_t enabled = 0, check_period_s = 0, immediately = 0, reboot = 0;
  if (ReadPrintedNumber(store, EntryKey(index, "item_enable"), &enabled) != RESULT_OK) return false;
  if (ReadPrintedText(store, EntryKey(index, "process_name"), &entry->process_name) != RESULT_OK) return false;
  if (ReadPrintedText(store, EntryKey(index, "command_line"), &entry->command_line) != RESULT_OK) return false;
  if (ReadPrintedText(store, EntryKey(index, "argument"), &entry->argument) != RESULT_OK) return false;
  if (ReadPrintedNumber(store, EntryKey(index, "check_period"), &check_period_s) != RESULT_OK) return false;
  if (ReadPrintedNumber(store, EntryKey(index, "immediately_execute"), &immediately) != RESULT_OK) return false;
  if (ReadPrintedNumber(store, EntryKey(index, "reboot_machine"), &reboot) != RESULT_OK) return false;
  // Seconds to milliseconds in 32-bit arithmetic, then widened.
  entry->check_period_ms = static_cast<std::uint64_t>(check_period_s * kSecondsToMilliseconds);
  entry->next_timeout = 0;
  entry->enabled = enabled != 0 ? 1 : 0;
  entry->immediately_execute = immediately != 0 ? 1 : 0;
  entry->reboot_machine = reboot != 0 ? 1 : 0;
  entry->restart_count = 0;
  return true;
}

Result OpenInFolder(FileConfigurationManager* store, const std::string& folder) {
  const std::string default_path = folder + kDefaultConfigurationName;
  const std::string user_path = folder + kUserConfigurationName;
  DaemonPrint("DefaultConfiguration2=%s\n", default_path.c_str());
  DaemonPrint("UserConfiguration2=%s\n", user_path.c_str());
  return store->Open(default_path.c_str(), user_path.c_str());
}

}  // namespace

std::string ExecutableFolder(const std::string& program_path) {
  const std::size_t last_slash = program_path.rfind('/');
  return last_slash == std::string::npos ? std::string() : program_path.substr(0, last_slash + 1);
}

Result OpenDaemonConfiguration(FileConfigurationManager* store, const std::string& program_path) {
  if (store->Open(kDefaultConfigurationName, kUserConfigurationName) == RESULT_OK) return RESULT_OK;
  const std::string folder = ExecutableFolder(program_path);
  DaemonPrint("CurrentPath=%s\n", folder.c_str());
  if (OpenInFolder(store, folder) == RESULT_OK) return RESULT_OK;
  return OpenInFolder(store, board::MapPath(kBoardConfigurationFolder));
}

Result ReadListenerSettings(ConfigurationManager* store, ListenerSettings* settings) {
  Result result = ReadPrintedText(store, "daemon_listen_socket_addr", &settings->address);
  if (result != RESULT_OK) return result;
  result = ReadPrintedNumber(store, "daemon_listen_socket_port", &settings->port);
  if (result != RESULT_OK) return result;
  result = ReadPrintedNumber(store, "local_heartbeat_interval_in_second", &settings->interval_s);
  if (result != RESULT_OK) return result;
  return ReadPrintedNumber(store, "monitor_process_number", &settings->process_count);
}

std::vector<ProcessItem> ReadProcessEntries(ConfigurationManager* store, std::uint32_t count) {
  std::vector<ProcessItem> entries;
  for (std::uint32_t index = 1; index != 0 && index <= count; ++index) {
    ProcessItem entry;
    if (ReadEntry(store, index, &entry)) entries.push_back(std::move(entry));
  }
  return entries;
}

int ExitValueFor(Result status) {
  if (status == RESULT_OK) return 0;
  const int low_byte = static_cast<int>(static_cast<std::uint32_t>(status) & kLowByteMask);
  return low_byte != 0 ? low_byte : kExitFailureWithoutCode;
}
