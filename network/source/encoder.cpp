// Colour stream encoder over the media library: creation, configuration, one access unit per image,
// the SPS/PPS header and tear-down.
#include "pelarin/encoder.h"

#include <board/mpp.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "log_limit.h"
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

constexpr uint32_t kStrideAlign = 16;
constexpr uint32_t kPrepChangeMask = 21;
constexpr uint32_t kRcChangeAll = 0xFFFFFFFF;
constexpr int32_t kRcModeVbr = 0;
constexpr int32_t kRcQualityMedium = 4;
constexpr uint32_t kH264ChangeMask = 0x10016;
constexpr int32_t kProfileBaseline = 66;
constexpr int32_t kLevel30 = 30;
constexpr int32_t kLevel20 = 20;
constexpr uint32_t kLevel20Width = 240;
constexpr uint32_t kLevel20Height = 320;
constexpr int32_t kQpInit = 0, kQpMax = 48, kQpMin = 4, kQpMaxStep = 16;
constexpr int kBlockWithoutLimit = -1;
constexpr uint32_t kBitsPerPixelDivisor = 8;
constexpr uint32_t kGopPerFps = 2;
constexpr char kInputBufferTag[] = "STIPInitEncode";

uint32_t AlignUp(uint32_t v) { return (v + kStrideAlign - 1) / kStrideAlign * kStrideAlign; }

int32_t LevelFor(uint32_t width, uint32_t height) {
  if (width == kStipColorWidth && height == kStipColorHeight) return kLevel30;
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
  MppEncPrepConfig& prep = e->prep;
  memset(&prep, 0, sizeof prep);
  prep.change = kPrepChangeMask;
  prep.width = static_cast<int32_t>(width);
  prep.height = static_cast<int32_t>(height);
  prep.hor_stride = static_cast<int32_t>(AlignUp(width));
  prep.ver_stride = static_cast<int32_t>(AlignUp(height));
  prep.format = e->format;
  int ret = e->mpi->control(e->ctx, MPP_CTRL_ENC_SET_PREP_CONFIG, &prep);
  if (ret != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpi control enc set prep cfg failed ret %d\n", ret);
    return kQeltOtherError;
  }
  e->width = width;
  e->height = height;
  e->hor_stride = AlignUp(width);
  e->ver_stride = AlignUp(height);
  e->frame_size = e->hor_stride * e->ver_stride * 3 / 2;
  e->fps = fps;
  e->gop = gop;

  MppEncRcConfig& rc = e->rc;
  memset(&rc, 0, sizeof rc);
  rc.change = kRcChangeAll;
  rc.rc_mode = kRcModeVbr;
  rc.quality = kRcQualityMedium;
  rc.bps_target = bit_rate;
  rc.bps_max = bit_rate * 17 / 16;
  rc.bps_min = bit_rate * 15 / 16;
  rc.fps_in_flex = 0;
  rc.fps_in_num = static_cast<int32_t>(fps);
  rc.fps_in_denom = 1;
  rc.fps_out_flex = 0;
  rc.fps_out_num = static_cast<int32_t>(fps);
  rc.fps_out_denom = 1;
  rc.gop = static_cast<int32_t>(gop);
  rc.skip_count = 0;
  ret = e->mpi->control(e->ctx, MPP_CTRL_ENC_SET_RC_CONFIG, &rc);
  if (ret != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpi control enc set rc cfg failed ret %d\n", ret);
    return kQeltOtherError;
  }

  MppEncCodecConfig& codec = e->codec;
  memset(&codec, 0, sizeof codec);
  codec.coding = MPP_CODING_AVC;
  codec.h264.change = kH264ChangeMask;
  codec.h264.profile = kProfileBaseline;
  codec.h264.level = LevelFor(width, height);
  codec.h264.entropy_coding_mode = 0;
  codec.h264.cabac_init_idc = 0;
  codec.h264.transform8x8_mode = 0;
  codec.h264.constrained_intra_pred_mode = 1;
  codec.h264.qp_init = kQpInit;
  codec.h264.qp_max = kQpMax;
  codec.h264.qp_min = kQpMin;
  codec.h264.qp_max_step = kQpMaxStep;
  ret = e->mpi->control(e->ctx, MPP_CTRL_ENC_SET_CODEC_CONFIG, &codec);
  if (ret != MPP_SUCCESS) {
    QELTM_LOG_LIMITED(2, "mpi control enc set codec cfg failed ret %d\n", ret);
    return kQeltOtherError;
  }

  int timeout = kBlockWithoutLimit;
  if (e->mpi->control(e->ctx, MPP_CTRL_SET_INPUT_TIMEOUT, &timeout) != MPP_SUCCESS) return kQeltOtherError;
  if (e->mpi->control(e->ctx, MPP_CTRL_SET_OUTPUT_TIMEOUT, &timeout) != MPP_SUCCESS) return kQeltOtherError;
  e->mpi->control(e->ctx, MPP_CTRL_SET_INPUT_BLOCK_TIMEOUT, &timeout);
  e->mpi->control(e->ctx, MPP_CTRL_SET_OUTPUT_BLOCK_TIMEOUT, &timeout);
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
  if (bit_rate == 0) bit_rate = (width * height / kBitsPerPixelDivisor) * fps;
  if (gop == 0) gop = kGopPerFps * fps;
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
