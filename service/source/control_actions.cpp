// What the control commands do on the board: version text, clock, reboot, MAC address.
#include "control_actions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "board/properties.h"
#include "board/system_command.h"
#include "platform/network_card_manager.h"
#include "qelt_log.h"
#include "request_line_limit.h"

namespace {

constexpr const char* kLogTag = "main";
constexpr const char* kRebootCommand = "reboot";
constexpr int kTmYearBase = 1900;
constexpr unsigned long kFirstInterface = 0;

// The scheduler calls tasks as void(void*); the reboot keeps its int result, so it is wrapped.
void RebootTask(void* argument) { RebootMachine(argument); }

}  // namespace

std::size_t BuildVersionText(const char* network_version, char* text, std::size_t capacity) {
  if (text == nullptr || capacity == 0) return 0;
  std::memset(text, 0, capacity);
  char firmware[PROPERTY_VALUE_MAX] = {};
  property_get(kFirmwareProperty, firmware, "");
  std::string answer = std::string("zuq     :") + kServiceVersion + "\r\n" + "network :" +
                       (network_version != nullptr ? network_version : "") + "\r\n" + "firmware:" + firmware;
  const std::size_t length = std::min(answer.size(), capacity - 1);
  std::memcpy(text, answer.data(), length);
  return length;
}

bool FormatDateCommand(std::time_t seconds, char* command, std::size_t capacity) {
  if (command == nullptr || capacity == 0) return false;
  std::memset(command, 0, capacity);
  std::tm local = {};
  if (localtime_r(&seconds, &local) == nullptr) return false;
  const int written = std::snprintf(command, capacity, "date %02d%02d%02d%02d%04d.%02d", local.tm_mon + 1,
                                    local.tm_mday, local.tm_hour, local.tm_min, local.tm_year + kTmYearBase,
                                    local.tm_sec);
  return written > 0 && static_cast<std::size_t>(written) < capacity;
}

void SetSystemTime(std::time_t seconds, timeval* now) {
  char command[kDateCommandBytes];
  if (FormatDateCommand(seconds, command, sizeof(command))) board::RunCommand(command);
  if (now != nullptr) gettimeofday(now, nullptr);
}

int RebootMachine(void* argument) {
  (void)argument;
  return board::RunCommand(kRebootCommand);
}

void ScheduleReboot(DelayTaskScheduler* scheduler) {
  if (scheduler == nullptr) return;
  scheduler->AddTask(kRebootDelayMicroseconds, RebootTask, nullptr, nullptr);
}

bool GetMacAddress(char* text, std::size_t capacity) {
  if (text == nullptr || capacity == 0) return false;
  text[0] = '\0';
  unsigned long count = 0;
  if (RefreshNetworkCards(&count) != RESULT_OK || count == 0) {
    PrintLog(kLogTag, "GetMacAddress, query network configuration failed\n");
    return false;
  }
  const std::string mac = GetNetworkCardMac(kFirstInterface);
  if (mac.empty() || mac.size() >= capacity) return false;
  static RequestLineLimit limit(kLogTag, "MacAddress, %llu more not logged\n");
  if (limit.Allow()) PrintLog(kLogTag, "MacAddress=%s \n", mac.c_str());
  std::memcpy(text, mac.c_str(), mac.size() + 1);
  return true;
}
