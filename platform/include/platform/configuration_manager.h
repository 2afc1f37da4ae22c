// The configuration store: the configuration text and the tree parsed from it, with path lookup and values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/configuration_nodes.h"
#include "platform/memory_manager.h"
#include "platform/result.h"

// Largest configuration text the store holds (file and serialised text alike).
constexpr std::size_t kMaxConfigurationTextBytes = 16u * 1024u * 1024u;
// Capacity of each part that SplitPath fills.
constexpr std::size_t kSplitPathPartBytes = 4096;

class ConfigurationManager {
 public:
  ConfigurationManager();
  virtual ~ConfigurationManager();

  virtual Result Close() = 0;
  // Rebuilds the tree from the held text.
  virtual Result Load();
  // Rebuilds the held text from the tree.
  virtual Result Save();
  virtual Result Sync() = 0;

  // Replaces the held text (the files of FileConfigurationManager do this through Load).
  Result SetText(const char* text, std::size_t size);
  const std::string& text() const { return text_; }
  const std::string& root_name() const { return root_name_; }

  // Writes the whole text at destination (or only measures it when destination is null).
  Result Serialize(char* destination, std::size_t* length) const;

  // Null or empty name: the current configuration, else the first; otherwise the first of that name.
  Result GetConfiguration(const char* name, ConfigurationNode** out);
  std::size_t GetConfigurationCount() const { return configurations_.size(); }
  Result GetConfigurationAt(std::size_t index, ConfigurationNode** out);
  Result FindConfiguration(const char* name, ConfigurationNode** out);
  Result SelectConfiguration(std::size_t index);
  Result SelectConfiguration(const char* name);
  // Configuration, module and record path looked up in turn; the first failure is the result.
  Result FindRecord(const char* configuration, const char* module, const char* record_path, RecordNode** out);

  // Reads a value of the given kind. For strings *length is the buffer's capacity on entry; a value
  // that does not fit with room for a terminator is refused and nothing is written. On success
  // *length is the number of bytes written (4 for an integer, 8 for a double).
  Result GetValue(const char* configuration, const char* module, const char* record_path, int kind,
                  void* buffer, std::uint32_t* length);
  // Changes a value in the tree only; Save and Sync make it durable.
  Result SetValue(const char* configuration, const char* module, const char* record_path, int kind,
                  const void* value, std::uint32_t length);

#ifdef PLATFORM_WATCHDOG_COPY
  Result GetInteger(const char* configuration, const char* module, const char* record_path, std::int32_t* value);
  Result GetDouble(const char* configuration, const char* module, const char* record_path, double* value);
  Result GetString(const char* configuration, const char* module, const char* record_path, char* buffer,
                   std::uint32_t* length);
  Result SetInteger(const char* configuration, const char* module, const char* record_path, std::int32_t value);
  Result SetDouble(const char* configuration, const char* module, const char* record_path, double value);
  Result SetString(const char* configuration, const char* module, const char* record_path, const char* value,
                   std::uint32_t length);
  // The same six by one path "configuration/module/record/path".
  Result GetInteger(const char* path, std::int32_t* value);
  Result GetDouble(const char* path, double* value);
  Result GetString(const char* path, char* buffer, std::uint32_t* length);
  Result SetInteger(const char* path, std::int32_t value);
  Result SetDouble(const char* path, double value);
  Result SetString(const char* path, const char* value, std::uint32_t length);
  // Splits "a/b/rest" into three terminated parts of kSplitPathPartBytes each; fewer than two '/'
  // or a part that does not fit fails.
  static Result SplitPath(const char* path, char* configuration, char* module, char* record_path);
#endif

 protected:
  void ClearTree();

  std::string text_;

 private:
  std::string root_name_;
  std::vector<ManagedPtr<ConfigurationNode>> configurations_;
  ConfigurationNode* current_configuration_;
};
