// Token searches, line writing and owned-list helpers shared by the configuration tree's nodes.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/configuration_nodes.h"
#include "platform/result.h"

namespace configuration_text {

constexpr std::string_view kNameAttribute = "name=";
constexpr std::string_view kTypeAttribute = "type=";
constexpr std::string_view kValueAttribute = "value=";
constexpr std::string_view kRecordOpen = "<record";
constexpr std::string_view kRecordClose = "</record>";
constexpr std::string_view kValueRecordClose = "></record>";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::size_t kIndentStep = 2;

// An element's name and the text between its heading and its closing tag.
struct Element {
  std::string_view name;
  std::string_view body;
};

// Finds open_tag, then "name=", then '>', then close_tag, each after the one before, inside span.
Result ParseElement(std::string_view span, std::string_view open_tag, std::string_view close_tag, Element* element);

// Calls parse_child for each "open_tag ... close_tag" span of body in turn; a span without its
// closing tag ends the walk. A child that fails is skipped, unless it ran out of memory.
Result ForEachChildSpan(std::string_view body, std::string_view open_tag, std::string_view close_tag,
                        const std::function<Result(std::string_view)>& parse_child);

// The end (just past "</record>") of the record opening at open, counting nested records; npos
// when the record is not closed inside span.
std::size_t FindRecordEnd(std::string_view span, std::size_t open);

// The type word of a record type, and the type of a word (false for anything but the four words).
std::string_view TypeWord(ConfigurationRecordType type);
bool TypeFromWord(std::string_view word, ConfigurationRecordType* type);

// Copies text into target; RESULT_OUT_OF_MEMORY when the copy cannot be allocated.
Result AssignText(std::string* target, std::string_view text);

// Appends an owned node; on allocation failure the node is deleted and RESULT_OUT_OF_MEMORY returned.
template <typename Node>
Result AppendOwned(std::vector<ManagedPtr<Node>>* list, Node* node) {
  ManagedPtr<Node> owned(node);
  try {
    list->push_back(std::move(owned));
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  return RESULT_OK;
}

// Writes whole lines at destination + *length, or only counts them when destination is null.
class LineWriter {
 public:
  LineWriter(char* destination, std::size_t* length) : destination_(destination), length_(length) {}
  // One line: indent spaces, the parts in order, then CR LF.
  void Line(std::size_t indent, std::initializer_list<std::string_view> parts);

 private:
  void Put(std::string_view text);
  void PutSpaces(std::size_t count);

  char* destination_;
  std::size_t* length_;
};

}  // namespace configuration_text
