// Start-up of the watchdog: configuration search and the keys of the listener and of each program.
#include "daemon_configuration.h"

#include <cstring>
#include <limits>
#include <utility>

#include "board/board_root.h"
#include "daemon_log.h"
#include "platform/configuration_checks.h"

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

// Range table: the values each numeric key accepts (entry keys by their name inside the entry).
// An entry's keys are checked only when the entry is enabled; switches accept any value, 0 is off.
constexpr double kHighestPort = 65535;
constexpr double kLongestWaitSeconds = 86400;  // a day
constexpr double kMostMonitoredPrograms = 64;
// The longest period whose milliseconds still fit the 32-bit product.
constexpr double kLongestCheckPeriodSeconds = std::numeric_limits<std::uint32_t>::max() / kSecondsToMilliseconds;
constexpr double kAnyLow = std::numeric_limits<std::int32_t>::min();
constexpr double kAnyHigh = std::numeric_limits<std::int32_t>::max();

const KeyRange kDaemonRanges[] = {
    {"daemon_listen_socket_port", 1, kHighestPort},
    {"local_heartbeat_interval_in_second", 0, kLongestWaitSeconds},  // 0: check without waiting
    {"monitor_process_number", 0, kMostMonitoredPrograms},
    {"item_enable", kAnyLow, kAnyHigh},
    {"check_period", 1, kLongestCheckPeriodSeconds},
    {"immediately_execute", kAnyLow, kAnyHigh},
    {"reboot_machine", kAnyLow, kAnyHigh},
};

// Prints why a key could not be read.
void PrintUnreadable(ConfigurationManager* store, const std::string& path, int kind) {
  DaemonPrint("%s", UnreadableKeyLine(store, kConfiguration, kModule, path.c_str(), kind).c_str());
}

// RESULT_INVALID_ARGUMENT with its one line when `value` lies outside the range of `key`.
Result CheckRange(const std::string& path, const char* key, std::int32_t value) {
  const KeyRange* range = FindKeyRange(kDaemonRanges, key);
  if (range == nullptr) return RESULT_OK;
  const std::string refusal = RangeRefusal(kModule, path.c_str(), *range, value);
  if (refusal.empty()) return RESULT_OK;
  DaemonPrint("%s", refusal.c_str());
  return RESULT_INVALID_ARGUMENT;
}

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

// Reads an integer key and prints it as unsigned; the raw value goes to *raw when asked for.
Result ReadPrintedNumber(ConfigurationManager* store, const std::string& path, std::uint32_t* value,
                         std::int32_t* raw = nullptr) {
  std::int32_t number = 0;
  const Result result = ReadInteger(store, path, &number);
  if (result != RESULT_OK) {
    PrintUnreadable(store, path, RECORD_TYPE_INTEGER);
    return result;
  }
  *value = static_cast<std::uint32_t>(number);
  if (raw != nullptr) *raw = number;
  DaemonPrint("%s=%u\n", path.c_str(), *value);
  return RESULT_OK;
}

// Reads, prints and range-checks a listener key.
Result ReadCheckedNumber(ConfigurationManager* store, const char* key, std::uint32_t* value) {
  std::int32_t raw = 0;
  const Result result = ReadPrintedNumber(store, key, value, &raw);
  return result != RESULT_OK ? result : CheckRange(key, key, raw);
}

Result ReadPrintedText(ConfigurationManager* store, const std::string& path, std::string* value) {
  const Result result = ReadString(store, path, value);
  if (result == RESULT_OK) {
    DaemonPrint("%s=%s\n", path.c_str(), value->c_str());
  } else {
    PrintUnreadable(store, path, RECORD_TYPE_STRING);
  }
  return result;
}

std::string EntryKey(std::uint32_t index, const char* key) {
  return kEntryPrefix + std::to_string(index) + "/" + key;
}

// The numeric keys of an entry, in reading order.
struct EntryNumbers {
  std::int32_t item_enable = 0, check_period = 0, immediately_execute = 0, reboot_machine = 0;
};

// Checks the numbers of an enabled entry against their ranges; a disabled entry is not validated.
Result CheckEntry(std::uint32_t index, const EntryNumbers& numbers) {
  if (numbers.item_enable == 0) return RESULT_OK;
  const std::pair<const char*, std::int32_t> checked[] = {{"item_enable", numbers.item_enable},
                                                          {"check_period", numbers.check_period},
                                                          {"immediately_execute", numbers.immediately_execute},
                                                          {"reboot_machine", numbers.reboot_machine}};
  for (const auto& key : checked) {
    const Result result = CheckRange(EntryKey(index, key.first), key.first, key.second);
    if (result != RESULT_OK) return result;
  }
  return RESULT_OK;
}

// Reads the seven keys of entry `index` in order; false at the first that fails.
bool ReadEntry(ConfigurationManager* store, std::uint32_t index, ProcessItem* entry, EntryNumbers* numbers) {
  std::uint32_t enabled = 0, check_period_s = 0, immediately = 0, reboot = 0;
  if (ReadPrintedNumber(store, EntryKey(index, "item_enable"), &enabled, &numbers->item_enable) != RESULT_OK)
    return false;
  if (ReadPrintedText(store, EntryKey(index, "process_name"), &entry->process_name) != RESULT_OK) return false;
  if (ReadPrintedText(store, EntryKey(index, "command_line"), &entry->command_line) != RESULT_OK) return false;
  if (ReadPrintedText(store, EntryKey(index, "argument"), &entry->argument) != RESULT_OK) return false;
  if (ReadPrintedNumber(store, EntryKey(index, "check_period"), &check_period_s, &numbers->check_period) != RESULT_OK)
    return false;
  if (ReadPrintedNumber(store, EntryKey(index, "immediately_execute"), &immediately,
                        &numbers->immediately_execute) != RESULT_OK)
    return false;
  if (ReadPrintedNumber(store, EntryKey(index, "reboot_machine"), &reboot, &numbers->reboot_machine) != RESULT_OK)
    return false;
  // Seconds to milliseconds in 32-bit arithmetic, then widened (the range check keeps it exact).
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
  result = ReadCheckedNumber(store, "daemon_listen_socket_port", &settings->port);
  if (result != RESULT_OK) return result;
  result = ReadCheckedNumber(store, "local_heartbeat_interval_in_second", &settings->interval_s);
  if (result != RESULT_OK) return result;
  return ReadCheckedNumber(store, "monitor_process_number", &settings->process_count);
}

Result ReadProcessEntries(ConfigurationManager* store, std::uint32_t count, std::vector<ProcessItem>* entries) {
  entries->clear();
  for (std::uint32_t index = 1; index != 0 && index <= count; ++index) {
    ProcessItem entry;
    EntryNumbers numbers;
    if (!ReadEntry(store, index, &entry, &numbers)) {
      DaemonPrint("ReadProcessEntries, %s%u skipped\n", kEntryPrefix, index);
      continue;
    }
    const Result checked = CheckEntry(index, numbers);
    if (checked != RESULT_OK) return checked;
    entries->push_back(std::move(entry));
  }
  return RESULT_OK;
}

int ExitValueFor(Result status) {
  if (status == RESULT_OK) return 0;
  const int low_byte = static_cast<int>(static_cast<std::uint32_t>(status) & kLowByteMask);
  return low_byte != 0 ? low_byte : kExitFailureWithoutCode;
}
