// Media library stand-in: frames, packets, buffers and buffer groups.
#include "mpp_objects.h"

#include <cstring>
#include <new>

namespace board_mpp {
namespace {
std::atomic<size_t> live_objects{0};

Frame* AsFrame(MppFrame frame) { return static_cast<Frame*>(frame); }
Packet* AsPacket(MppPacket packet) { return static_cast<Packet*>(packet); }
}  // namespace

LiveObject::LiveObject() { ++live_objects; }
LiveObject::~LiveObject() { --live_objects; }

void RetainBuffer(Buffer* buffer) {
  if (buffer != nullptr) ++buffer->references;
}

void ReleaseBuffer(Buffer* buffer) {
  if (buffer == nullptr) return;
  if (--buffer->references > 0) return;
  if (buffer->group) --buffer->group->buffers_in_use;
  delete buffer;
}

MPP_RET AllocateBuffer(const std::shared_ptr<BufferGroupState>& group, size_t size, Buffer** out) {
  if (out == nullptr || size == 0) return MPP_NULL_ARGUMENT;
  *out = nullptr;
  if (group) {
    if (group->limit_size != 0 && size > group->limit_size) return MPP_FAILURE;
    if (group->limit_count != 0 && group->buffers_in_use >= group->limit_count) return MPP_NO_MEMORY;
  }
  auto* buffer = new (std::nothrow) Buffer;
  if (buffer == nullptr) return MPP_NO_MEMORY;
  buffer->bytes.resize(size);
  buffer->group = group;
  if (group) ++group->buffers_in_use;
  *out = buffer;
  return MPP_SUCCESS;
}

Packet* MakeOwnedPacket(std::vector<uint8_t> bytes) {
  auto* packet = new (std::nothrow) Packet;
  if (packet == nullptr) return nullptr;
  packet->owned = std::move(bytes);
  packet->data = packet->owned.data();
  packet->capacity = packet->owned.size();
  packet->position = packet->data;
  packet->length = packet->owned.size();
  return packet;
}

}  // namespace board_mpp

using namespace board_mpp;

