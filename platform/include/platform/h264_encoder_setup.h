// The H.264 encoder's set-up over the media library, as the colour stream and the codec wrapper
// both configure it: input layout, rate control, coding tools and the blocking time-outs.
// Only for targets that link the media library (board_mpp).
#pragma once

#include <board/mpp.h>

#include <cstdint>

namespace h264_setup {

constexpr std::uint32_t kStrideAlign = 16;
constexpr std::int32_t kLevel30 = 30;

// A picture dimension rounded up to the encoder's stride alignment.
inline std::uint32_t AlignToStride(std::uint32_t value) { return (value + kStrideAlign - 1) / kStrideAlign * kStrideAlign; }

// The bit rate used when none is asked for: one bit per 8 pixels, per picture.
inline std::uint32_t DefaultBitRate(std::uint32_t width, std::uint32_t height, std::uint32_t fps) {
  constexpr std::uint32_t kBitsPerPixelDivisor = 8;
  return (width * height / kBitsPerPixelDivisor) * fps;
}

// The IDR interval used when none is asked for: two seconds of pictures.
inline std::uint32_t DefaultGop(std::uint32_t fps) {
  constexpr std::uint32_t kGopPerFps = 2;
  return kGopPerFps * fps;
}

// Input of `width` x `height` pictures in `format`, strides aligned.
inline void FillPrepConfig(MppEncPrepConfig& prep, std::uint32_t width, std::uint32_t height, MppFrameFormat format) {
  constexpr std::uint32_t kPrepChangeMask = 21;
  prep = MppEncPrepConfig{};
  prep.change = kPrepChangeMask;
  prep.width = static_cast<std::int32_t>(width);
  prep.height = static_cast<std::int32_t>(height);
  prep.hor_stride = static_cast<std::int32_t>(AlignToStride(width));
  prep.ver_stride = static_cast<std::int32_t>(AlignToStride(height));
  prep.format = format;
}

// Variable bit rate of medium quality around `bit_rate` (within one sixteenth either way), at a
// fixed `fps` in and out, an IDR every `gop` pictures.
inline void FillRcConfig(MppEncRcConfig& rc, std::uint32_t bit_rate, std::uint32_t fps, std::uint32_t gop) {
  constexpr std::uint32_t kRcChangeAll = 0xFFFFFFFFu;
  constexpr std::int32_t kRcModeVbr = 0;
  constexpr std::int32_t kRcQualityMedium = 4;
  constexpr std::uint32_t kBitRateMaxSixteenths = 17, kBitRateMinSixteenths = 15, kSixteenths = 16;
  constexpr std::int32_t kFrameRateDenominator = 1;
  rc = MppEncRcConfig{};
  rc.change = kRcChangeAll;
  rc.rc_mode = kRcModeVbr;
  rc.quality = kRcQualityMedium;
  rc.bps_target = bit_rate;
  rc.bps_max = bit_rate * kBitRateMaxSixteenths / kSixteenths;
  rc.bps_min = bit_rate * kBitRateMinSixteenths / kSixteenths;
  rc.fps_in_num = static_cast<std::int32_t>(fps);
  rc.fps_in_denom = kFrameRateDenominator;
  rc.fps_out_num = static_cast<std::int32_t>(fps);
  rc.fps_out_denom = kFrameRateDenominator;
  rc.gop = static_cast<std::int32_t>(gop);
}

// Baseline profile at `level`: CAVLC, no 8x8 transform, constrained intra prediction, QP 4..48.
inline void FillH264Config(MppEncCodecConfig& codec, MppCodingType coding, std::int32_t level) {
  constexpr std::uint32_t kH264ChangeMask = 0x10016;
  constexpr std::int32_t kProfileBaseline = 66;
  constexpr std::int32_t kConstrainedIntra = 1;
  constexpr std::int32_t kQpInit = 0, kQpMax = 48, kQpMin = 4, kQpMaxStep = 16;
  codec = MppEncCodecConfig{};
  codec.coding = coding;
  codec.h264.change = kH264ChangeMask;
  codec.h264.profile = kProfileBaseline;
  codec.h264.level = level;
  codec.h264.constrained_intra_pred_mode = kConstrainedIntra;
  codec.h264.qp_init = kQpInit;
  codec.h264.qp_max = kQpMax;
  codec.h264.qp_min = kQpMin;
  codec.h264.qp_max_step = kQpMaxStep;
}

// Puts and gets that block without limit. False when the input or output time-out is refused; the
// answers to the two block time-outs are not checked.
inline bool SetBlockingTimeouts(MppCtx ctx, MppApi* mpi) {
  int timeout = -1;  // blocks without limit
  if (mpi->control(ctx, MPP_CTRL_SET_INPUT_TIMEOUT, &timeout) != MPP_SUCCESS) return false;
  if (mpi->control(ctx, MPP_CTRL_SET_OUTPUT_TIMEOUT, &timeout) != MPP_SUCCESS) return false;
  mpi->control(ctx, MPP_CTRL_SET_INPUT_BLOCK_TIMEOUT, &timeout);
  mpi->control(ctx, MPP_CTRL_SET_OUTPUT_BLOCK_TIMEOUT, &timeout);
  return true;
}

}  // namespace h264_setup
