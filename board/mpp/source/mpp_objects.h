// Media library stand-in: the frame, packet and buffer objects behind the opaque handles.
#pragma once

#include "board/mpp.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace board_mpp {

// Counts itself among the library's live objects, so tests can see leaks.
struct LiveObject {
  LiveObject();
  LiveObject(const LiveObject&) = delete;
  LiveObject& operator=(const LiveObject&) = delete;
  ~LiveObject();
};

// What a buffer group knows about itself; buffers keep it alive until they are released.
struct BufferGroupState {
  MppBufferType type = MPP_BUFFER_NORMAL;
  std::string tag;
  size_t limit_size = 0;  // 0: no limit
  int limit_count = 0;    // 0: no limit
  std::atomic<int> buffers_in_use{0};
};

struct BufferGroup : LiveObject {
  std::shared_ptr<BufferGroupState> state = std::make_shared<BufferGroupState>();
};

// One reference-counted block of memory; the last release frees it.
struct Buffer : LiveObject {
  std::vector<uint8_t> bytes;
  std::shared_ptr<BufferGroupState> group;
  std::atomic<int> references{1};
};

// Takes one more reference on a buffer (null allowed).
void RetainBuffer(Buffer* buffer);
// Drops one reference; the last one frees the buffer and returns it to its group.
void ReleaseBuffer(Buffer* buffer);
// Allocates a buffer from a group (null: the default group), respecting its limits.
MPP_RET AllocateBuffer(const std::shared_ptr<BufferGroupState>& group, size_t size, Buffer** out);

struct Frame : LiveObject {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t hor_stride = 0;
  uint32_t ver_stride = 0;
  MppFrameFormat format = MPP_FMT_I420;
  uint32_t eos = 0;
  size_t buf_size = 0;
  Buffer* buffer = nullptr;  // one reference held
  uint32_t info_change = 0;
  uint32_t errinfo = 0;
  uint32_t discard = 0;
  ~Frame() { ReleaseBuffer(buffer); }
};

// A packet either owns its bytes (made by the library) or wraps the caller's area.
struct Packet : LiveObject {
  std::vector<uint8_t> owned;
  uint8_t* data = nullptr;
  size_t capacity = 0;
  uint8_t* position = nullptr;
  size_t length = 0;
  uint32_t eos = 0;
  uint32_t extra_data = 0;
};

// A packet that owns a copy of `bytes`.
Packet* MakeOwnedPacket(std::vector<uint8_t> bytes);

}  // namespace board_mpp
