// The control commands of the camera sent through the library's request functions, each turned
// into one printable reply line.
#pragma once

#include <string>

#include "client_options.h"

namespace camera_client {

struct CommandOutcome {
  bool answered = false;  // the request function returned 0
  std::string line;       // "reply <NAME>: <decoded fields>" or "reply <NAME>: failed rc=<code>"
};

// Sends one command to the camera at `address` (already connected) and waits for its reply.
CommandOutcome RunCommand(const char* address, const CommandRequest& command);

// A reply text on one line: carriage returns dropped, line breaks shown as " | ", trailing ones cut.
std::string OneLine(const std::string& text);

}  // namespace camera_client
