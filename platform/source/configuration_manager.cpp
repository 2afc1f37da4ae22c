// ConfigurationManager: the held configuration text, the tree parsed from it, lookups and values.
#include "platform/configuration_manager.h"

#include <cstring>

#include "configuration_text.h"

using namespace configuration_text;

namespace {
constexpr std::string_view kRootOpen = "<cd_configurations";
constexpr std::string_view kRootClose = "</cd_configurations>";
constexpr std::string_view kRootLineStart = "<cd_configurations name=";
constexpr std::string_view kConfigurationOpen = "<configuration";
constexpr std::string_view kConfigurationClose = "</configuration>";
constexpr std::string_view kHeadingEnd = ">";
constexpr std::size_t kRootIndent = 0;

bool IsEmptyName(const char* name) { return name == nullptr || name[0] == '\0'; }
}  // namespace

ConfigurationManager::ConfigurationManager() : current_configuration_(nullptr) {}

ConfigurationManager::~ConfigurationManager() = default;

void ConfigurationManager::ClearTree() {
  current_configuration_ = nullptr;
  configurations_.clear();
}

Result ConfigurationManager::SetText(const char* text, std::size_t size) {
  if (text == nullptr && size != 0) return RESULT_INVALID_ARGUMENT;
  if (size > kMaxConfigurationTextBytes) return RESULT_OUT_OF_MEMORY;
  return AssignText(&text_, std::string_view(text == nullptr ? "" : text, size));
}

Result ConfigurationManager::Load() {
  if (text_.empty()) return RESULT_NOT_READY;
  ClearTree();
  Element root;
  const Result parsed = ParseElement(text_, kRootOpen, kRootClose, &root);
  if (parsed != RESULT_OK) return parsed;
  const Result named = AssignText(&root_name_, root.name);
  if (named != RESULT_OK) return named;
  // A configuration that fails to parse is dropped; the others stay.
  return ForEachChildSpan(root.body, kConfigurationOpen, kConfigurationClose, [this](std::string_view span) {
    ConfigurationNode* configuration = NewObject<ConfigurationNode>();
    if (configuration == nullptr) return RESULT_OUT_OF_MEMORY;
    const Result result = configuration->Parse(span.data(), span.size());
    if (result != RESULT_OK) {
      DeleteObject(configuration);
      return result;
    }
    return AppendOwned(&configurations_, configuration);
  });
}

Result ConfigurationManager::Serialize(char* destination, std::size_t* length) const {
  if (length == nullptr) return RESULT_INVALID_ARGUMENT;
  *length = 0;
  LineWriter writer(destination, length);
  writer.Line(kRootIndent, {kRootLineStart, root_name_, kHeadingEnd});
  for (const auto& configuration : configurations_) {
    const Result result = configuration->Serialize(destination, length);
    if (result != RESULT_OK) return result;
  }
  writer.Line(kRootIndent, {kRootClose});
  return RESULT_OK;
}

Result ConfigurationManager::Save() {
  std::size_t size = 0;
  Result result = Serialize(nullptr, &size);
  if (result != RESULT_OK) return result;
  if (size > kMaxConfigurationTextBytes) return RESULT_OUT_OF_MEMORY;
  std::string serialised;
  try {
    serialised.resize(size);
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  std::size_t written = 0;
  result = Serialize(&serialised[0], &written);
  if (result != RESULT_OK) return result;
  text_.swap(serialised);
  return RESULT_OK;
}

Result ConfigurationManager::GetConfiguration(const char* name, ConfigurationNode** out) {
  if (out == nullptr) return RESULT_INVALID_ARGUMENT;
  if (configurations_.empty()) return RESULT_NOT_READY;
  if (IsEmptyName(name)) {
    *out = current_configuration_ != nullptr ? current_configuration_ : configurations_.front().get();
    return RESULT_OK;
  }
  return FindConfiguration(name, out);
}

Result ConfigurationManager::GetConfigurationAt(std::size_t index, ConfigurationNode** out) {
  if (out == nullptr || index >= configurations_.size()) return RESULT_INVALID_ARGUMENT;
  *out = configurations_[index].get();
  return RESULT_OK;
}

Result ConfigurationManager::FindConfiguration(const char* name, ConfigurationNode** out) {
  if (name == nullptr || out == nullptr) return RESULT_INVALID_ARGUMENT;
  for (const auto& configuration : configurations_) {
    if (configuration->name() == name) {
      *out = configuration.get();
      return RESULT_OK;
    }
  }
  return RESULT_INVALID_ARGUMENT;
}

Result ConfigurationManager::SelectConfiguration(std::size_t index) {
  ConfigurationNode* configuration = nullptr;
  const Result result = GetConfigurationAt(index, &configuration);
  if (result == RESULT_OK) current_configuration_ = configuration;
  return result;
}

Result ConfigurationManager::SelectConfiguration(const char* name) {
  ConfigurationNode* configuration = nullptr;
  const Result result = FindConfiguration(name, &configuration);
  if (result == RESULT_OK) current_configuration_ = configuration;
  return result;
}

Result ConfigurationManager::FindRecord(const char* configuration_name, const char* module_name,
                                        const char* record_path, RecordNode** out) {
  ConfigurationNode* configuration = nullptr;
  Result result = GetConfiguration(configuration_name, &configuration);
  if (result != RESULT_OK) return result;
  ModuleNode* module = nullptr;
  result = configuration->FindModule(module_name, &module);
  if (result != RESULT_OK) return result;
  return module->FindRecordByPath(record_path, out);
}

Result ConfigurationManager::GetValue(const char* configuration, const char* module, const char* record_path,
                                      int kind, void* buffer, std::uint32_t* length) {
  RecordNode* record = nullptr;
  const Result result = FindRecord(configuration, module, record_path, &record);
  if (result != RESULT_OK) return result;
  return record->GetValue(kind, buffer, length);
}

Result ConfigurationManager::SetValue(const char* configuration, const char* module, const char* record_path,
                                      int kind, const void* value, std::uint32_t length) {
  RecordNode* record = nullptr;
  const Result result = FindRecord(configuration, module, record_path, &record);
  if (result != RESULT_OK) return result;
  return record->SetValue(kind, value, length);
}
