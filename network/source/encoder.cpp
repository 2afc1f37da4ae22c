// Colour stream encoder over the media library: creation, configuration, one access unit per image,
// the SPS/PPS header and tear-down.
#include "pelarin/encoder.h"

#include <board/mpp.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "log_limit.h"
#include "platform/h264_encoder_setup.h"
#include "pelarin/foundation.h"
#include "pelarin/socket.h"

struct StipEncoder {
  MppCtx ctx;
  MppApi* mpi;
  MppEncPrepConfig prep;
  MppEncRcConfig rc;
  MppEncCodecConfig codec;
  uint32_t width, height, hor_stride, ver_stride;
  MppFrameFormat format;
  uint32_t frame_size;
  uint32_t fps, gop;
  MppBuffer input_buffer;
};

namespace {

constexpr int32_t kLevel20 = 20;
constexpr uint32_t kLevel20Width = 240;
constexpr uint32_t kLevel20Height = 320;
constexpr char kInputBufferTag[] = "STIPInitEncode";

int32_t LevelFor(uint32_t width, uint32_t height) {
  if (width == kStipColorWidth && height == kStipColorHeight) return h264_setup::kLevel30;
  if (width == kLevel20Width && height == kLevel20Height) return kLevel20;
  return 0;
}

void Destroy(StipEncoder* e, bool reset) {
  if (reset && e->mpi != nullptr) e->mpi->reset(e->ctx);
  mpp_destroy(e->ctx);
  free(e);
}

}  // namespace

