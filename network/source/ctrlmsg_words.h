// Big-endian words of the control command frames, read and written at byte offsets.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

namespace ctrlmsg {

inline void PutWord(uint8_t* at, uint32_t value) {
  const uint32_t wire = htonl(value);
  memcpy(at, &wire, sizeof(wire));
}

inline uint32_t GetWord(const uint8_t* at) {
  uint32_t wire;
  memcpy(&wire, at, sizeof(wire));
  return ntohl(wire);
}

inline void PutHalf(uint8_t* at, uint16_t value) {
  const uint16_t wire = htons(value);
  memcpy(at, &wire, sizeof(wire));
}

inline uint16_t GetHalf(const uint8_t* at) {
  uint16_t wire;
  memcpy(&wire, at, sizeof(wire));
  return ntohs(wire);
}

// Byte offsets of the reply frame's words.
constexpr uint32_t kReplyResultOffset = 8;
constexpr uint32_t kReplyLengthOffset = 12;
constexpr uint32_t kReplyDataOffset = 16;

}  // namespace ctrlmsg
