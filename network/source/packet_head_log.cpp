// The log line of a packet head that failed its check, a few a second per protocol.
#include "packet_head_log.h"

#include <cstring>

#include "log_limit.h"
#include "pelarin/foundation.h"
#include "pelarin/packet.h"

namespace pelarin {

namespace {

// One kind of line per protocol tag; a tag not listed shares the last kind.
constexpr const char* kTags[] = {"[SCDP]", "[STIP]", "[STOP]", "[SDDP]"};
constexpr size_t kKinds = sizeof kTags / sizeof kTags[0] + 1;
LogLimit g_kinds[kKinds];

LogLimit& KindOf(const char* tag) {
  for (size_t i = 0; i + 1 < kKinds; ++i) {
    if (tag != nullptr && strcmp(tag, kTags[i]) == 0) return g_kinds[i];
  }
  return g_kinds[kKinds - 1];
}

}  // namespace

void LogPacketHead(const char* tag, const uint8_t* data, uint64_t length) {
  uint8_t head[kPacketHeadBytes] = {};
  if (data != nullptr) memcpy(head, data, length < kPacketHeadBytes ? length : kPacketHeadBytes);
  LogLimited(KindOf(tag), 2, "%sHead: 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\n", tag, head[0], head[1], head[2],
             head[3], head[4], head[5], head[6], head[7]);
}

}  // namespace pelarin
