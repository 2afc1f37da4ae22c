// Nodes of the configuration tree: configurations hold modules, modules hold records, containers hold records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/memory_manager.h"
#include "platform/result.h"

enum ConfigurationRecordType : std::int32_t {
  RECORD_TYPE_INTEGER = 0,
  RECORD_TYPE_DOUBLE = 1,
  RECORD_TYPE_STRING = 2,
  RECORD_TYPE_CONTAINER = 3,
};

// Deepest record nesting the reader accepts (a record directly in a module has depth 1).
constexpr int kMaxRecordDepth = 32;

class RecordNode {
 public:
  RecordNode();
  ~RecordNode();

  // Parses one record span "<record ...>...</record>" at the given depth.
  Result Parse(const char* text, std::size_t length, int depth);
  // Parses a child span at this record's depth + 1 and appends it.
  Result AddChild(const char* text, std::size_t length);
  // Adds this record's lines at destination + *length (only counts when destination is null).
  Result Serialize(char* destination, std::size_t* length) const;

  // "a/b/c": descends through the first child of each name.
  Result FindRecordByPath(const char* path, RecordNode** out);
  std::size_t GetChildCount() const { return children_.size(); }
  Result GetChildAt(std::size_t index, RecordNode** out);
  Result FindChild(const char* name, RecordNode** out);

  // Typed value access; see ConfigurationManager::GetValue and SetValue.
  Result GetValue(int kind, void* buffer, std::uint32_t* length) const;
  Result SetValue(int kind, const void* value, std::uint32_t length);

  const std::string& name() const { return name_; }
  ConfigurationRecordType type() const { return type_; }
  const std::string& value() const { return value_; }
  int depth() const { return depth_; }

 private:
  Result ParseChildren(std::string_view span, std::size_t from);

  std::string name_;
  ConfigurationRecordType type_;
  std::string value_;
  int depth_;
  std::vector<ManagedPtr<RecordNode>> children_;
};

class ModuleNode {
 public:
  ModuleNode();
  ~ModuleNode();

  // Parses one "<module name=...>...</module>" span; a record that fails fails the module.
  Result Parse(const char* text, std::size_t length);
  // Parses a record span at depth 1 and appends it.
  Result AddRecord(const char* text, std::size_t length);
  Result Serialize(char* destination, std::size_t* length) const;

  Result FindRecordByPath(const char* path, RecordNode** out);
  std::size_t GetRecordCount() const { return records_.size(); }
  Result GetRecordAt(std::size_t index, RecordNode** out);
  Result FindRecord(const char* name, RecordNode** out);

  const std::string& name() const { return name_; }
  // The opening text of the record that made Parse fail (empty when none did), so that a caller
  // can say why the reader dropped this module.
  const std::string& fault() const { return fault_; }

 private:
  std::string name_;
  std::vector<ManagedPtr<RecordNode>> records_;
  std::string fault_;
};

// A module the reader dropped: its name (empty when it had none) and the record that failed.
struct DroppedModule {
  std::string name;
  std::string fault;
};

class ConfigurationNode {
 public:
  ConfigurationNode();
  ~ConfigurationNode();

  // Parses one "<configuration name=...>...</configuration>" span; bad modules are dropped.
  Result Parse(const char* text, std::size_t length);
  Result Serialize(char* destination, std::size_t* length) const;

  std::size_t GetModuleCount() const { return modules_.size(); }
  Result GetModuleAt(std::size_t index, ModuleNode** out);
  Result FindModule(const char* name, ModuleNode** out);

  const std::string& name() const { return name_; }
  // The first dropped module of that name, or null when none was dropped.
  const DroppedModule* FindDroppedModule(const char* name) const;

 private:
  void NoteDroppedModule(const ModuleNode& module);

  std::string name_;
  std::vector<ManagedPtr<ModuleNode>> modules_;
  std::vector<DroppedModule> dropped_modules_;
};
