// One monitored program of the watchdog's process table.
#pragma once

#include <cstdint>
#include <string>

struct ProcessItem {
  std::string process_name;  // matched against each heartbeat's name; given to killall
  std::string command_line;  // shell command that starts the program
  std::string argument;      // kept from the configuration; no action uses it
  std::uint64_t check_period_ms = 0;
  // Deadline in whole seconds of the daemon's monotonic clock.
  std::uint64_t next_timeout = 0;
  std::uint8_t enabled = 0;
  std::uint8_t reboot_machine = 0;
  std::uint8_t immediately_execute = 0;
  // Number of actions started for the entry so far.
  std::int32_t restart_count = 0;
};
