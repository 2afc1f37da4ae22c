// Byte-stream reassembly of image packets: heads carried over receive boundaries, a scan for the
// next head after bad bytes, and a cap on the size an untrusted header may declare.
#include "stip_reassembler.h"

#include <cstdlib>
#include <cstring>

#include "packet_head_log.h"
#include "stip_internal.h"

namespace pelarin {

namespace {

constexpr uint32_t kElementStart = kPacketHeadBytes;
constexpr uint32_t kElementValueStart = kPacketHeadBytes + kElementHeadBytes;
constexpr uint32_t kImageParaValueBytes = 28;
constexpr uint32_t kCtrlImageValueBytes = 12;

struct Feeder {
  ClientSession* node;
  StipReassembly* r;
  StipDeliverFunc deliver;
  void* context;
  int result;
};

void Deliver(Feeder& f, uint32_t size) {
  if (f.deliver != nullptr) f.deliver(&f.r->header, f.node->data, size, static_cast<int>(f.r->image_resync), f.context);
  f.node->received = 0;
  f.r->in_image = 0;
}

// Counts one packet handled while the connection is marked resynchronised.
void CountPacket(StipReassembly* r) {
  if (r->resync == 0) return;
  if (++r->resync_count > kStipResyncPackets) {
    r->resync = 0;
    r->resync_count = 0;
  }
}

void FeedBytes(Feeder& f, const uint8_t* bytes, uint32_t length);

// The gathered bytes do not open a packet: mark the stream, then look for a head from the
// second gathered byte on.
void Reject(Feeder& f) {
  StipReassembly* r = f.r;
  if (r->scanning == 0) {
    LogPacketHead("[STIP]", r->head, kPacketHeadBytes);
  }
  r->scanning = 1;
  r->resync = 1;
  r->resync_count = 0;
  uint8_t rest[kStipImagePacketHead];
  const uint32_t n = r->head_have - 1;
  memcpy(rest, r->head + 1, n);
  r->head_have = 0;
  FeedBytes(f, rest, n);
}

// A complete head and element are gathered: start the image, or handle an acknowledgement.
void OpenPacket(Feeder& f) {
  StipReassembly* r = f.r;
  const uint8_t type = r->head[kElementStart];
  uint32_t value_length = 0;
  GetUint32Value(r->head + kElementStart + 1, &value_length);
  r->head_have = 0;
  r->scanning = 0;
  if (type == kElementCtrlImage) {
    CtrlImage ack{};
    uint32_t consumed = 0;
    AnalysisPacketHandler[kElementCtrlImage](r->head + kElementStart, kElementHeadBytes + kCtrlImageValueBytes, &ack,
                                             sizeof ack, &consumed);
    Qeltmlog(0,
             "[STIP] Receive ack ctrl image packet. Command Type: %d, command: %d,error: %d, image type: %d, image "
             "width: %d, image height: %d, image frame rate:%d\n",
             ack.command_type, ack.command, ack.error, ack.image_type, ack.width, ack.height, ack.frame_rate);
    CountPacket(r);
    return;
  }
  ImagePara header{};
  uint32_t consumed = 0;
  AnalysisPacketHandler[kElementImagePara](r->head + kElementStart, kElementHeadBytes + value_length, &header,
                                           sizeof header, &consumed);
  r->header = header;
  r->image_resync = r->resync;
  CountPacket(r);
  if (!StipReserve(&f.node->data, &f.node->data_capacity, header.data_size)) {
    f.result = kQeltOutOfMemory;
    r->scanning = 1;  // skip this image's bytes up to the next head
    return;
  }
  f.node->received = 0;
  r->in_image = 1;
  if (header.data_size == 0) Deliver(f, 0);
}

// True when the gathered bytes can still open a valid packet.
bool HeadPlausible(const StipReassembly* r) {
  const uint32_t have = r->head_have;
  for (uint32_t i = 0; i < have && i < kPacketHeadBytes; ++i) {
    if (r->head[i] != kDefaultPacketHead[i]) return false;
  }
  if (have <= kElementStart) return true;
  const uint8_t type = r->head[kElementStart];
  if (type != kElementImagePara && type != kElementCtrlImage) return false;
  if (have < kElementValueStart) return true;
  uint32_t value_length = 0;
  GetUint32Value(r->head + kElementStart + 1, &value_length);
  const uint32_t expected = type == kElementImagePara ? kImageParaValueBytes : kCtrlImageValueBytes;
  if (value_length != expected) return false;
  if (type == kElementImagePara && have == kStipImagePacketHead) {
    uint32_t data_size = 0;
    GetUint32Value(r->head + kElementValueStart + 12, &data_size);
    if (data_size > kStipMaxImageBytes) {
      Qeltmlog(2, "[STIP]Image size %u above the limit %u, stream resynchronised\n", data_size, kStipMaxImageBytes);
      return false;
    }
  }
  return true;
}

uint32_t HeadWanted(const StipReassembly* r) {
  if (r->head_have < kElementValueStart) return kElementValueStart;
  return r->head[kElementStart] == kElementCtrlImage ? kElementValueStart + kCtrlImageValueBytes
                                                       : kStipImagePacketHead;
}

void FeedBytes(Feeder& f, const uint8_t* bytes, uint32_t length) {
  StipReassembly* r = f.r;
  uint64_t at = 0;
  while (at < length) {
    if (r->in_image != 0) {
      const uint32_t want = r->header.data_size - f.node->received;
      const uint32_t take = length - at < want ? static_cast<uint32_t>(length - at) : want;
      memcpy(f.node->data + f.node->received, bytes + at, take);
      f.node->received += take;
      at += take;
      if (f.node->received == r->header.data_size) Deliver(f, r->header.data_size);
      continue;
    }
    // While scanning, bytes before a possible head start are skipped without gathering.
    if (r->head_have == 0 && r->scanning != 0 && bytes[at] != kDefaultPacketHead[0]) {
      ++at;
      continue;
    }
    r->head[r->head_have++] = bytes[at++];
    if (!HeadPlausible(r)) {
      Reject(f);
      continue;
    }
    if (r->head_have >= kElementValueStart && r->head_have == HeadWanted(r)) OpenPacket(f);
  }
}

}  // namespace

int StipReassemble(ClientSession* node, const uint8_t* bytes, uint32_t length, StipDeliverFunc deliver,
                   void* context) {
  if (node == nullptr || node->header == nullptr || bytes == nullptr) return kQeltNullArgument;
  Feeder f{node, static_cast<StipReassembly*>(node->header), deliver, context, kQeltOk};
  FeedBytes(f, bytes, length);
  return f.result;
}

}  // namespace pelarin

extern "C" int STIPMallocInfoHeadFunc(ClientSession* node) {
  if (node == nullptr) return kQeltNullArgument;
  node->header = calloc(1, sizeof(pelarin::StipReassembly));
  return node->header == nullptr ? kQeltOutOfMemory : kQeltOk;
}
