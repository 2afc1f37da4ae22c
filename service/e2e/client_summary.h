// The summary and reply lines that the client program prints, read back into numbers for tests.
#pragma once

#include <map>
#include <optional>
#include <string>

struct ColourSummary {
  long frames = 0;
  long decoded = 0;
  long decode_errors = 0;
  long lost = 0;
  double fps = 0.0;
};

struct DisparitySummary {
  long frames = 0;
  long lost = 0;
  double fps = 0.0;
};

struct LatencySummary {
  double median_ms = 0.0;
  double worst_ms = 0.0;
};

struct SceneSummary {
  long frames = 0;
  double within_one_level_percent = 0.0;
};

// What one run of the client printed; a line that is absent or malformed leaves its member empty.
struct ClientSummary {
  std::optional<ColourSummary> colour;
  std::optional<DisparitySummary> disparity;
  std::optional<LatencySummary> latency;
  std::optional<SceneSummary> scene;
  std::map<std::string, std::string> replies;  // command name -> the text after "reply NAME: "
  std::map<std::string, int> discovered;       // device address -> device type
};

ClientSummary ParseClientOutput(const std::string& output);

// True when the reply text of a command reports an answer, not "failed rc=<code>".
bool ReplyAnswered(const ClientSummary& summary, const std::string& command);
