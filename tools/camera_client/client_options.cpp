// Command line of the camera client: strict parsing of every option and command.
#include "client_options.h"

#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "pelarin/foundation.h"

namespace camera_client {
namespace {

// The client derives three more ports from the base port (image stream, control, discovery).
constexpr uint32_t kDerivedPorts = 3;
constexpr uint32_t kHighestPort = 65535;

// A whole-text decimal integer within [low, high].
bool ParseInteger(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

struct CommandShape {
  const char* name;
  CommandKind kind;
  bool needs_argument;
  bool takes_argument;
  int64_t low, high;
};

// set-time carries unsigned 32-bit seconds; the shift step is a signed 32-bit word; the direction
// value is accepted for the interface's sake (the camera only reports its direction).
constexpr CommandShape kCommandShapes[] = {
    {"version", CommandKind::kVersion, false, false, 0, 0},
    {"set-time", CommandKind::kSetTime, true, true, 0, UINT32_MAX},
    {"upgrade-reboot", CommandKind::kUpgradeReboot, false, false, 0, 0},
    {"mac", CommandKind::kMac, false, false, 0, 0},
    {"direction", CommandKind::kDirection, false, true, INT32_MIN, INT32_MAX},
    {"shift", CommandKind::kShift, true, true, INT32_MIN, INT32_MAX},
};

bool ValidAddress(const std::string& address) {
  in_addr parsed{};
  return address.size() < kAddressTextBytes && inet_pton(AF_INET, address.c_str(), &parsed) == 1;
}

}  // namespace

const char* UsageText() {
  return "usage: camera_client (--address A | --discover SECONDS) [--port P] [--seconds N] [--out DIR]\n"
         "                     [--png-every K] [--scene-check] [--command NAME[:ARG]]...\n"
         "  commands: version, set-time:<unix seconds>, upgrade-reboot, mac, direction[:<value>], shift:<step>\n";
}

bool ParseCommand(const std::string& text, CommandRequest* command, std::string* error) {
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  for (const CommandShape& shape : kCommandShapes) {
    if (name != shape.name) continue;
    command->kind = shape.kind;
    command->name = name;
    command->argument = 0;
    if (colon == std::string::npos) {
      if (!shape.needs_argument) return true;
      *error = "command " + name + " needs an argument (" + name + ":<value>)";
      return false;
    }
    if (!shape.takes_argument) {
      *error = "command " + name + " takes no argument";
      return false;
    }
    if (!ParseInteger(text.substr(colon + 1), shape.low, shape.high, &command->argument)) {
      *error = "command " + name + ": argument is not a number in range: " + text.substr(colon + 1);
      return false;
    }
    return true;
  }
  *error = "unknown command: " + name;
  return false;
}

bool ParseClientOptions(int argc, const char* const* argv, ClientOptions* options, std::string* error) {
  *options = ClientOptions{};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--scene-check") {
      options->scene_check = true;
      continue;
    }
    if (i + 1 >= argc) {
      *error = "missing value after " + option;
      return false;
    }
    const std::string value = argv[++i];
    int64_t number = 0;
    if (option == "--address") {
      if (!ValidAddress(value)) {
        *error = "not an IPv4 address: " + value;
        return false;
      }
      options->address = value;
    } else if (option == "--discover") {
      if (!ParseInteger(value, 1, INT_MAX, &number)) {
        *error = "--discover needs a positive number of seconds";
        return false;
      }
      options->discover_seconds = static_cast<int>(number);
    } else if (option == "--port") {
      if (!ParseInteger(value, 1, kHighestPort - kDerivedPorts, &number)) {
        *error = "--port needs a port from 1 to " + std::to_string(kHighestPort - kDerivedPorts);
        return false;
      }
      options->base_port = static_cast<uint32_t>(number);
    } else if (option == "--seconds") {
      if (!ParseInteger(value, 0, INT_MAX, &number)) {
        *error = "--seconds needs a number of seconds, 0 or more";
        return false;
      }
      options->seconds = static_cast<int>(number);
    } else if (option == "--out") {
      if (value.empty()) {
        *error = "--out needs a folder";
        return false;
      }
      options->out_dir = value;
    } else if (option == "--png-every") {
      if (!ParseInteger(value, 1, INT_MAX, &number)) {
        *error = "--png-every needs a positive number";
        return false;
      }
      options->png_every = static_cast<int>(number);
    } else if (option == "--command") {
      CommandRequest command;
      if (!ParseCommand(value, &command, error)) return false;
      options->commands.push_back(command);
    } else {
      *error = "unknown option: " + option;
      return false;
    }
  }
  if (options->address.empty() == (options->discover_seconds < 0)) {
    *error = "give exactly one of --address and --discover";
    return false;
  }
  return true;
}

}  // namespace camera_client
