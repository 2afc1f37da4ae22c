// Command line of the camera client: where the camera is, how long to stream, what to write and
// which control commands to send.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace camera_client {

// Exit status of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadArguments = 2;
constexpr int kExitNoCamera = 3;

constexpr uint32_t kDefaultBasePort = 9000;
constexpr int kDefaultSeconds = 10;
constexpr int kDefaultPngEvery = 20;
constexpr const char* kDefaultOutDir = "out";

// The control commands the camera answers, by the names the command line uses.
enum class CommandKind { kVersion, kSetTime, kUpgradeReboot, kMac, kDirection, kShift };

struct CommandRequest {
  CommandKind kind = CommandKind::kVersion;
  std::string name;       // as given before any ':'
  int64_t argument = 0;   // the number after ':' where the command takes one
};

struct ClientOptions {
  std::string address;        // empty with discovery
  int discover_seconds = -1;  // -1: no discovery
  uint32_t base_port = kDefaultBasePort;
  int seconds = kDefaultSeconds;
  std::string out_dir = kDefaultOutDir;
  int png_every = kDefaultPngEvery;
  bool scene_check = false;
  std::vector<CommandRequest> commands;
};

// Reads argv[1..]; false with a one-line reason in *error for anything not valid.
bool ParseClientOptions(int argc, const char* const* argv, ClientOptions* options, std::string* error);
// Reads one --command value (NAME or NAME:ARG); false with a reason for an unknown name, a
// missing or extra argument, or an argument that is not a number in range.
bool ParseCommand(const std::string& text, CommandRequest* command, std::string* error);

const char* UsageText();

}  // namespace camera_client
