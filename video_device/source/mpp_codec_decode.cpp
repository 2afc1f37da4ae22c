// The codec wrapper's H.264 decoder: set-up, packets in, packed I420 or NV12 pictures out.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "mpp_codec.h"
#include "mpp_codec_internal.h"

using mpp_codec::AllocateBytes;
using mpp_codec::FreeBytes;

namespace {

constexpr int kSplitWholeFrames = 1;
constexpr int kOutputAnswersAtOnce = 0;
constexpr int kPutPacketTries = 5;
constexpr int kTimeoutRetriesPerCall = 5;
constexpr useconds_t kTimeoutPauseUs = 2000;
constexpr useconds_t kDrainPauseUs = 3000;
constexpr int kFramesPerCall = 5;
constexpr int kFrameGroupBuffers = 24;
constexpr char kFrameGroupTag[] = "Decode";

// Where the planes of a decoded picture lie in its buffer and how many bytes its packed copy takes.
struct PictureLayout {
  size_t width, height, hor_stride, ver_stride;
  size_t packed_bytes;
  size_t source_bytes;  // the buffer must hold this much for every row read to lie inside it
};

PictureLayout LayoutOf(MppFrame frame) {
  PictureLayout layout{};
  layout.width = mpp_frame_get_width(frame);
  layout.height = mpp_frame_get_height(frame);
  layout.hor_stride = mpp_frame_get_hor_stride(frame);
  layout.ver_stride = mpp_frame_get_ver_stride(frame);
  const size_t chroma_rows = layout.height / 2;
  layout.packed_bytes = layout.width * layout.height + chroma_rows * (layout.width / 2) * 2;
  layout.source_bytes = mpp_codec::Yuv420Bytes(layout.hor_stride, layout.ver_stride);
  return layout;
}

bool PlanesFit(const PictureLayout& layout, size_t buffer_bytes) {
  return layout.hor_stride >= layout.width && layout.ver_stride >= layout.height && layout.hor_stride % 2 == 0 &&
         layout.source_bytes <= buffer_bytes;
}

// Copies rows of row_bytes from a plane whose rows are stride apart, packed one after the other.
unsigned char* CopyRows(const unsigned char* plane, size_t stride, size_t rows, size_t row_bytes,
                        unsigned char* out) {
  for (size_t row = 0; row < rows; ++row, out += row_bytes) memcpy(out, plane + row * stride, row_bytes);
  return out;
}

}  // namespace

int MppCodec::InitDecode(unsigned width, unsigned height, unsigned long packet_size) {
  printf("<--->MppCodec::InitDecode start,Width=%d,Height=%d,PacketSize=%zd\n", width, height,
         static_cast<size_t>(packet_size));
  if (ctx_ != nullptr || packet_ != nullptr) {
    puts("InitDecode, the codec already holds a context");
    return kResultFailed;
  }
  if (packet_size == 0) return kResultFailed;
  FreeBytes(packet_buffer_);
  packet_buffer_ = AllocateBytes(packet_size);
  if (packet_buffer_ == nullptr) return kResultOutOfMemory;
  packet_size_ = packet_size;
  if (mpp_packet_init(&packet_, packet_buffer_, packet_size_) != MPP_SUCCESS) {
    packet_ = nullptr;
    puts("mpp_packet_init failed");
    return kResultFailed;
  }
  if (mpp_create(&ctx_, &mpi_) != MPP_SUCCESS) {
    ctx_ = nullptr;
    mpi_ = nullptr;
    puts("InitDecode, mpp_create failed");
    return kResultFailed;
  }
  int split = kSplitWholeFrames;
  if (mpi_->control(ctx_, MPP_CTRL_DEC_SET_SPLIT_MODE, &split) != MPP_SUCCESS) {
    puts("InitDecode, mpi->control failed");
    return kResultFailed;
  }
  int timeout = kOutputAnswersAtOnce;
  const MPP_RET set_timeout = mpi_->control(ctx_, MPP_CTRL_SET_OUTPUT_TIMEOUT, &timeout);
  if (set_timeout != MPP_SUCCESS) {
    printf("InitDecode, Failed to set output timeout %d ret %d\n", timeout, set_timeout);
    return kResultFailed;
  }
  if (mpp_init(ctx_, MPP_CTX_DECODER, coding_) != MPP_SUCCESS) {
    puts("InitDecode, mpp_init failed");
    return kResultFailed;
  }
  printf("<--->MppCodec::InitDecode end,Width=%d,Height=%d,PacketSize=%zd\n", width, height,
         static_cast<size_t>(packet_size));
  return kResultOk;
}

