// Control requests packed by hand for tests: big-endian words, and the kind, command and data
// length head before the data words.
#pragma once

#include <cstdint>
#include <vector>

namespace test_support {

// The words as big-endian bytes, in the byte type the caller's parser reads (char or uint8_t).
template <typename Byte = uint8_t>
std::vector<Byte> BigEndianWords(const std::vector<uint32_t>& words) {
  std::vector<Byte> bytes;
  bytes.reserve(words.size() * 4);
  for (uint32_t word : words) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<Byte>((word >> shift) & 0xFF));
  }
  return bytes;
}

// A control request: kind, command and the data's length in bytes, then the data words.
template <typename Byte = uint8_t>
std::vector<Byte> ControlRequestBytes(uint32_t kind, uint32_t command, const std::vector<uint32_t>& data) {
  std::vector<uint32_t> words = {kind, command, static_cast<uint32_t>(data.size() * 4)};
  words.insert(words.end(), data.begin(), data.end());
  return BigEndianWords<Byte>(words);
}

}  // namespace test_support
