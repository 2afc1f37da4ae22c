// Lookup of records by name and by path; the first match wins and there is no retry with a namesake.
#include "record_lookup.h"

#include <cstring>
#include <string_view>

namespace {
Result FindByName(const std::vector<ManagedPtr<RecordNode>>& records, std::string_view name, RecordNode** out) {
  for (const auto& record : records) {
    if (record->name() == name) {
      *out = record.get();
      return RESULT_OK;
    }
  }
  return RESULT_INVALID_ARGUMENT;
}
}  // namespace

Result FindNamedRecord(const std::vector<ManagedPtr<RecordNode>>& records, const char* name, RecordNode** out) {
  if (name == nullptr || out == nullptr) return RESULT_INVALID_ARGUMENT;
  return FindByName(records, name, out);
}

Result FindRecordInList(const std::vector<ManagedPtr<RecordNode>>& records, const char* path, RecordNode** out) {
  if (path == nullptr || out == nullptr) return RESULT_INVALID_ARGUMENT;
  const char* separator = std::strchr(path, '/');
  if (separator == nullptr) return FindByName(records, path, out);
  const std::size_t segment_length = static_cast<std::size_t>(separator - path);
  if (segment_length > kMaxPathSegmentLength) return RESULT_INVALID_ARGUMENT;
  RecordNode* parent = nullptr;
  const Result found = FindByName(records, std::string_view(path, segment_length), &parent);
  if (found != RESULT_OK) return found;
  return parent->FindRecordByPath(separator + 1, out);
}
