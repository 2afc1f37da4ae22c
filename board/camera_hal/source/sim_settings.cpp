// Settings of the simulated cameras: a key=value file under the board root.
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "board/board_root.h"
#include "board/sim_camera.h"

namespace simcam {
namespace {

constexpr const char* kSettingsFile = "/system/etc/sim_camera.conf";

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  for (std::string item; std::getline(stream, item, ',');) {
    item = Trim(item);
    if (!item.empty()) items.push_back(item);
  }
  return items;
}

bool ParseInt64(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool ParseInt(const std::string& text, int* value) {
  int64_t wide = 0;
  if (!ParseInt64(text, &wide) || wide < INT32_MIN || wide > INT32_MAX) return false;
  *value = static_cast<int>(wide);
  return true;
}

bool ParseDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return *end == '\0';
}

bool ParseNumber(const std::string& text, int64_t* value) { return ParseInt64(text, value); }
bool ParseNumber(const std::string& text, double* value) { return ParseDouble(text, value); }

// "key:value,key:value" pairs, as the brightness schedule, the lighting and the fixed command
// answers use; Key is the key's type (whole frames and commands, or seconds).
template <typename Key, typename Store>
bool ParsePairs(const std::string& text, Store store) {
  for (const std::string& item : SplitList(text)) {
    const size_t colon = item.find(':');
    if (colon == std::string::npos) return false;
    Key key{};
    double value = 0;
    if (!ParseNumber(Trim(item.substr(0, colon)), &key) || !ParseDouble(Trim(item.substr(colon + 1)), &value))
      return false;
    store(key, value);
  }
  return true;
}

// Lighting points: times from zero on, never going back, levels not negative.
bool ValidLighting(const std::vector<LightingPoint>& lighting) {
  for (size_t i = 0; i < lighting.size(); ++i) {
    if (lighting[i].seconds < 0 || lighting[i].level < 0) return false;
    if (i > 0 && lighting[i].seconds < lighting[i - 1].seconds) return false;
  }
  return true;
}

bool ApplySetting(const std::string& key, const std::string& value, Settings* s) {
  int64_t wide = 0;
  if (key == "frame_rate") return ParseInt(value, &s->frame_rate) && s->frame_rate > 0;
  if (key == "reported_cameras") return ParseInt(value, &s->reported_cameras);
  if (key == "manual") return ParseInt64(value, &wide) && ((s->manual = wide != 0), true);
  if (key == "statistics") return ParseInt64(value, &wide) && ((s->statistics = wide != 0), true);
  if (key == "content") {
    s->content = value;
    return value == "scene" || value == "files";
  }
  if (key == "left_files") return (s->left_files = SplitList(value), true);
  if (key == "right_files") return (s->right_files = SplitList(value), true);
  if (key == "stamp_skew_us") return ParseInt64(value, &s->stamp_skew_us);
  if (key == "delay_camera") return ParseInt(value, &s->delay_camera);
  if (key == "delay_us") return ParseInt64(value, &s->delay_us) && s->delay_us >= 0;
  if (key == "stamp_jitter_us") return ParseInt64(value, &s->stamp_jitter_us) && s->stamp_jitter_us >= 0;
  if (key == "seed") return ParseInt64(value, &wide) && ((s->seed = static_cast<uint32_t>(wide)), true);
  if (key == "silent_camera") return ParseInt(value, &s->silent_camera);
  if (key == "drop_camera") return ParseInt(value, &s->drop_camera);
  if (key == "drop_every") return ParseInt(value, &s->drop_every) && s->drop_every >= 0;
  if (key == "stall_camera") return ParseInt(value, &s->stall_camera);
  if (key == "stall_after") return ParseInt64(value, &wide) && wide >= 0 && ((s->stall_after = wide), true);
  if (key == "gain_min") return ParseInt(value, &s->gain_min);
  if (key == "gain_max") return ParseInt(value, &s->gain_max);
  if (key == "gain_step") return ParseInt(value, &s->gain_step);
  if (key == "time_min") return ParseInt(value, &s->time_min);
  if (key == "time_max") return ParseInt(value, &s->time_max);
  if (key == "time_step") return ParseInt(value, &s->time_step);
  if (key == "initial_gain") return ParseInt(value, &s->initial_gain);
  if (key == "initial_time") return ParseInt(value, &s->initial_time);
  if (key == "reference_ev") return ParseDouble(value, &s->reference_ev);
  if (key == "brightness_schedule") {
    s->brightness_schedule.clear();
    const bool ok = ParsePairs<int64_t>(value, [s](int64_t frame, double brightness) {
      s->brightness_schedule.push_back({static_cast<uint64_t>(frame), brightness});
    });
    return ok && !s->brightness_schedule.empty();
  }
  if (key == "lighting") {
    s->lighting.clear();
    const bool ok = ParsePairs<double>(value, [s](double seconds, double level) {
      s->lighting.push_back({seconds, level});
    });
    return ok && ValidLighting(s->lighting);
  }
  if (key == "fail_open_camera") return ParseInt(value, &s->fail_open_camera);
  if (key == "fail_parameters_camera") return ParseInt(value, &s->fail_parameters_camera);
  if (key == "fail_start_camera") return ParseInt(value, &s->fail_start_camera);
  if (key == "fail_info_camera") return ParseInt(value, &s->fail_info_camera);
  if (key == "command_answers") {
    return ParsePairs<int64_t>(value, [s](int64_t command, double answer) {
      s->command_answers[static_cast<int32_t>(command)] = static_cast<int32_t>(answer);
    });
  }
  return false;
}

}  // namespace

std::string SettingsPath() { return board::MapPath(kSettingsFile); }

bool LoadSettings(const std::string& path, Settings* settings, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open " + path;
    return false;
  }
  int line_number = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    const std::string key = Trim(line.substr(0, equals));
    const std::string value = equals == std::string::npos ? std::string() : Trim(line.substr(equals + 1));
    if (equals == std::string::npos || !ApplySetting(key, value, settings)) {
      *error = path + ":" + std::to_string(line_number) + ": bad setting '" + line + "'";
      return false;
    }
  }
  return true;
}

}  // namespace simcam
