// The log line of a packet head that failed its check.
#include "packet_head_log.h"

#include <cstring>

#include "pelarin/foundation.h"
#include "pelarin/packet.h"

namespace pelarin {

void LogPacketHead(const char* tag, const uint8_t* data, uint64_t length) {
  uint8_t head[kPacketHeadBytes] = {};
  if (data != nullptr) memcpy(head, data, length < kPacketHeadBytes ? length : kPacketHeadBytes);
  Qeltmlog(2, "%sHead: 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\n", tag, head[0], head[1], head[2], head[3], head[4],
           head[5], head[6], head[7]);
}

}  // namespace pelarin
