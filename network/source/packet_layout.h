// Value layouts of the record elements, described as field lists so one builder and one parser
// serve every row that is made of plain numbers, byte runs and counted texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelarin {

enum class FieldKind : uint8_t { kU8, kU16, kU32, kBytes, kText };

struct FieldSpec {
  FieldKind kind;
  uint16_t count;          // numbers: how many in a row; bytes: how many bytes
  uint16_t record_offset;  // where the numbers, bytes or the text pointer stand in the record
  uint16_t length_offset;  // texts: where the record keeps the text's length
};

constexpr size_t kMaxFields = 6;

struct ElementLayout {
  uint8_t field_count;
  FieldSpec fields[kMaxFields];
};

// The layout of a record row, or null for rows that are not described by a field list.
const ElementLayout* RecordLayout(uint8_t type);

// Generic builder and parser over a layout (same contracts as the table rows).
uint32_t BuildRecordElement(uint8_t type, const ElementLayout& layout, uint8_t* dest,
                            uint32_t capacity, const void* record);
int ParseRecordElement(const ElementLayout& layout, const uint8_t* element, uint32_t remaining,
                       void* out, uint32_t out_capacity, uint32_t* consumed);

// Reads and checks an element head: 5 bytes present and 5 + length within `remaining`
// (64-bit arithmetic). Returns 0 or kQeltInvalid.
int ReadElementHead(const uint8_t* element, uint32_t remaining, uint32_t* value_length);
// Writes the element head (type and big-endian length).
void WriteElementHead(uint8_t* dest, uint8_t type, uint32_t value_length);

}  // namespace pelarin
