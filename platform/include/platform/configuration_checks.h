// The words both programs use when a configuration value cannot be used: the range each numeric
// key accepts, and why a key could not be read.
#pragma once

#include <cstddef>
#include <string>

#include "platform/configuration_manager.h"

// The values a numeric key accepts, both ends included. A program keeps one table of these beside
// each loader; a key without a row (a text) is not range-checked.
struct KeyRange {
  const char* key;
  double minimum;
  double maximum;
};

// The row for `key` in a table of `count` rows, or null.
const KeyRange* FindKeyRange(const KeyRange* table, std::size_t count, const char* key);

template <std::size_t Count>
const KeyRange* FindKeyRange(const KeyRange (&table)[Count], const char* key) {
  return FindKeyRange(table, Count, key);
}

// Empty when `value` lies inside the range; otherwise the one refusal line, ending in a newline:
// "Configuration, <module>/<record_path>=<value> is out of range, accepted <minimum> to <maximum>".
std::string RangeRefusal(const char* module, const char* record_path, const KeyRange& range, double value);

// The line that says why `record_path` of `module` could not be read as a value of `kind`:
// absent (and, when the reader dropped the whole module, which record made it do so), of another
// type, or empty. "Configuration, <module>/<record_path>: <what was wrong>", ending in a newline.
std::string UnreadableKeyLine(ConfigurationManager* store, const char* configuration, const char* module,
                              const char* record_path, int kind);
