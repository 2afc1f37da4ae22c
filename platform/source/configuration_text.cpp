// Token searches, line writing and helpers of the configuration text format.
#include "configuration_text.h"

#include <cstring>

namespace configuration_text {

namespace {
constexpr std::string_view kTypeWords[] = {"integer", "double", "string", "container"};
constexpr std::string_view::size_type npos = std::string_view::npos;
}  // namespace

Result ParseElement(std::string_view span, std::string_view open_tag, std::string_view close_tag, Element* element) {
  const std::size_t open = span.find(open_tag);
  if (open == npos) return RESULT_BAD_FORMAT;
  const std::size_t name = span.find(kNameAttribute, open + open_tag.size());
  if (name == npos) return RESULT_BAD_FORMAT;
  const std::size_t name_begin = name + kNameAttribute.size();
  const std::size_t heading_end = span.find('>', name_begin);
  if (heading_end == npos) return RESULT_BAD_FORMAT;
  const std::size_t close = span.find(close_tag, heading_end + 1);
  if (close == npos) return RESULT_BAD_FORMAT;
  element->name = span.substr(name_begin, heading_end - name_begin);
  element->body = span.substr(heading_end + 1, close - heading_end - 1);
  return RESULT_OK;
}

Result ForEachChildSpan(std::string_view body, std::string_view open_tag, std::string_view close_tag,
                        const std::function<Result(std::string_view)>& parse_child) {
  std::size_t position = 0;
  for (;;) {
    const std::size_t open = body.find(open_tag, position);
    if (open == npos) return RESULT_OK;
    const std::size_t close = body.find(close_tag, open + open_tag.size());
    if (close == npos) return RESULT_OK;
    const std::size_t end = close + close_tag.size();
    const Result result = parse_child(body.substr(open, end - open));
    if (result == RESULT_OUT_OF_MEMORY) return result;
    position = end;
  }
}

std::size_t FindRecordEnd(std::string_view span, std::size_t open) {
  // Each tag is searched for once: the nearer of the next opening and the next closing is taken,
  // and only the one taken is searched for again, so the walk stays linear in the span.
  std::size_t depth = 1;
  std::size_t cursor = open + kRecordOpen.size();
  std::size_t next_open = span.find(kRecordOpen, cursor);
  std::size_t next_close = span.find(kRecordClose, cursor);
  for (;;) {
    if (next_close == npos) return npos;
    if (next_open != npos && next_open < next_close) {
      ++depth;
      cursor = next_open + kRecordOpen.size();
      next_open = span.find(kRecordOpen, cursor);
      continue;
    }
    cursor = next_close + kRecordClose.size();
    if (--depth == 0) return cursor;
    next_close = span.find(kRecordClose, cursor);
  }
}

std::string_view TypeWord(ConfigurationRecordType type) {
  const std::size_t index = static_cast<std::size_t>(type);
  return index < std::size(kTypeWords) ? kTypeWords[index] : std::string_view();
}

bool TypeFromWord(std::string_view word, ConfigurationRecordType* type) {
  for (std::size_t index = 0; index < std::size(kTypeWords); ++index) {
    if (word == kTypeWords[index]) {
      *type = static_cast<ConfigurationRecordType>(index);
      return true;
    }
  }
  return false;
}

Result AssignText(std::string* target, std::string_view text) {
  try {
    target->assign(text.data(), text.size());
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  return RESULT_OK;
}

void LineWriter::Line(std::size_t indent, std::initializer_list<std::string_view> parts) {
  PutSpaces(indent);
  for (std::string_view part : parts) Put(part);
  Put(kLineEnd);
}

void LineWriter::Put(std::string_view text) {
  if (destination_ != nullptr) std::memcpy(destination_ + *length_, text.data(), text.size());
  *length_ += text.size();
}

void LineWriter::PutSpaces(std::size_t count) {
  if (destination_ != nullptr) std::memset(destination_ + *length_, ' ', count);
  *length_ += count;
}

}  // namespace configuration_text