int MppCodec::DeinitDecode() {
  int result = kResultOk;
  if (mpi_ != nullptr && ctx_ != nullptr) {
    const MPP_RET reset = mpi_->reset(ctx_);
    if (reset != MPP_SUCCESS) {
      printf("DeinitDecode, mpi->reset failed, ret=%d\n", reset);
      result = kResultFailed;
    }
  }
  // Whatever a partial InitDecode made is released too.
  if (packet_ != nullptr) mpp_packet_deinit(&packet_);
  packet_ = nullptr;
  if (frame_group_ != nullptr) mpp_buffer_group_put(frame_group_);
  frame_group_ = nullptr;
  if (ctx_ != nullptr) mpp_destroy(ctx_);
  ctx_ = nullptr;
  mpi_ = nullptr;
  FreeBytes(packet_buffer_);
  packet_size_ = 0;
  puts("DeinitDecode, return XXX_SUCCESS");
  return result;
}

int MppCodec::PutPacketWithRetries() {
  for (int attempt = 0; attempt < kPutPacketTries; ++attempt) {
    if (mpi_->decode_put_packet(ctx_, packet_) == MPP_SUCCESS) return kResultOk;
  }
  puts("decode_put_packet failed too much time");
  return kResultFailed;
}

// Asks the decoder for its next frame, pausing and asking again on time-out answers while the
// call's retries last.
MppCodec::FrameFetch MppCodec::FetchFrame(MppFrame* frame, int* timeout_retries) {
  for (;;) {
    *frame = nullptr;
    const MPP_RET ret = mpi_->decode_get_frame(ctx_, frame);
    if (ret == MPP_TIMED_OUT) {
      if (*timeout_retries > 0) {
        --*timeout_retries;
        usleep(kTimeoutPauseUs);
        continue;
      }
      puts("decode_get_frame failed too much time");
    }
    if (ret != MPP_SUCCESS) {
      printf("decode_get_frame failed ret %d\n", ret);
      return FrameFetch::kFailed;
    }
    return *frame == nullptr ? FrameFetch::kNone : FrameFetch::kFrame;
  }
}

// Gives the decoder a buffer group sized for the new pictures and lets it go on.
int MppCodec::HandleInfoChange(MppFrame frame) {
  puts("decode_get_frame get info changed found");
  const size_t buffer_size = mpp_frame_get_buf_size(frame);
  printf("decoder require buffer w:h [%d:%d] stride [%d:%d] buf_size %d\n", mpp_frame_get_width(frame),
         mpp_frame_get_height(frame), mpp_frame_get_hor_stride(frame), mpp_frame_get_ver_stride(frame),
         static_cast<int>(buffer_size));
  MPP_RET ret;
  if (frame_group_ == nullptr) {
    ret = mpp_buffer_group_get(&frame_group_, MPP_BUFFER_ION, kFrameGroupTag);
    if (ret != MPP_SUCCESS) {
      frame_group_ = nullptr;
      printf("get mpp buffer group failed ret %d\n", ret);
      return kResultFailed;
    }
    ret = mpi_->control(ctx_, MPP_CTRL_DEC_SET_BUFFER_GROUP, frame_group_);
    if (ret != MPP_SUCCESS) {
      printf("set buffer group failed ret %d\n", ret);
      return kResultFailed;
    }
  } else {
    ret = mpp_buffer_group_clear(frame_group_);
    if (ret != MPP_SUCCESS) {
      printf("clear buffer group failed ret %d\n", ret);
      return kResultFailed;
    }
  }
  ret = mpp_buffer_group_limit_config(frame_group_, buffer_size, kFrameGroupBuffers);
  if (ret != MPP_SUCCESS) {
    printf("limit buffer group failed ret %d\n", ret);
    return kResultFailed;
  }
  ret = mpi_->control(ctx_, MPP_CTRL_DEC_INFO_CHANGE_READY, nullptr);
  if (ret != MPP_SUCCESS) {
    printf("info change ready failed ret %d\n", ret);
    return kResultFailed;
  }
  return kResultOk;
}

