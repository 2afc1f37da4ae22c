// What the control commands do on the board: version text, clock, reboot, MAC address.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <ctime>

#include "platform/delay_task_scheduler.h"
#include "platform/result.h"

constexpr const char* kServiceVersion = "1.1.0.20190705";
constexpr const char* kFirmwareProperty = "ro.quenlivark.product.all";
constexpr std::size_t kVersionTextBytes = 4096;
constexpr std::size_t kDateCommandBytes = 1024;
// Delay of the reboot task that command 13 adds.
constexpr std::uint64_t kRebootDelayMicroseconds = 1000000;
// Capacity for the MAC text: 12 hexadecimal digits and the terminator.
constexpr std::size_t kMacTextBytes = 13;

// The version answer: "zuq     :" service version, "network :" `network_version`, "firmware:" the
// firmware property (empty when unset), each line ended by "\r\n", into a zero-filled buffer cut
// to `capacity` - 1 characters. Returns the text's length.
std::size_t BuildVersionText(const char* network_version, char* text, std::size_t capacity);

// "date MMDDhhmmYYYY.ss" for the local time of `seconds`. False when the time cannot be converted.
bool FormatDateCommand(std::time_t seconds, char* command, std::size_t capacity);
// Runs the date command for `seconds` through the board's command runner, then reads the time of
// day into `now`. The command's result is not examined.
void SetSystemTime(std::time_t seconds, timeval* now);

// Reboots through the board's command runner; system()'s result.
int RebootMachine(void* argument);
// Adds the reboot as a delay task due about one second from now.
void ScheduleReboot(DelayTaskScheduler* scheduler);

// The first network interface's MAC text into `text` (capacity at least kMacTextBytes); the text is
// left empty when no interface is listed. False when nothing was written.
bool GetMacAddress(char* text, std::size_t capacity);
