// The codec wrapper's life cycle and its H.264 encoder: set-up, configuration, one access unit per
// image, the SPS/PPS and IDR requests.
#include <cstdio>
#include <cstring>

#include "mpp_codec.h"
#include "mpp_codec_internal.h"
#include "platform/h264_encoder_setup.h"

using mpp_codec::AllocateBytes;
using mpp_codec::FreeBytes;

namespace {

constexpr char kInputBufferTag[] = "InitEncode";

}  // namespace

MppCodec::MppCodec()
    : ctx_(nullptr),
      mpi_(nullptr),
      prep_cfg_(),
      rc_cfg_(),
      codec_cfg_(),
      coding_(MPP_CODING_AVC),
      width_(0),
      height_(0),
      hor_stride_(0),
      ver_stride_(0),
      format_(MPP_FMT_I420),
      input_buffer_(nullptr),
      frame_size_(0),
      work_buffer_(nullptr),
      packet_buffer_(nullptr),
      packet_size_(0),
      packet_(nullptr),
      frame_group_(nullptr),
      frame_count_(0) {}

MppCodec::~MppCodec() {
  FreeBytes(work_buffer_);
  FreeBytes(packet_buffer_);
}

// Tears down a context that InitEncode made, optionally resetting it first, and forgets it.
void MppCodec::ReleaseEncoderContext(bool reset) {
  if (reset && mpi_ != nullptr) mpi_->reset(ctx_);
  mpp_destroy(ctx_);
  ctx_ = nullptr;
  mpi_ = nullptr;
}

int MppCodec::InitEncode(unsigned width, unsigned height, unsigned frame_rate, unsigned group_of_picture,
                         unsigned bit_rate) {
  printf("<--->MppCodec::InitEncode start,Width=%d,Height=%d,FrameRate=%d,GroupOfPicture=%d,BitRate=%d\n", width,
         height, frame_rate, group_of_picture, bit_rate);
  // One object holds one context: a second set-up would lose the first one.
  if (ctx_ != nullptr) {
    puts("InitEncode, the codec already holds a context");
    return kResultFailed;
  }
  if (mpp_create(&ctx_, &mpi_) != MPP_SUCCESS) {
    ctx_ = nullptr;
    mpi_ = nullptr;
    puts("mpp_create failed");
    return kResultFailed;
  }
  if (mpp_init(ctx_, MPP_CTX_ENCODER, coding_) != MPP_SUCCESS) {
    ReleaseEncoderContext(false);
    puts("mpp_init failed");
    return kResultFailed;
  }
  if (bit_rate == 0) bit_rate = h264_setup::DefaultBitRate(width, height, frame_rate);
  if (group_of_picture == 0) group_of_picture = h264_setup::DefaultGop(frame_rate);
  if (SetupConfig(ctx_, mpi_, width, height, frame_rate, group_of_picture, bit_rate) != kResultOk) {
    ReleaseEncoderContext(false);
    puts("InitEncode, SetupConfig failed");
    return kResultFailed;
  }
  const MPP_RET got = mpp_buffer_get(nullptr, &input_buffer_, frame_size_, kInputBufferTag);
  if (got != MPP_SUCCESS) {
    input_buffer_ = nullptr;
    ReleaseEncoderContext(true);
    printf("failed to get buffer for input frame ret %d\n", got);
    return kResultFailed;
  }
  printf("InitEncode, m_FrameSize=%zd\n", frame_size_);
  FreeBytes(work_buffer_);
  work_buffer_ = AllocateBytes(frame_size_);
  if (work_buffer_ == nullptr) {
    mpp_buffer_put(input_buffer_);
    input_buffer_ = nullptr;
    ReleaseEncoderContext(true);
    printf("failed to get buffer for input frame ret %d\n", 0);
    return kResultOutOfMemory;
  }
  printf("<--->MppCodec::InitEncode end,Width=%d,Height=%d,FrameRate=%d,GroupOfPicture=%d,BitRate=%d\n", width,
         height, frame_rate, group_of_picture, bit_rate);
  return kResultOk;
}

int MppCodec::SetupConfig(void* ctx, MppApi_t* mpi, unsigned width, unsigned height, unsigned frame_rate,
                          unsigned group_of_picture, unsigned bit_rate) {
  if (ctx == nullptr || mpi == nullptr) return kResultFailed;
  h264_setup::FillPrepConfig(prep_cfg_, width, height, format_);
  MPP_RET ret = mpi->control(ctx, MPP_CTRL_ENC_SET_PREP_CONFIG, &prep_cfg_);
  if (ret != MPP_SUCCESS) {
    printf("mpi control enc set prep cfg failed ret %d\n", ret);
    return kResultFailed;
  }
  width_ = width;
  height_ = height;
  hor_stride_ = h264_setup::AlignToStride(width);
  ver_stride_ = h264_setup::AlignToStride(height);
  frame_size_ = mpp_codec::Yuv420Bytes(hor_stride_, ver_stride_);

  h264_setup::FillRcConfig(rc_cfg_, bit_rate, frame_rate, group_of_picture);
  ret = mpi->control(ctx, MPP_CTRL_ENC_SET_RC_CONFIG, &rc_cfg_);
  if (ret != MPP_SUCCESS) {
    printf("mpi control enc set rc cfg failed ret %d\n", ret);
    return kResultFailed;
  }

  h264_setup::FillH264Config(codec_cfg_, coding_, h264_setup::kLevel30);
  ret = mpi->control(ctx, MPP_CTRL_ENC_SET_CODEC_CONFIG, &codec_cfg_);
  if (ret != MPP_SUCCESS) {
    printf("mpi control enc set codec cfg failed ret %d\n", ret);
    return kResultFailed;
  }

  if (!h264_setup::SetBlockingTimeouts(ctx, mpi)) return kResultFailed;
  return kResultOk;
}

