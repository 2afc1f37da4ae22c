// Range refusals and the explanation of a key that could not be read, in one line format.
#include "platform/configuration_checks.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "configuration_text.h"

namespace {
constexpr const char* kLinePrefix = "Configuration, ";
// Integers up to 2^53 and the decimals of the configuration files print exactly at this precision.
constexpr const char* kNumberFormat = "%.15g";
constexpr std::size_t kNumberTextBytes = 32;
// Said instead when the words themselves cannot be allocated (short enough for the small-string buffer).
constexpr const char* kOutOfMemoryLine = "Configuration: no memory\n";

std::string NumberText(double value) {
  char text[kNumberTextBytes];
  std::snprintf(text, sizeof text, kNumberFormat, value);
  return text;
}

std::string TypeName(int kind) {
  if (kind < RECORD_TYPE_INTEGER || kind > RECORD_TYPE_CONTAINER) return "type " + std::to_string(kind);
  return std::string(configuration_text::TypeWord(static_cast<ConfigurationRecordType>(kind)));
}

std::string ModuleFault(const ConfigurationNode& configuration, const char* module) {
  const DroppedModule* dropped = configuration.FindDroppedModule(module);
  if (dropped == nullptr) return std::string("absent: module ") + module + " is absent";
  return std::string("absent: the reader dropped module ") + module + " because of its record " + dropped->fault +
         " (the reader takes name, then type integer, double, string or container in lower case, then value)";
}

// What was wrong with the key, in words.
std::string KeyFault(ConfigurationManager* store, const char* configuration, const char* module,
                     const char* record_path, int kind) {
  ConfigurationNode* found_configuration = nullptr;
  if (store->GetConfiguration(configuration, &found_configuration) != RESULT_OK) {
    return std::string("absent: configuration ") + (configuration != nullptr ? configuration : "") +
           " is absent or was dropped by the reader";
  }
  ModuleNode* found_module = nullptr;
  if (found_configuration->FindModule(module, &found_module) != RESULT_OK) {
    return ModuleFault(*found_configuration, module);
  }
  RecordNode* record = nullptr;
  if (found_module->FindRecordByPath(record_path, &record) != RESULT_OK) return "absent";
  if (record->type() != kind) return "of type " + TypeName(record->type()) + ", expected " + TypeName(kind);
  if (record->value().empty()) return "empty value";
  return "value cannot be read";
}
}  // namespace

const KeyRange* FindKeyRange(const KeyRange* table, std::size_t count, const char* key) {
  if (table == nullptr || key == nullptr) return nullptr;
  for (std::size_t index = 0; index < count; ++index) {
    if (std::strcmp(table[index].key, key) == 0) return &table[index];
  }
  return nullptr;
}

std::string RangeRefusal(const char* module, const char* record_path, const KeyRange& range, double value) {
  if (value >= range.minimum && value <= range.maximum) return std::string();
  try {
    return std::string(kLinePrefix) + module + "/" + record_path + "=" + NumberText(value) +
           " is out of range, accepted " + NumberText(range.minimum) + " to " + NumberText(range.maximum) + "\n";
  } catch (const std::bad_alloc&) {
    return kOutOfMemoryLine;
  }
}

std::string UnreadableKeyLine(ConfigurationManager* store, const char* configuration, const char* module,
                              const char* record_path, int kind) {
  if (store == nullptr || module == nullptr || record_path == nullptr) return std::string();
  try {
    return std::string(kLinePrefix) + module + "/" + record_path + ": " +
           KeyFault(store, configuration, module, record_path, kind) + "\n";
  } catch (const std::bad_alloc&) {
    return kOutOfMemoryLine;
  }
}