extern "C" {

int STIPMPPSetupConfig(StipEncoder* e, uint32_t width, uint32_t height, uint32_t fps, uint32_t gop,
                       uint32_t bit_rate) {
  if (e == nullptr) return kQeltNullArgument;
  h264_setup::FillPrepConfig(e->prep, width, height, e->format);
  int ret = e->mpi->control(e->ctx, MPP_CTRL_ENC_SET_PREP_CONFIG, &e->prep);
  if (ret != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpi control enc set prep cfg failed ret %d\n", ret);
    return kQeltOtherError;
  }
  e->width = width;
  e->height = height;
  e->hor_stride = h264_setup::AlignToStride(width);
  e->ver_stride = h264_setup::AlignToStride(height);
  e->frame_size = e->hor_stride * e->ver_stride * 3 / 2;
  e->fps = fps;
  e->gop = gop;

  h264_setup::FillRcConfig(e->rc, bit_rate, fps, gop);
  ret = e->mpi->control(e->ctx, MPP_CTRL_ENC_SET_RC_CONFIG, &e->rc);
  if (ret != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpi control enc set rc cfg failed ret %d\n", ret);
    return kQeltOtherError;
  }

  h264_setup::FillH264Config(e->codec, MPP_CODING_AVC, LevelFor(width, height));
  ret = e->mpi->control(e->ctx, MPP_CTRL_ENC_SET_CODEC_CONFIG, &e->codec);
  if (ret != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpi control enc set codec cfg failed ret %d\n", ret);
    return kQeltOtherError;
  }

  if (!h264_setup::SetBlockingTimeouts(e->ctx, e->mpi)) return kQeltOtherError;
  return kQeltOk;
}

int STIPInitEncode(int /*coding*/, uint32_t width, uint32_t height, uint32_t fps, uint32_t gop, uint32_t bit_rate,
                   StipEncoder** out) {
  if (out == nullptr) return kQeltNullArgument;
  StipEncoder* e = static_cast<StipEncoder*>(calloc(1, sizeof(StipEncoder)));
  if (e == nullptr) return kQeltOutOfMemory;
  QELTM_LOG_LIMITED(0, "STIPInitEncode, mpp_create\n");
  if (mpp_create(&e->ctx, &e->mpi) != MPP_SUCCESS) {
    free(e);
    QELTM_LOG_LIMITED(2, "mpp_create failed\n");
    return kQeltOtherError;
  }
  QELTM_LOG_LIMITED(0, "STIPInitEncode, mpp_init\n");
  if (mpp_init(e->ctx, MPP_CTX_ENCODER, MPP_CODING_AVC) != MPP_SUCCESS) {
    Destroy(e, false);
    QELTM_LOG_LIMITED(2, "mpp_init failed\n");
    return kQeltOtherError;
  }
  if (bit_rate == 0) bit_rate = h264_setup::DefaultBitRate(width, height, fps);
  if (gop == 0) gop = h264_setup::DefaultGop(fps);
  e->format = MPP_FMT_I420;
  QELTM_LOG_LIMITED(0, "STIPInitEncode, STIPMPPSetupConfig\n");
  if (STIPMPPSetupConfig(e, width, height, fps, gop, bit_rate) != kQeltOk) {
    Destroy(e, false);
    QELTM_LOG_LIMITED(2, "InitEncode, SetupConfig failed\n");
    return kQeltOtherError;
  }
  QELTM_LOG_LIMITED(0, "STIPInitEncode, mpp_buffer_get\n");
  const int ret = mpp_buffer_get(nullptr, &e->input_buffer, e->frame_size, kInputBufferTag);
  if (ret != MPP_SUCCESS) {
    Destroy(e, true);
    QELTM_LOG_LIMITED(2, "failed to get buffer for input frame ret %d\n", ret);
    return kQeltOtherError;
  }
  QELTM_LOG_LIMITED(0, "InitEncode, m_FrameSize=%zd\n", static_cast<size_t>(e->frame_size));
  *out = e;
  return kQeltOk;
}

int STIPDeinitEncode(StipEncoder** encoder) {
  if (encoder == nullptr || *encoder == nullptr) return kQeltOk;
  StipEncoder* e = *encoder;
  e->mpi->reset(e->ctx);
  // The input buffer came from us: give it back so the library keeps no orphan.
  if (e->input_buffer != nullptr) mpp_buffer_put(e->input_buffer);
  Destroy(e, false);
  *encoder = nullptr;
  return kQeltOk;
}

int STIPMPPGetPpsSps(StipEncoder* e, void* out, unsigned long* length) {
  if (e == nullptr || out == nullptr || length == nullptr) return kQeltNullArgument;
  MppPacket packet = nullptr;
  if (e->mpi->control(e->ctx, MPP_CTRL_ENC_GET_EXTRA_INFO, &packet) != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpi control enc get extra info failed\n");
    return kQeltOtherError;
  }
  if (packet == nullptr) {
    *length = 0;
    return kQeltOk;
  }
  const size_t size = mpp_packet_get_length(packet);
  const unsigned long capacity = *length;
  *length = size;
  if (size > capacity) return kQeltOtherError;
  memcpy(out, mpp_packet_get_pos(packet), size);
  return kQeltOk;
}

int STIPMPPEncode(StipEncoder* e, const void* image, unsigned long size, void* out, unsigned long* length, int eos) {
  if (e == nullptr || out == nullptr || length == nullptr || (image == nullptr && eos == 0)) return kQeltNullArgument;
  // Only whole images of the configured size: anything else would not fit the input buffer or
  // would be read as the wrong picture.
  if (eos == 0 && size != e->frame_size) {
    QELTM_LOG_LIMITED(2, "Image size %lu is not the encoder frame size %u\n", size, e->frame_size);
    return kQeltOtherError;
  }
  if (eos == 0) memcpy(mpp_buffer_get_ptr(e->input_buffer), image, size);
  MppFrame frame = nullptr;
  if (mpp_frame_init(&frame) != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpp_frame_init failed\n");
    return kQeltOtherError;
  }
  mpp_frame_set_width(frame, e->width);
  mpp_frame_set_height(frame, e->height);
  mpp_frame_set_hor_stride(frame, e->hor_stride);
  mpp_frame_set_ver_stride(frame, e->ver_stride);
  mpp_frame_set_fmt(frame, e->format);
  mpp_frame_set_eos(frame, eos != 0 ? 1 : 0);
  mpp_frame_set_buf_size(frame, e->frame_size);
  mpp_frame_set_buffer(frame, eos != 0 ? nullptr : e->input_buffer);
  const int put = e->mpi->encode_put_frame(e->ctx, frame);
  // The library encodes at the put; the descriptor is ours to release either way.
  mpp_frame_deinit(&frame);
  if (put != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "encode_put_frame failed\n");
    return kQeltOtherError;
  }
  MppPacket packet = nullptr;
  if (e->mpi->encode_get_packet(e->ctx, &packet) != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "encode_put_frame failed\n");
    return kQeltOtherError;
  }
  // An answer without a packet leaves nothing to send: a failure, never the capacity as length.
  if (packet == nullptr) {
    QELTM_LOG_LIMITED(2, "encode_get_packet returned no packet\n");
    return kQeltOtherError;
  }
  const size_t packet_length = mpp_packet_get_length(packet);
  if (packet_length > *length) {
    QELTM_LOG_LIMITED(2, "error: DestinationSize(%zd) < PacketLength(%zd)\n", static_cast<size_t>(*length), packet_length);
    mpp_packet_deinit(&packet);
    return kQeltOtherError;
  }
  memcpy(out, mpp_packet_get_pos(packet), packet_length);
  *length = packet_length;
  mpp_packet_deinit(&packet);
  return kQeltOk;
}

int STIPMPPRequestIdr(StipEncoder* e) {
  if (e == nullptr) return kQeltNullArgument;
  return e->mpi->control(e->ctx, MPP_CTRL_ENC_REQUEST_IDR, nullptr) == MPP_SUCCESS ? kQeltOk : kQeltOtherError;
}

uint32_t STIPEncoderFrameSize(const StipEncoder* e) { return e == nullptr ? 0 : e->frame_size; }

int STIPEncoderGetSettings(const StipEncoder* e, StipEncoderSettings* out) {
  if (e == nullptr || out == nullptr) return kQeltNullArgument;
  *out = StipEncoderSettings{e->width,      e->height,      e->hor_stride, e->ver_stride,            e->rc.bps_target,
                             e->rc.bps_max, e->rc.bps_min, e->gop,        e->fps,                   e->codec.h264.level};
  return kQeltOk;
}

}  // extern "C"
