// Lookup of records by name and by '/'-separated path in a list of records.
#pragma once

#include <vector>

#include "platform/configuration_nodes.h"

// Longest path segment that names a record to descend into.
constexpr std::size_t kMaxPathSegmentLength = 4095;

// The first record of that exact name; RESULT_INVALID_ARGUMENT when none.
Result FindNamedRecord(const std::vector<ManagedPtr<RecordNode>>& records, const char* name, RecordNode** out);
// "a/b/c": the first record named a, then b among its children, and so on.
Result FindRecordInList(const std::vector<ManagedPtr<RecordNode>>& records, const char* path, RecordNode** out);
