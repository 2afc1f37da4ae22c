// ModuleNode and ConfigurationNode: the two named levels between the root and the records.
#include "configuration_text.h"
#include "record_lookup.h"

using namespace configuration_text;

namespace {
constexpr std::string_view kModuleOpen = "<module";
constexpr std::string_view kModuleClose = "</module>";
constexpr std::string_view kModuleLineStart = "<module name=";
constexpr std::string_view kConfigurationOpen = "<configuration";
constexpr std::string_view kConfigurationClose = "</configuration>";
constexpr std::string_view kConfigurationLineStart = "<configuration name=";
constexpr std::string_view kHeadingEnd = ">";
constexpr std::size_t kConfigurationIndent = 2;
constexpr std::size_t kModuleIndent = 4;
constexpr std::string_view::size_type npos = std::string_view::npos;
}  // namespace

ModuleNode::ModuleNode() = default;

ModuleNode::~ModuleNode() = default;

Result ModuleNode::Parse(const char* text, std::size_t length) {
  if (text == nullptr || length == 0) return RESULT_INVALID_ARGUMENT;
  Element module;
  const Result parsed = ParseElement(std::string_view(text, length), kModuleOpen, kModuleClose, &module);
  if (parsed != RESULT_OK) return parsed;
  const Result named = AssignText(&name_, module.name);
  if (named != RESULT_OK) return named;

  std::size_t position = 0;
  for (;;) {
    const std::size_t open = module.body.find(kRecordOpen, position);
    if (open == npos) return RESULT_OK;
    const std::size_t end = FindRecordEnd(module.body, open);
    if (end == npos) return RESULT_OK;
    const Result added = AddRecord(module.body.data() + open, end - open);
    if (added != RESULT_OK) return added;
    position = end;
  }
}

Result ModuleNode::AddRecord(const char* text, std::size_t length) {
  RecordNode* record = NewObject<RecordNode>();
  if (record == nullptr) return RESULT_OUT_OF_MEMORY;
  const Result parsed = record->Parse(text, length, 1);
  if (parsed != RESULT_OK) {
    DeleteObject(record);
    return parsed;
  }
  return AppendOwned(&records_, record);
}

Result ModuleNode::Serialize(char* destination, std::size_t* length) const {
  if (length == nullptr) return RESULT_INVALID_ARGUMENT;
  LineWriter writer(destination, length);
  writer.Line(kModuleIndent, {kModuleLineStart, name_, kHeadingEnd});
  for (const auto& record : records_) {
    const Result result = record->Serialize(destination, length);
    if (result != RESULT_OK) return result;
  }
  writer.Line(kModuleIndent, {kModuleClose});
  return RESULT_OK;
}

Result ModuleNode::FindRecordByPath(const char* path, RecordNode** out) { return FindRecordInList(records_, path, out); }

Result ModuleNode::GetRecordAt(std::size_t index, RecordNode** out) {
  if (out == nullptr || index >= records_.size()) return RESULT_INVALID_ARGUMENT;
  *out = records_[index].get();
  return RESULT_OK;
}

Result ModuleNode::FindRecord(const char* name, RecordNode** out) { return FindNamedRecord(records_, name, out); }

ConfigurationNode::ConfigurationNode() = default;

ConfigurationNode::~ConfigurationNode() = default;

Result ConfigurationNode::Parse(const char* text, std::size_t length) {
  if (text == nullptr || length == 0) return RESULT_INVALID_ARGUMENT;
  Element configuration;
  const Result parsed =
      ParseElement(std::string_view(text, length), kConfigurationOpen, kConfigurationClose, &configuration);
  if (parsed != RESULT_OK) return parsed;
  const Result named = AssignText(&name_, configuration.name);
  if (named != RESULT_OK) return named;
  // A module that fails to parse is dropped; the others stay.
  return ForEachChildSpan(configuration.body, kModuleOpen, kModuleClose, [this](std::string_view span) {
    ModuleNode* module = NewObject<ModuleNode>();
    if (module == nullptr) return RESULT_OUT_OF_MEMORY;
    const Result result = module->Parse(span.data(), span.size());
    if (result != RESULT_OK) {
      DeleteObject(module);
      return result;
    }
    return AppendOwned(&modules_, module);
  });
}

Result ConfigurationNode::Serialize(char* destination, std::size_t* length) const {
  if (length == nullptr) return RESULT_INVALID_ARGUMENT;
  LineWriter writer(destination, length);
  writer.Line(kConfigurationIndent, {kConfigurationLineStart, name_, kHeadingEnd});
  for (const auto& module : modules_) {
    const Result result = module->Serialize(destination, length);
    if (result != RESULT_OK) return result;
  }
  writer.Line(kConfigurationIndent, {kConfigurationClose});
  return RESULT_OK;
}

Result ConfigurationNode::GetModuleAt(std::size_t index, ModuleNode** out) {
  if (out == nullptr || index >= modules_.size()) return RESULT_INVALID_ARGUMENT;
  *out = modules_[index].get();
  return RESULT_OK;
}

Result ConfigurationNode::FindModule(const char* name, ModuleNode** out) {
  if (name == nullptr || out == nullptr) return RESULT_INVALID_ARGUMENT;
  for (const auto& module : modules_) {
    if (module->name() == name) {
      *out = module.get();
      return RESULT_OK;
    }
  }
  return RESULT_INVALID_ARGUMENT;
}
