// Image stream server's send side: the send pass of one client, its one outgoing packet with a
// byte offset, the colour encoding per client, acknowledgements and control requests.
#include <cstdlib>
#include <cstring>

#include "log_limit.h"
#include "packet_head_log.h"
#include "slot_ring.h"
#include "stip_internal.h"

namespace pelarin {

namespace {

constexpr uint32_t kStartCodeBytes = 4;
constexpr uint8_t kNalTypeMask = 0x1f;
constexpr uint8_t kNalIdr = 5;
constexpr uint32_t kCtrlElementBytes = kElementHeadBytes + 12;
constexpr uint32_t kHeadScratchBytes = 64;

ServerSocketTable* TableOf(unsigned type) { return StipImageServerType(type) ? g_stip.tables[type] : nullptr; }

// Sends what is left of the client's outgoing packet. A full socket is no failure: the packet
// resumes at its offset on the next writable pass, and nothing else goes out before it ends.
int SendOutgoing(ClientSlot* slot, StipClientState* c) {
  uint32_t n = 0;
  int rc = SendPacketFragment(slot->fd, c->packet + c->sent, c->packet_length - c->sent, &n);
  c->sent += n;
  SocketNoteSend(slot, n);
  if (rc == kQeltWouldBlock) rc = kQeltOk;
  if (rc != kQeltOk) {
    // The connection is broken; its removal follows from the receive side. The other clients
    // of this pass are still served.
    QELTM_LOG_LIMITED(2, "[STIP]Send image packet, packet size %d, return code: %d\n", c->packet_length, rc);
  }
  if (c->sent >= c->packet_length) {
    c->packet_length = 0;
    c->sent = 0;
  }
  return kQeltOk;
}

int QueueAck(StipClientState* c) {
  if (!StipReserve(&c->packet, &c->packet_capacity, kStipCtrlPacketBytes)) return kQeltOutOfMemory;
  const CtrlImageRequest ack{kStipAck, c->state, 0, c->image_type, c->width, c->height, c->frame_rate};
  uint32_t length = 0;
  const int rc = STIPPackageCtrlImagePacket(&ack, c->packet, kStipCtrlPacketBytes, &length);
  if (rc != kQeltOk) {
    QELTM_LOG_LIMITED(2, "[STIP] Package ctrl image packet failed , error code: %d\n", rc);
    return rc;
  }
  QELTM_LOG_LIMITED(0, "[STIP]Send Ack ctrl image packet, packet size %d, return code: %d\n", length, kQeltOk);
  c->packet_length = length;
  c->sent = 0;
  return kQeltOk;
}

// Encodes the client's raw colour image into its packet area behind the head: SPS/PPS in front of
// an IDR picture. Any failure drops the image and asks for an IDR next, so the decoder never
// sees a picture that refers to one it did not get.
int EncodeColor(StipClientState* c, uint32_t* data_size) {
  if (c->encoder == nullptr &&
      STIPInitEncode(kStipEncoderCoding, kStipColorWidth, kStipColorHeight, kStipColorFps, kStipColorGop,
                     g_stip.color_bit_rate, &c->encoder) != kQeltOk) {
    return kQeltOtherError;
  }
  uint8_t* out = c->packet + kStipImagePacketHead;
  unsigned long header_length = kStipCodecBufferBytes;
  if (STIPMPPGetPpsSps(c->encoder, out, &header_length) != kQeltOk) header_length = 0;
  if (c->force_idr != 0) STIPMPPRequestIdr(c->encoder);
  unsigned long frame_length = kStipCodecBufferBytes - header_length;
  const int rc = STIPMPPEncode(c->encoder, c->raw, c->header.data_size, out + header_length, &frame_length, 0);
  if (rc != kQeltOk) {
    c->force_idr = 1;
    return rc;
  }
  c->force_idr = 0;
  const bool idr = frame_length > kStartCodeBytes && (out[header_length + kStartCodeBytes] & kNalTypeMask) == kNalIdr;
  if (!idr) {
    memmove(out, out + header_length, frame_length);
    header_length = 0;
  }
  *data_size = static_cast<uint32_t>(header_length + frame_length);
  return kQeltOk;
}

// Builds the packet of the image the client just took; the image is dropped for this client
// when it cannot be built.
int BuildImagePacket(StipClientState* c) {
  const bool color = c->header.image_type == kStipImageTypeColor;
  const uint32_t room = color ? kStipCodecBufferBytes : c->header.data_size;
  if (!StipReserve(&c->packet, &c->packet_capacity, kStipImagePacketHead + room)) return kQeltOutOfMemory;
  uint32_t data_size = c->header.data_size;
  if (color) {
    const int rc = EncodeColor(c, &data_size);
    if (rc != kQeltOk) {
      QELTM_LOG_LIMITED(2, "[STIP]Colour image %u not encoded, dropped for this client, return code: %d\n",
                        c->header.frame_index, rc);
      return rc;
    }
  } else if (data_size > 0) {
    memcpy(c->packet + kStipImagePacketHead, c->raw, data_size);
  }
  c->header.data_size = data_size;
  StipWriteImageHead(c->header, c->packet);
  c->packet_length = kStipImagePacketHead + data_size;
  c->sent = 0;
  return kQeltOk;
}

void LogHead(const uint8_t* data, uint64_t length) { LogPacketHead("[STIP]", data, length); }

void ChangeReaders(unsigned type, bool add, StipClientState* c) {
  const int lock = StipLockRing(type, kMutexWaitForever);
  ImageRing* ring = STIPServerGetServerData(type);
  if (add) {
    STIPRingAddReader(ring, c);
  } else {
    STIPRingRemoveReader(ring);
  }
  if (lock == kQeltOk) StipUnlockRing(type);
}

// Streaming clients of the port whose peer has not hung up: a start is refused only when these
// fill the cap, not while a client that left still counts until its removal.
uint32_t LiveStreamers(unsigned type) {
  const ServerSocketTable* table = TableOf(type);
  uint32_t live = 0;
  for (uint32_t i = table == nullptr ? kNoSlot : table->first_used; i != kNoSlot; i = table->slots[i].next) {
    const StipClientState* other = static_cast<const StipClientState*>(table->slots[i].protocol_data);
    if (other != nullptr && other->state == kStipStreaming && !SocketPeerHungUp(table->slots[i].fd)) ++live;
  }
  return live;
}

// Handles one control request; false when it closed the client's connection.
bool HandleCtrlRequest(int server_fd, int fd, unsigned type, const CtrlImage& r) {
  if (r.command_type == kStipAck) {
    QELTM_LOG_LIMITED(0,
                      "[STIP] Receive ack ctrl image packet. Command Type: %d, command: %d,error: %d, image type: %d, "
                      "image width: %d, image height: %d, image frame rate:%d\n",
                      r.command_type, r.command, r.error, r.image_type, r.width, r.height, r.frame_rate);
    return true;
  }
  if (r.command_type != kStipRequest) return true;
  QELTM_LOG_LIMITED(0,
                    "[STIP] Receive ctrl image packet. Command Type: %d,command: %d,error: %d, image type: %d, image "
                    "width: %d, image height: %d, image frame rate:%d\n",
                    r.command_type, r.command, r.error, r.image_type, r.width, r.height, r.frame_rate);
  ClientSlot* slot = SocketGetClientFDInfo(TableOf(type), fd);
  StipClientState* c = slot == nullptr ? nullptr : static_cast<StipClientState*>(slot->protocol_data);
  if (c == nullptr) {
    QELTM_LOG_LIMITED(2, "[STIP] The client does not connnect STIP server, server socket fd: %d, client socket fd:%d\n",
                      server_fd, fd);
    return true;
  }
  if (r.command == kStipStart) {
    if (c->state != kStipStreaming && StipPortStreamsToItsCap(type) && LiveStreamers(type) >= kStipMaxClientsPerPort) {
      QELTM_LOG_LIMITED(2, "[Proxy]Reach max connect: server socket fd: %d, client sock fd is %d, ServerType %d\n",
                        server_fd, fd, type);
      STIPServerRemoveClient(server_fd, fd, type);
      return false;
    }
    if (c->state != kStipStreaming) ChangeReaders(type, true, c);
    c->state = kStipStreaming;
    ++c->pending_acks;
    c->width = r.width;
    c->height = r.height;
    c->frame_rate = r.frame_rate;
    c->image_type = r.image_type;
  } else if (r.command == kStipStop) {
    if (c->state == kStipStreaming) ChangeReaders(type, false, c);
    c->state = kStipStopped;
    c->pending_acks = 0;
    c->width = c->height = 0;
    c->frame_rate = 0;
    c->image_type = 0;
    STIPDeinitEncode(&c->encoder);  // a restart begins a fresh stream with an IDR
    c->force_idr = 0;
  } else {
    QELTM_LOG_LIMITED(2, "[STIP] server does not support 0x%x command\n", r.command);
  }
  return true;
}

}  // namespace

void StipClientRelease(StipClientState* c) {
  if (c == nullptr) return;
  STIPDeinitEncode(&c->encoder);
  free(c->raw);
  free(c->packet);
  c->raw = c->packet = nullptr;
  c->raw_capacity = c->packet_capacity = 0;
  c->packet_length = c->sent = 0;
}

bool StipReserve(uint8_t** buffer, uint32_t* capacity, uint32_t size) { return ReserveBuffer(buffer, capacity, size); }

void StipWriteImageHead(const ImagePara& header, uint8_t* out) {
  uint8_t scratch[kHeadScratchBytes];
  uint32_t length = 0;
  PacketComposeOne(kElementImagePara, &header, 0, scratch, sizeof scratch, &length);
  memcpy(out, scratch, kStipImagePacketHead);
}

// Control requests only, each element checked against what was received; anything else is dropped.
int StipServerAnalysis(int server_fd, int fd, unsigned type, const uint8_t* buffer, uint32_t length) {
  uint64_t offset = 0;
  while (offset < length) {
    const uint8_t* at = buffer + offset;
    const uint32_t remaining = static_cast<uint32_t>(length - offset);
    uint32_t consumed = 0;
    int rc = CheckPacketDefaultHead(at, remaining, nullptr, 0, &consumed);
    if (rc != kQeltOk) {
      LogHead(at, remaining);
      return rc;
    }
    offset += kPacketHeadBytes;
    if (offset >= length) return kQeltHeadTooShort;
    const uint8_t element = buffer[offset];
    if (element >= kFirstInvalidElementType) {
      QELTM_LOG_LIMITED(2, "[STIP]Packet Type is valid, type %d\n", element);
      return kQeltBadElementType;
    }
    if (element != kElementCtrlImage) {
      QELTM_LOG_LIMITED(2, "[STIP]STIP does not support this packet type %d\n", element);
      return kQeltOk;
    }
    CtrlImage request{};
    rc = AnalysisPacketHandler[kElementCtrlImage](buffer + offset, static_cast<uint32_t>(length - offset), &request,
                                                  sizeof request, &consumed);
    if (rc != kQeltOk) return rc;
    if (consumed != kCtrlElementBytes) return kQeltInvalid;  // a request value has exactly 12 bytes
    if (!HandleCtrlRequest(server_fd, fd, type, request)) return kQeltOk;  // the connection is gone
    offset += consumed;
  }
  return kQeltOk;
}

}  // namespace pelarin