extern "C" {

size_t mpp_debug_live_objects(void) { return live_objects.load(); }

MPP_RET mpp_buffer_get(MppBufferGroup group, MppBuffer* buffer, size_t size, const char* /*tag*/) {
  if (buffer == nullptr) return MPP_NULL_ARGUMENT;
  std::shared_ptr<BufferGroupState> state;
  if (group != nullptr) state = static_cast<BufferGroup*>(group)->state;
  Buffer* made = nullptr;
  MPP_RET result = AllocateBuffer(state, size, &made);
  *buffer = made;
  return result;
}

void* mpp_buffer_get_ptr(MppBuffer buffer) {
  return buffer == nullptr ? nullptr : static_cast<Buffer*>(buffer)->bytes.data();
}

size_t mpp_buffer_get_size(MppBuffer buffer) {
  return buffer == nullptr ? 0 : static_cast<Buffer*>(buffer)->bytes.size();
}

MPP_RET mpp_buffer_put(MppBuffer buffer) {
  if (buffer == nullptr) return MPP_NULL_ARGUMENT;
  ReleaseBuffer(static_cast<Buffer*>(buffer));
  return MPP_SUCCESS;
}

MPP_RET mpp_buffer_group_get(MppBufferGroup* group, MppBufferType type, const char* tag) {
  if (group == nullptr) return MPP_NULL_ARGUMENT;
  auto* made = new (std::nothrow) BufferGroup;
  *group = made;
  if (made == nullptr) return MPP_NO_MEMORY;
  made->state->type = type;
  if (tag != nullptr) made->state->tag = tag;
  return MPP_SUCCESS;
}

MPP_RET mpp_buffer_group_clear(MppBufferGroup group) {
  // Buffers are freed as soon as their last user lets go, so no free buffer is ever kept.
  return group == nullptr ? MPP_NULL_ARGUMENT : MPP_SUCCESS;
}

MPP_RET mpp_buffer_group_limit_config(MppBufferGroup group, size_t size, int count) {
  if (group == nullptr || count < 0) return MPP_NULL_ARGUMENT;
  auto& state = *static_cast<BufferGroup*>(group)->state;
  state.limit_size = size;
  state.limit_count = count;
  return MPP_SUCCESS;
}

MPP_RET mpp_buffer_group_put(MppBufferGroup group) {
  if (group == nullptr) return MPP_NULL_ARGUMENT;
  delete static_cast<BufferGroup*>(group);
  return MPP_SUCCESS;
}

MPP_RET mpp_frame_init(MppFrame* frame) {
  if (frame == nullptr) return MPP_NULL_ARGUMENT;
  *frame = new (std::nothrow) Frame;
  return *frame == nullptr ? MPP_NO_MEMORY : MPP_SUCCESS;
}

MPP_RET mpp_frame_deinit(MppFrame* frame) {
  if (frame == nullptr || *frame == nullptr) return MPP_NULL_ARGUMENT;
  delete AsFrame(*frame);
  *frame = nullptr;
  return MPP_SUCCESS;
}

void mpp_frame_set_width(MppFrame frame, uint32_t width) { AsFrame(frame)->width = width; }
void mpp_frame_set_height(MppFrame frame, uint32_t height) { AsFrame(frame)->height = height; }
void mpp_frame_set_hor_stride(MppFrame frame, uint32_t stride) { AsFrame(frame)->hor_stride = stride; }
void mpp_frame_set_ver_stride(MppFrame frame, uint32_t stride) { AsFrame(frame)->ver_stride = stride; }
void mpp_frame_set_fmt(MppFrame frame, MppFrameFormat format) { AsFrame(frame)->format = format; }
void mpp_frame_set_eos(MppFrame frame, uint32_t eos) { AsFrame(frame)->eos = eos; }
void mpp_frame_set_buf_size(MppFrame frame, size_t size) { AsFrame(frame)->buf_size = size; }

void mpp_frame_set_buffer(MppFrame frame, MppBuffer buffer) {
  Frame* target = AsFrame(frame);
  auto* incoming = static_cast<Buffer*>(buffer);
  RetainBuffer(incoming);
  ReleaseBuffer(target->buffer);
  target->buffer = incoming;
}

uint32_t mpp_frame_get_width(MppFrame frame) { return AsFrame(frame)->width; }
uint32_t mpp_frame_get_height(MppFrame frame) { return AsFrame(frame)->height; }
uint32_t mpp_frame_get_hor_stride(MppFrame frame) { return AsFrame(frame)->hor_stride; }
uint32_t mpp_frame_get_ver_stride(MppFrame frame) { return AsFrame(frame)->ver_stride; }
MppFrameFormat mpp_frame_get_fmt(MppFrame frame) { return AsFrame(frame)->format; }
uint32_t mpp_frame_get_eos(MppFrame frame) { return AsFrame(frame)->eos; }
size_t mpp_frame_get_buf_size(MppFrame frame) { return AsFrame(frame)->buf_size; }
MppBuffer mpp_frame_get_buffer(MppFrame frame) { return AsFrame(frame)->buffer; }
uint32_t mpp_frame_get_info_change(MppFrame frame) { return AsFrame(frame)->info_change; }
uint32_t mpp_frame_get_errinfo(MppFrame frame) { return AsFrame(frame)->errinfo; }
uint32_t mpp_frame_get_discard(MppFrame frame) { return AsFrame(frame)->discard; }

MPP_RET mpp_packet_init(MppPacket* packet, void* data, size_t size) {
  if (packet == nullptr) return MPP_NULL_ARGUMENT;
  auto* made = new (std::nothrow) Packet;
  *packet = made;
  if (made == nullptr) return MPP_NO_MEMORY;
  made->data = static_cast<uint8_t*>(data);
  made->capacity = data == nullptr ? 0 : size;
  made->position = made->data;
  made->length = made->capacity;
  return MPP_SUCCESS;
}

MPP_RET mpp_packet_deinit(MppPacket* packet) {
  if (packet == nullptr || *packet == nullptr) return MPP_NULL_ARGUMENT;
  delete AsPacket(*packet);
  *packet = nullptr;
  return MPP_SUCCESS;
}

MPP_RET mpp_packet_write(MppPacket packet, size_t offset, const void* data, size_t size) {
  Packet* target = AsPacket(packet);
  if (target == nullptr || (data == nullptr && size != 0)) return MPP_NULL_ARGUMENT;
  if (offset > target->capacity || size > target->capacity - offset) return MPP_FAILURE;
  if (size != 0) std::memcpy(target->data + offset, data, size);
  return MPP_SUCCESS;
}

void mpp_packet_set_pos(MppPacket packet, void* position) {
  AsPacket(packet)->position = static_cast<uint8_t*>(position);
}
void mpp_packet_set_length(MppPacket packet, size_t length) { AsPacket(packet)->length = length; }
void mpp_packet_set_eos(MppPacket packet) { AsPacket(packet)->eos = 1; }
void mpp_packet_set_extra_data(MppPacket packet) { AsPacket(packet)->extra_data = 1; }
void* mpp_packet_get_pos(MppPacket packet) { return AsPacket(packet)->position; }
size_t mpp_packet_get_length(MppPacket packet) { return AsPacket(packet)->length; }
uint32_t mpp_packet_get_eos(MppPacket packet) { return AsPacket(packet)->eos; }

}  // extern "C"
