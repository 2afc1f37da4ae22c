// Byte-stream reassembly of received image packets for one client connection.
#pragma once

#include <cstdint>

#include "pelarin/stip.h"
#include "library_export.h"

namespace pelarin {

// Per-connection reassembly state, the node's header record. It begins with the header of the
// image being received; the image bytes themselves live in the node's data buffer.
struct StipReassembly {
  ImagePara header;
  uint8_t head[kStipImagePacketHead];  // bytes of the head and element gathered so far
  uint32_t head_have;
  uint32_t in_image;      // 1 while image data is expected
  uint32_t scanning;      // 1 while looking for a head after bad bytes
  uint32_t resync;        // 1 after a bad head, for the next kStipResyncPackets packets
  uint32_t resync_count;
  uint32_t image_resync;  // the resync flag of the image being received
};

// Receives one complete image: (header, data, size, resync, context).
using StipDeliverFunc = void (*)(const ImagePara* header, const uint8_t* data, uint32_t size, int resync,
                                 void* context);

// Feeds received bytes, split anywhere, into the node's reassembly; each image completed is
// delivered once. Bad bytes are skipped up to the next packet head. 0, or 32 when an image
// buffer cannot be had (that image is skipped).
int StipReassemble(ClientSession* node, const uint8_t* bytes, uint32_t length, StipDeliverFunc deliver,
                   void* context);

}  // namespace pelarin

extern "C" {
// Node initialiser of the client lists: allocates the zeroed reassembly record.
LIBRARY_EXPORT int STIPMallocInfoHeadFunc(ClientSession* node);
}
