// The control commands of the camera: request, decode, one reply line per command.
#include "control_commands.h"

#include <cstdint>
#include <vector>

#include "pelarin/ctrlmsg.h"

namespace camera_client {
namespace {

// Room for the longest text reply a control reply can carry (the reply record's payload).
constexpr unsigned kTextReplyCapacity = 4096;
// Upgrade control word that asks the camera to reboot for the upgrade.
constexpr int kUpgradeReboot = 0;
// set-time sends three words; the camera reads the second as the new time.
constexpr unsigned kSetTimeUnusedWord = 0;

// Text reply of a request function that fills a buffer of `capacity` bytes (kept terminated).
template <typename Request>
int TextRequest(Request request, const char* address, std::string* text) {
  std::vector<char> buffer(kTextReplyCapacity + 1, '\0');
  const int rc = request(address, buffer.data(), kTextReplyCapacity);
  *text = buffer.data();
  return rc;
}

std::string Answer(int rc, const std::string& name, const std::string& fields, CommandOutcome* outcome) {
  outcome->answered = rc == 0;
  return "reply " + name + ": " + (rc == 0 ? fields : "failed rc=" + std::to_string(rc));
}

}  // namespace

std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      line += " | ";
    } else {
      line += c;
    }
  }
  const std::string separator = " | ";
  while (line.size() >= separator.size() && line.compare(line.size() - separator.size(), separator.size(), separator) == 0)
    line.resize(line.size() - separator.size());
  return line;
}

CommandOutcome RunCommand(const char* address, const CommandRequest& command) {
  CommandOutcome outcome;
  int rc = 0;
  std::string fields;
  switch (command.kind) {
    case CommandKind::kVersion: {
      std::string text;
      rc = TextRequest(QeltGetVersion, address, &text);
      fields = "version=" + OneLine(text);
      break;
    }
    case CommandKind::kMac: {
      std::string text;
      rc = TextRequest(QeltGetMacAddress, address, &text);
      fields = "mac=" + text;
      break;
    }
    case CommandKind::kSetTime: {
      unsigned seconds = 0, microseconds = 0;
      rc = QeltSetSystemTime(address, kSetTimeUnusedWord, static_cast<unsigned>(command.argument), kSetTimeUnusedWord,
                             &seconds, &microseconds);
      fields = "seconds=" + std::to_string(seconds) + " microseconds=" + std::to_string(microseconds);
      break;
    }
    case CommandKind::kUpgradeReboot: {
      std::vector<uint8_t> reply(kTextReplyCapacity);
      unsigned length = static_cast<unsigned>(reply.size());
      const uint8_t no_data = 0;
      rc = QeltUpgradeControlCommand(address, kUpgradeReboot, &no_data, 0, reply.data(), &length);
      // An empty answer leaves the length at the capacity: only a non-empty one is counted.
      fields = length < reply.size() ? "result=0 bytes=" + std::to_string(length) : "result=0";
      break;
    }
    case CommandKind::kDirection: {
      unsigned direction = 0;
      rc = QeltGetZuqDirection(address, &direction);
      fields = "direction=" + std::to_string(direction);
      break;
    }
    case CommandKind::kShift: {
      unsigned value = 0;
      rc = QeltAdjustZuqDisparityShift(address, static_cast<int>(command.argument), &value);
      // The camera answers the new offset in tenths as a signed word.
      fields = "value=" + std::to_string(static_cast<int32_t>(value));
      break;
    }
  }
  outcome.line = Answer(rc, command.name, fields, &outcome);
  return outcome;
}

}  // namespace camera_client
