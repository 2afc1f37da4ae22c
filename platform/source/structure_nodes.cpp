// ModuleNode and ConfigurationNode: the two named levels between the root and the records.
#include <algorithm>

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
// A failed record is remembered by at most this much of its text, up to its first line end.
constexpr std::size_t kFaultTextLimit = 200;

std::string_view Shortened(std::string_view line) { return line.substr(0, std::min(line.size(), kFaultTextLimit)); }

// The line of a failed record span that the reader refuses: the first value record line that does
// not parse on its own (a mistyped word inside a container), else the span's first line.
std::string_view FaultText(std::string_view record) {
  std::size_t begin = 0;
  while (begin < record.size()) {
    std::size_t end = record.find_first_of("\r\n", begin);
    if (end == npos) end = record.size();
    const std::string_view line = record.substr(begin, end - begin);
    const std::size_t open = line.find(kRecordOpen);
    if (open != npos && line.find(kValueRecordClose) != npos) {
      RecordNode alone;
      const std::string_view tag = line.substr(open);
      if (alone.Parse(tag.data(), tag.size(), 1) != RESULT_OK) return Shortened(tag);
    }
    begin = end + 1;
  }
  return Shortened(record.substr(0, record.find_first_of("\r\n")));
}
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
    // Only a note for the caller's message: when it cannot be kept, the parse result stands alone.
    if (parsed != RESULT_OUT_OF_MEMORY) AssignText(&fault_, FaultText(std::string_view(text, length)));
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
      if (result != RESULT_OUT_OF_MEMORY) NoteDroppedModule(*module);
      DeleteObject(module);
      return result;
    }
    return AppendOwned(&modules_, module);
  });
}

void ConfigurationNode::NoteDroppedModule(const ModuleNode& module) {
  try {
    dropped_modules_.push_back(DroppedModule{module.name(), module.fault()});
  } catch (const std::bad_alloc&) {
    // The note only improves a later message; the module is dropped all the same.
  }
}

const DroppedModule* ConfigurationNode::FindDroppedModule(const char* name) const {
  if (name == nullptr) return nullptr;
  for (const DroppedModule& dropped : dropped_modules_) {
    if (dropped.name == name) return &dropped;
  }
  return nullptr;
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
