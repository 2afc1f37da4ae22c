// The log line of a packet head that failed its check, shared by every protocol's parser.
#pragma once

#include <cstdint>

namespace pelarin {

// Logs "<tag>Head: 0x.. x8" with the first eight bytes at `data` (zeros past `length`), at
// most a few times a second per protocol.
void LogPacketHead(const char* tag, const uint8_t* data, uint64_t length);

}  // namespace pelarin
