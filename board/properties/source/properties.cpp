// Property service stand-in: looks properties up in the board root's property file.
#include "board/properties.h"

#include "board/board_root.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr const char* kBlanks = " \t\r";

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// The value of the first line that sets `key`; false when no line does. Blank lines and lines
// starting with '#' are skipped; blanks around the key and the value do not count.
bool FindProperty(const std::string& key, std::string* value) {
  std::ifstream file(board::MapPath(PROPERTY_FILE));
  std::string line;
  while (std::getline(file, line)) {
    std::string text = Trimmed(line);
    if (text.empty() || text[0] == '#') continue;
    size_t equals = text.find('=');
    if (equals == std::string::npos || Trimmed(text.substr(0, equals)) != key) continue;
    *value = Trimmed(text.substr(equals + 1));
    return true;
  }
  return false;
}

int CopyOut(const char* text, size_t length, char* value) {
  length = std::min<size_t>(length, PROPERTY_VALUE_MAX - 1);
  std::memcpy(value, text, length);
  value[length] = '\0';
  return static_cast<int>(length);
}

}  // namespace

extern "C" int property_get(const char* key, char* value, const char* default_value) {
  if (key == nullptr || value == nullptr) return -1;
  std::string found;
  if (key[0] != '\0' && FindProperty(key, &found) && found.size() < PROPERTY_VALUE_MAX) {
    return CopyOut(found.data(), found.size(), value);
  }
  if (default_value == nullptr) return CopyOut("", 0, value);
  return CopyOut(default_value, std::strlen(default_value), value);
}