int MppCodec::Decode(const unsigned char* packet, unsigned long length, unsigned char* out,
                     unsigned long* out_length, bool end_of_stream) {
  if (mpi_ == nullptr || packet_ == nullptr || out == nullptr || out_length == nullptr) return kResultFailed;
  if (length > packet_size_ || (packet == nullptr && length != 0)) return kResultFailed;
  if (length != 0 && mpp_packet_write(packet_, 0, packet, length) != MPP_SUCCESS) return kResultFailed;
  mpp_packet_set_pos(packet_, packet_buffer_);
  mpp_packet_set_length(packet_, length);
  if (end_of_stream) mpp_packet_set_eos(packet_);
  if (PutPacketWithRetries() != kResultOk) return kResultFailed;

  unsigned long remaining = *out_length;
  *out_length = 0;
  unsigned char* position = out;
  int timeout_retries = kTimeoutRetriesPerCall;
  unsigned long last_size = 0;
  // Pictures are taken out while the output has room for one more of the size seen last, so no
  // picture leaves the decoder without a place to go; at most five frames per call.
  for (int handled = 0; handled < kFramesPerCall; ++handled) {
    if (last_size != 0 && remaining < last_size) return kResultOk;
    MppFrame frame = nullptr;
    const FrameFetch fetched = FetchFrame(&frame, &timeout_retries);
    if (fetched == FrameFetch::kFailed) return kResultFailed;
    if (fetched == FrameFetch::kNone) return kResultOk;

    int result = kResultOk;
    if (mpp_frame_get_info_change(frame)) {
      result = HandleInfoChange(frame);
    } else {
      ++frame_count_;
      const uint32_t errinfo = mpp_frame_get_errinfo(frame);
      const uint32_t discard = mpp_frame_get_discard(frame);
      if (errinfo != 0 || discard != 0) {
        printf("decoder_get_frame get err info:%d discard:%d.\n", errinfo, discard);
      } else {
        unsigned long size = 0;
        result = CopyDecodedFrame(frame, position, remaining, &size);
        if (result == kResultOk) {
          position += size;
          remaining -= size;
          *out_length += size;
          last_size = size;
        } else {
          printf("MppCodec::Decode, picture of %lu bytes lost: %lu bytes of output left\n", size, remaining);
        }
      }
      if (mpp_frame_get_eos(frame)) puts("MppCodec::Decode, found eos frame");
    }
    mpp_frame_deinit(&frame);
    if (result != kResultOk) return kResultFailed;
    usleep(kDrainPauseUs);
  }
  return kResultOk;
}

int MppCodec::CopyDecodedFrame(void* frame, unsigned char* out, unsigned long capacity, unsigned long* size) {
  if (size == nullptr) return kResultFailed;
  if (frame == nullptr) {
    *size = 0;
    return kResultOk;
  }
  const MppFrameFormat format = mpp_frame_get_fmt(frame);
  if (format != MPP_FMT_I420 && format != MPP_FMT_NV12) {
    printf("MppCodec::Decode, not supported format %d\n", format);
    return kResultFailed;
  }
  const PictureLayout layout = LayoutOf(frame);
  const MppBuffer buffer = mpp_frame_get_buffer(frame);
  if (buffer == nullptr || !PlanesFit(layout, mpp_buffer_get_size(buffer))) return kResultFailed;
  *size = layout.packed_bytes;
  if (out == nullptr || capacity < layout.packed_bytes) return kResultOutOfMemory;

  const auto* base = static_cast<const unsigned char*>(mpp_buffer_get_ptr(buffer));
  const unsigned char* chroma = base + layout.hor_stride * layout.ver_stride;
  const size_t chroma_rows = layout.height / 2;
  unsigned char* next = CopyRows(base, layout.hor_stride, layout.height, layout.width, out);
  if (format == MPP_FMT_I420) {
    const size_t chroma_stride = layout.hor_stride / 2;
    const unsigned char* v_plane = chroma + chroma_stride * (layout.ver_stride / 2);
    next = CopyRows(chroma, chroma_stride, chroma_rows, layout.width / 2, next);
    CopyRows(v_plane, chroma_stride, chroma_rows, layout.width / 2, next);
  } else {
    CopyRows(chroma, layout.hor_stride, chroma_rows, layout.width / 2 * 2, next);
  }
  return kResultOk;
}

int MppCodec::SetPpsSps(const unsigned char* data, unsigned long length) {
  if (mpi_ == nullptr || data == nullptr || length == 0) return kResultFailed;
  MppPacket header = nullptr;
  if (mpp_packet_init(&header, const_cast<unsigned char*>(data), length) != MPP_SUCCESS) return kResultFailed;
  mpp_packet_set_extra_data(header);
  const MPP_RET put = mpi_->decode_put_packet(ctx_, header);
  mpp_packet_deinit(&header);
  return put == MPP_SUCCESS ? kResultOk : kResultFailed;
}
