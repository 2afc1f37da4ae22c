// Typed value access by separate names or by one "configuration/module/record" path (watchdog copy only).
#include "platform/configuration_manager.h"

#ifdef PLATFORM_WATCHDOG_COPY

#include <cstring>

namespace {
constexpr std::uint32_t kIntegerBytes = sizeof(std::int32_t);
constexpr std::uint32_t kDoubleBytes = sizeof(double);

// Buffers for the three parts of a path.
struct PathParts {
  char configuration[kSplitPathPartBytes];
  char module[kSplitPathPartBytes];
  char record_path[kSplitPathPartBytes];
};

// Copies [begin, end) into a part buffer; false when it would not fit with its terminator.
bool CopyPart(const char* begin, const char* end, char* part) {
  const std::size_t length = static_cast<std::size_t>(end - begin);
  if (length >= kSplitPathPartBytes) return false;
  std::memcpy(part, begin, length);
  part[length] = '\0';
  return true;
}
}  // namespace

Result ConfigurationManager::GetInteger(const char* configuration, const char* module, const char* record_path,
                                        std::int32_t* value) {
  std::uint32_t length = kIntegerBytes;
  return GetValue(configuration, module, record_path, RECORD_TYPE_INTEGER, value, &length);
}

Result ConfigurationManager::GetDouble(const char* configuration, const char* module, const char* record_path,
                                       double* value) {
  std::uint32_t length = kDoubleBytes;
  return GetValue(configuration, module, record_path, RECORD_TYPE_DOUBLE, value, &length);
}

Result ConfigurationManager::GetString(const char* configuration, const char* module, const char* record_path,
                                       char* buffer, std::uint32_t* length) {
  return GetValue(configuration, module, record_path, RECORD_TYPE_STRING, buffer, length);
}

Result ConfigurationManager::SetInteger(const char* configuration, const char* module, const char* record_path,
                                        std::int32_t value) {
  return SetValue(configuration, module, record_path, RECORD_TYPE_INTEGER, &value, kIntegerBytes);
}

Result ConfigurationManager::SetDouble(const char* configuration, const char* module, const char* record_path,
                                       double value) {
  return SetValue(configuration, module, record_path, RECORD_TYPE_DOUBLE, &value, kDoubleBytes);
}

Result ConfigurationManager::SetString(const char* configuration, const char* module, const char* record_path,
                                       const char* value, std::uint32_t length) {
  return SetValue(configuration, module, record_path, RECORD_TYPE_STRING, value, length);
}

Result ConfigurationManager::SplitPath(const char* path, char* configuration, char* module, char* record_path) {
  if (path == nullptr || configuration == nullptr || module == nullptr || record_path == nullptr) {
    return RESULT_INVALID_ARGUMENT;
  }
  const char* first = std::strchr(path, '/');
  if (first == nullptr) return RESULT_FAILED;
  const char* second = std::strchr(first + 1, '/');
  if (second == nullptr) return RESULT_FAILED;
  const char* end = second + 1 + std::strlen(second + 1);
  if (!CopyPart(path, first, configuration) || !CopyPart(first + 1, second, module) ||
      !CopyPart(second + 1, end, record_path)) {
    return RESULT_FAILED;
  }
  return RESULT_OK;
}

namespace {
// The by-path forms split first, then behave as the forms with separate names.
template <typename Call>
Result WithSplitPath(const char* path, Call call) {
  ManagedPtr<PathParts> parts(NewObject<PathParts>());
  if (!parts) return RESULT_OUT_OF_MEMORY;
  const Result split = ConfigurationManager::SplitPath(path, parts->configuration, parts->module, parts->record_path);
  if (split != RESULT_OK) return split;
  return call(*parts);
}
}  // namespace

Result ConfigurationManager::GetInteger(const char* path, std::int32_t* value) {
  return WithSplitPath(path, [&](const PathParts& p) { return GetInteger(p.configuration, p.module, p.record_path, value); });
}

Result ConfigurationManager::GetDouble(const char* path, double* value) {
  return WithSplitPath(path, [&](const PathParts& p) { return GetDouble(p.configuration, p.module, p.record_path, value); });
}

Result ConfigurationManager::GetString(const char* path, char* buffer, std::uint32_t* length) {
  return WithSplitPath(
      path, [&](const PathParts& p) { return GetString(p.configuration, p.module, p.record_path, buffer, length); });
}

Result ConfigurationManager::SetInteger(const char* path, std::int32_t value) {
  return WithSplitPath(path, [&](const PathParts& p) { return SetInteger(p.configuration, p.module, p.record_path, value); });
}

Result ConfigurationManager::SetDouble(const char* path, double value) {
  return WithSplitPath(path, [&](const PathParts& p) { return SetDouble(p.configuration, p.module, p.record_path, value); });
}

Result ConfigurationManager::SetString(const char* path, const char* value, std::uint32_t length) {
  return WithSplitPath(
      path, [&](const PathParts& p) { return SetString(p.configuration, p.module, p.record_path, value, length); });
}

#endif  // PLATFORM_WATCHDOG_COPY