int MppCodec::DeinitEncode() {
  if (input_buffer_ != nullptr) mpp_buffer_put(input_buffer_);
  input_buffer_ = nullptr;
  if (mpi_ != nullptr) mpi_->reset(ctx_);
  mpi_ = nullptr;
  if (ctx_ != nullptr) mpp_destroy(ctx_);
  ctx_ = nullptr;
  FreeBytes(work_buffer_);
  return kResultOk;
}

int MppCodec::Encode(const unsigned char* image, unsigned long length, unsigned char* out,
                     unsigned long* out_length, bool end_of_stream) {
  if (input_buffer_ == nullptr || mpi_ == nullptr || out == nullptr || out_length == nullptr) return kResultFailed;
  if (!end_of_stream) {
    // Only a whole image of the configured size: a larger one would overrun the input buffer and a
    // smaller one would be encoded with the rest of an earlier picture.
    if (image == nullptr || length != frame_size_) {
      printf("error: ImageSize(%zd) != FrameSize(%zd)\n", static_cast<size_t>(length), frame_size_);
      return kResultFailed;
    }
    memcpy(mpp_buffer_get_ptr(input_buffer_), image, length);
  }
  MppFrame frame = nullptr;
  if (mpp_frame_init(&frame) != MPP_SUCCESS) {
    puts("mpp_frame_init failed");
    return kResultFailed;
  }
  mpp_frame_set_width(frame, width_);
  mpp_frame_set_height(frame, height_);
  mpp_frame_set_hor_stride(frame, hor_stride_);
  mpp_frame_set_ver_stride(frame, ver_stride_);
  mpp_frame_set_fmt(frame, format_);
  mpp_frame_set_eos(frame, end_of_stream ? 1 : 0);
  mpp_frame_set_buf_size(frame, frame_size_);
  mpp_frame_set_buffer(frame, end_of_stream ? nullptr : input_buffer_);
  const MPP_RET put = mpi_->encode_put_frame(ctx_, frame);
  // The encoder has taken what it needs at the put; the descriptor is ours to release either way.
  mpp_frame_deinit(&frame);
  if (put != MPP_SUCCESS) {
    puts("encode_put_frame failed");
    return kResultFailed;
  }
  MppPacket packet = nullptr;
  if (mpi_->encode_get_packet(ctx_, &packet) != MPP_SUCCESS) {
    puts("encode_put_frame failed");
    return kResultFailed;
  }
  // Every put is answered by a packet; without one there is nothing to hand out.
  if (packet == nullptr) {
    puts("encode_get_packet returned no packet");
    return kResultFailed;
  }
  const size_t packet_length = mpp_packet_get_length(packet);
  if (packet_length > *out_length) {
    printf("error: DestinationSize(%zd) < PacketLength(%zd)\n", static_cast<size_t>(*out_length), packet_length);
    mpp_packet_deinit(&packet);
    return kResultFailed;
  }
  if (packet_length != 0) memcpy(out, mpp_packet_get_pos(packet), packet_length);
  *out_length = packet_length;
  mpp_packet_deinit(&packet);
  return kResultOk;
}

int MppCodec::GetPpsSps(unsigned char* out, unsigned long* length) {
  if (out == nullptr || length == nullptr) return kResultFailed;
  if (coding_ != MPP_CODING_AVC) {
    *length = 0;
    return kResultOk;
  }
  if (mpi_ == nullptr) return kResultFailed;
  MppPacket packet = nullptr;
  if (mpi_->control(ctx_, MPP_CTRL_ENC_GET_EXTRA_INFO, &packet) != MPP_SUCCESS) {
    puts("mpi control enc get extra info failed");
    return kResultFailed;
  }
  // The header packet belongs to the encoder: read, never released here.
  const size_t header_length = packet == nullptr ? 0 : mpp_packet_get_length(packet);
  const unsigned long capacity = *length;
  *length = header_length;
  if (header_length > capacity) return kResultFailed;
  if (header_length != 0) memcpy(out, mpp_packet_get_pos(packet), header_length);
  return kResultOk;
}

int MppCodec::GenerateIdrFrame() {
  if (mpi_ == nullptr) return kResultFailed;
  const MPP_RET ret = mpi_->control(ctx_, MPP_CTRL_ENC_REQUEST_IDR, nullptr);
  if (ret != MPP_SUCCESS) {
    printf("mpi control enc set idr frame failed, ret=%d\n", ret);
    return kResultFailed;
  }
  return kResultOk;
}
