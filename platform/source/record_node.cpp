// RecordNode: one configuration record, its text form, its children and its typed value.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "configuration_text.h"
#include "platform/configuration_manager.h"
#include "record_lookup.h"

using namespace configuration_text;

namespace {
constexpr std::string_view kRecordLineStart = "<record name=";
constexpr std::string_view kTypeSeparator = " type=";
constexpr std::string_view kValueSeparator = " value=";
constexpr std::string_view kContainerHeadingEnd = " type=container>";
constexpr std::size_t kIntegerBytes = sizeof(std::int32_t);
constexpr std::size_t kDoubleBytes = sizeof(double);
constexpr int kDecimalBase = 10;
constexpr std::string_view::size_type npos = std::string_view::npos;

// The value text as atoi reads it, kept inside the 32-bit range instead of overflowing.
std::int32_t IntegerFromText(const std::string& text) {
  const long number = std::strtol(text.c_str(), nullptr, kDecimalBase);
  if (number > INT_MAX) return INT_MAX;
  if (number < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(number);
}

// printf-style formatting into a string; RESULT_OUT_OF_MEMORY when the text cannot be held.
template <typename Number>
Result FormatNumber(const char* format, Number number, std::string* text) {
  const int size = std::snprintf(nullptr, 0, format, number);
  if (size < 0) return RESULT_FAILED;
  try {
    std::string formatted(static_cast<std::size_t>(size) + 1, '\0');
    std::snprintf(&formatted[0], formatted.size(), format, number);
    formatted.resize(static_cast<std::size_t>(size));
    text->swap(formatted);
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  return RESULT_OK;
}
}  // namespace

RecordNode::RecordNode() : type_(RECORD_TYPE_INTEGER), depth_(0) {}

RecordNode::~RecordNode() = default;

Result RecordNode::Parse(const char* text, std::size_t length, int depth) {
  if (text == nullptr || length == 0) return RESULT_INVALID_ARGUMENT;
  // Nesting is bounded so that hostile text cannot exhaust the stack.
  if (depth < 1 || depth > kMaxRecordDepth) return RESULT_BAD_FORMAT;
  depth_ = depth;
  const std::string_view span(text, length);

  const std::size_t open = span.find(kRecordOpen);
  if (open == npos) return RESULT_BAD_FORMAT;
  const std::size_t name = span.find(kNameAttribute, open + kRecordOpen.size());
  if (name == npos) return RESULT_BAD_FORMAT;
  const std::size_t name_begin = name + kNameAttribute.size();
  const std::size_t name_end = span.find(' ', name_begin);
  if (name_end == npos) return RESULT_BAD_FORMAT;

  const std::size_t type = span.find(kTypeAttribute, name_end);
  if (type == npos) return RESULT_BAD_FORMAT;
  const std::size_t type_begin = type + kTypeAttribute.size();
  const std::size_t type_end = std::min(span.find(' ', type_begin), span.find('>', type_begin));
  if (type_end == npos) return RESULT_BAD_FORMAT;
  if (!TypeFromWord(span.substr(type_begin, type_end - type_begin), &type_)) return RESULT_BAD_FORMAT;

  const Result named = AssignText(&name_, span.substr(name_begin, name_end - name_begin));
  if (named != RESULT_OK) return named;
  if (type_ == RECORD_TYPE_CONTAINER) return ParseChildren(span, type_end);

  const std::size_t value = span.find(kValueAttribute, type_end);
  if (value == npos) return RESULT_BAD_FORMAT;
  const std::size_t value_begin = value + kValueAttribute.size();
  const std::size_t value_end = span.find(kValueRecordClose, value_begin);
  if (value_end == npos) return RESULT_BAD_FORMAT;
  return AssignText(&value_, span.substr(value_begin, value_end - value_begin));
}

// The children are the record spans before the container's own "</record>"; at least one is required.
Result RecordNode::ParseChildren(std::string_view span, std::size_t from) {
  std::size_t cursor = from;
  for (;;) {
    const std::size_t close = span.find(kRecordClose, cursor);
    if (close == npos) return RESULT_BAD_FORMAT;
    const std::size_t open = span.find(kRecordOpen, cursor);
    if (open == npos || open > close) break;
    const std::size_t end = FindRecordEnd(span, open);
    if (end == npos) return RESULT_BAD_FORMAT;
    const Result added = AddChild(span.data() + open, end - open);
    if (added != RESULT_OK) return added;
    cursor = end;
  }
  return children_.empty() ? RESULT_BAD_FORMAT : RESULT_OK;
}

Result RecordNode::AddChild(const char* text, std::size_t length) {
  RecordNode* child = NewObject<RecordNode>();
  if (child == nullptr) return RESULT_OUT_OF_MEMORY;
  const Result parsed = child->Parse(text, length, depth_ + 1);
  if (parsed != RESULT_OK) {
    DeleteObject(child);
    return parsed;
  }
  return AppendOwned(&children_, child);
}

Result RecordNode::Serialize(char* destination, std::size_t* length) const {
  if (length == nullptr) return RESULT_INVALID_ARGUMENT;
  LineWriter writer(destination, length);
  const std::size_t indent = kIndentStep * static_cast<std::size_t>(depth_ + 2);
  if (type_ != RECORD_TYPE_CONTAINER) {
    // A string value is written up to its first NUL byte.
    const std::string_view value(value_.c_str(), std::strlen(value_.c_str()));
    writer.Line(indent, {kRecordLineStart, name_, kTypeSeparator, TypeWord(type_), kValueSeparator, value,
                         kValueRecordClose});
    return RESULT_OK;
  }
  writer.Line(indent, {kRecordLineStart, name_, kContainerHeadingEnd});
  for (const auto& child : children_) {
    const Result result = child->Serialize(destination, length);
    if (result != RESULT_OK) return result;
  }
  writer.Line(indent, {kRecordClose});
  return RESULT_OK;
}

Result RecordNode::FindRecordByPath(const char* path, RecordNode** out) { return FindRecordInList(children_, path, out); }

Result RecordNode::GetChildAt(std::size_t index, RecordNode** out) {
  if (out == nullptr || index >= children_.size()) return RESULT_INVALID_ARGUMENT;
  *out = children_[index].get();
  return RESULT_OK;
}

Result RecordNode::FindChild(const char* name, RecordNode** out) { return FindNamedRecord(children_, name, out); }

Result RecordNode::GetValue(int kind, void* buffer, std::uint32_t* length) const {
  if (kind == RECORD_TYPE_CONTAINER) return RESULT_NOT_SUPPORTED;
  if (kind != type_) return RESULT_INVALID_ARGUMENT;
  if (buffer == nullptr || length == nullptr) return RESULT_INVALID_ARGUMENT;
  if (value_.empty()) return RESULT_NOT_READY;
  switch (type_) {
    case RECORD_TYPE_INTEGER: {
      const std::int32_t number = IntegerFromText(value_);
      std::memcpy(buffer, &number, kIntegerBytes);
      *length = kIntegerBytes;
      return RESULT_OK;
    }
    case RECORD_TYPE_DOUBLE: {
      const double number = std::strtod(value_.c_str(), nullptr);
      std::memcpy(buffer, &number, kDoubleBytes);
      *length = kDoubleBytes;
      return RESULT_OK;
    }
    default:
      // The capacity must hold the bytes and leave the caller's zeroed terminator in place.
      if (value_.size() >= *length) return RESULT_INVALID_ARGUMENT;
      std::memcpy(buffer, value_.data(), value_.size());
      *length = static_cast<std::uint32_t>(value_.size());
      return RESULT_OK;
  }
}

Result RecordNode::SetValue(int kind, const void* value, std::uint32_t length) {
  if (kind == RECORD_TYPE_CONTAINER || kind != type_) return RESULT_NOT_SUPPORTED;
  if (value == nullptr) return RESULT_INVALID_ARGUMENT;
  switch (type_) {
    case RECORD_TYPE_INTEGER: {
      std::int32_t number;
      std::memcpy(&number, value, kIntegerBytes);
      return FormatNumber("%d", number, &value_);
    }
    case RECORD_TYPE_DOUBLE: {
      double number;
      std::memcpy(&number, value, kDoubleBytes);
      return FormatNumber("%f", number, &value_);
    }
    default:
      if (length > kMaxConfigurationTextBytes) return RESULT_INVALID_ARGUMENT;
      return AssignText(&value_, std::string_view(static_cast<const char*>(value), length));
  }
}
