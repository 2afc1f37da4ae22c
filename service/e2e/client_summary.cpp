// Reads the client program's summary, reply and discovery lines with fixed patterns.
#include "client_summary.h"

#include <regex>
#include <sstream>

namespace {

const std::regex kColourLine(
    R"(^colour frames=(\d+) decoded=(\d+) decode_errors=(\d+) lost=(\d+) fps=(\d+\.\d+)\s*$)");
const std::regex kDisparityLine(R"(^disparity frames=(\d+) lost=(\d+) fps=(\d+\.\d+)\s*$)");
const std::regex kLatencyLine(R"(^latency median_ms=(\d+\.\d+) worst_ms=(\d+\.\d+)\s*$)");
const std::regex kSceneLine(R"(^scene frames=(\d+) within_one_level=(\d+\.\d+)%\s*$)");
const std::regex kReplyLine(R"(^reply ([a-z-]+): (.*?)\s*$)");
const std::regex kDeviceLine(R"(^device (\S+) type (\d+)\s*$)");
const std::string kFailedReply = "failed rc=";

long Whole(const std::ssub_match& text) { return std::stol(text.str()); }
double Decimal(const std::ssub_match& text) { return std::stod(text.str()); }

void ReadLine(const std::string& line, ClientSummary* summary) {
  std::smatch m;
  if (std::regex_match(line, m, kColourLine)) {
    summary->colour = ColourSummary{Whole(m[1]), Whole(m[2]), Whole(m[3]), Whole(m[4]), Decimal(m[5])};
  } else if (std::regex_match(line, m, kDisparityLine)) {
    summary->disparity = DisparitySummary{Whole(m[1]), Whole(m[2]), Decimal(m[3])};
  } else if (std::regex_match(line, m, kLatencyLine)) {
    summary->latency = LatencySummary{Decimal(m[1]), Decimal(m[2])};
  } else if (std::regex_match(line, m, kSceneLine)) {
    summary->scene = SceneSummary{Whole(m[1]), Decimal(m[2])};
  } else if (std::regex_match(line, m, kReplyLine)) {
    summary->replies[m[1].str()] = m[2].str();
  } else if (std::regex_match(line, m, kDeviceLine)) {
    summary->discovered.emplace(m[1].str(), static_cast<int>(Whole(m[2])));
  }
}

}  // namespace

ClientSummary ParseClientOutput(const std::string& output) {
  ClientSummary summary;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) ReadLine(line, &summary);
  return summary;
}

bool ReplyAnswered(const ClientSummary& summary, const std::string& command) {
  const auto reply = summary.replies.find(command);
  return reply != summary.replies.end() && reply->second.compare(0, kFailedReply.size(), kFailedReply) != 0;
}