using namespace pelarin;

extern "C" {

int STIPPackageImagePacket(const StipClientState* client, const uint8_t* data, uint8_t* out, uint32_t size) {
  if (client == nullptr || out == nullptr || (data == nullptr && size > kStipImagePacketHead)) return kQeltNullArgument;
  if (size < kStipImagePacketHead) return kQeltBufferTooSmall;
  StipWriteImageHead(client->header, out);
  if (size > kStipImagePacketHead) memcpy(out + kStipImagePacketHead, data, size - kStipImagePacketHead);
  return kQeltOk;
}

int STIPPackageCtrlImagePacket(const CtrlImageRequest* record, uint8_t* out, uint32_t capacity, uint32_t* length) {
  if (record == nullptr || out == nullptr || length == nullptr) return kQeltNullArgument;
  return PacketComposeOne(kElementCtrlImage, record, 0, out, capacity, length);
}

int STIPServerSendProcess(ClientSlot* slot, unsigned server_type) {
  if (slot == nullptr) return kQeltNullArgument;
  StipClientState* c = static_cast<StipClientState*>(slot->protocol_data);
  if (c == nullptr) return kQeltNoSession;
  if (c->packet_length > 0) return SendOutgoing(slot, c);
  if (c->state != kStipStreaming) return kQeltOk;
  if (c->pending_acks != 0) {
    const int rc = QueueAck(c);
    if (rc != kQeltOk) {
      QELTM_LOG_LIMITED(2, "[STIP] Send ack failed, return code: %d\n", rc);
      return rc;
    }
    --c->pending_acks;
    return SendOutgoing(slot, c);
  }
  const int lock = StipLockRing(server_type, kRingLockMillis);
  if (lock != kQeltOk) {
    Qeltmlog(2, "[STIP]Lock %s data failed, return code:%d\n", StipRingName(server_type), lock);
    Qeltmlog(2, "[STIP] %s can not get lock\n", StipRingName(server_type));
    return lock;
  }
  const uint64_t before = c->last_sequence;
  const int rc = STIPReadServerData(TableOf(server_type), slot);
  const int unlock = StipUnlockRing(server_type);
  if (unlock != kQeltOk) {
    Qeltmlog(2, "[STIP]UnLock %s data failed, return code:%d\n", StipRingName(server_type), unlock);
  }
  if (rc != kQeltOk || c->last_sequence == before) return rc;
  if (BuildImagePacket(c) != kQeltOk) return kQeltOk;
  return SendOutgoing(slot, c);
}

int STIPAnalysisPacket(int server_fd, int fd, unsigned server_type, const uint8_t* buffer, uint32_t length,
                       int channel) {
  if (buffer == nullptr) return kQeltNullArgument;
  if (server_fd != 0) return StipServerAnalysis(server_fd, fd, server_type, buffer, length);
  return StipClientAnalysis(fd, channel, buffer, length);
}

}  // extern "C"
