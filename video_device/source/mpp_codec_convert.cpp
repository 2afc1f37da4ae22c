// NV21 camera images to the planar (I420) or semi-planar U/V (NV12) layouts the encoder takes.
#include <cstdint>
#include <cstring>
#include <opencv2/core.hpp>

#include "mpp_codec.h"
#include "mpp_codec_internal.h"

namespace {

constexpr int kMinimumChromaHeight = 2;

// The sizes an image of width x height occupies in each layout: a full luma plane, then one chroma
// row of width bytes per two luma rows (a height below 2 has no chroma).
struct Nv21Layout {
  uint64_t luma_bytes;
  uint64_t chroma_rows;
  uint64_t chroma_bytes;
  uint64_t v_plane_offset;  // of I420: the U plane is a quarter of the luma plane
};

Nv21Layout LayoutOf(int width, int height) {
  Nv21Layout layout{};
  const uint64_t w = static_cast<uint64_t>(width);
  layout.luma_bytes = w * static_cast<uint64_t>(height);
  layout.chroma_rows = height < kMinimumChromaHeight ? 0 : static_cast<uint64_t>(height / 2);
  layout.chroma_bytes = layout.chroma_rows * w;
  layout.v_plane_offset = layout.luma_bytes + layout.luma_bytes / 4;
  return layout;
}

// Bytes the converted image needs in the destination.
uint64_t DestinationBytes(const Nv21Layout& layout, int dst_format) {
  if (layout.chroma_rows == 0) return layout.luma_bytes;
  if (dst_format == MppCodec::kFormatI420) return layout.v_plane_offset + layout.chroma_bytes / 2;
  return layout.luma_bytes + layout.chroma_bytes;
}

// Moves the chroma of the NV21 rows (V, U per pixel pair) into the destination's chroma: split
// into the U and V planes of I420, or swapped into U, V pairs of NV12.
void ConvertChroma(const unsigned char* vu_bytes, const Nv21Layout& layout, int width, unsigned char* dst,
                   int dst_format) {
  if (layout.chroma_rows == 0) return;
  const int rows = static_cast<int>(layout.chroma_rows);
  const int pairs = width / 2;
  const cv::Mat vu(rows, pairs, CV_8UC2, const_cast<unsigned char*>(vu_bytes));
  if (dst_format == MppCodec::kFormatI420) {
    cv::Mat planes[] = {cv::Mat(rows, pairs, CV_8UC1, dst + layout.luma_bytes),
                        cv::Mat(rows, pairs, CV_8UC1, dst + layout.v_plane_offset)};
    const int v_to_second_u_to_first[] = {0, 1, 1, 0};
    cv::mixChannels(&vu, 1, planes, 2, v_to_second_u_to_first, 2);
  } else {
    cv::Mat uv(rows, pairs, CV_8UC2, dst + layout.luma_bytes);
    const int swap_pair[] = {0, 1, 1, 0};
    cv::mixChannels(&vu, 1, &uv, 1, swap_pair, 2);
  }
}

}  // namespace

int MppCodec::FormatConvert(const unsigned char* src, unsigned long src_length, int src_format, int width,
                            int height, unsigned char* dst, unsigned long dst_length, int dst_format) {
  if (src_format != kFormatNv21 || src == nullptr || dst == nullptr || src_length == 0 || dst_length == 0) {
    return kResultFailed;
  }
  // Checked before anything is written: an even positive width and both lengths (an unknown
  // destination format needs room for the Y plane, which is copied before the format is refused).
  if (width <= 0 || height <= 0 || width % 2 != 0) return kResultFailed;
  const bool known_destination = dst_format == kFormatI420 || dst_format == kFormatNv12;
  const Nv21Layout layout = LayoutOf(width, height);
  const uint64_t needed = known_destination ? DestinationBytes(layout, dst_format) : layout.luma_bytes;
  if (src_length < layout.luma_bytes + layout.chroma_bytes || dst_length < needed) return kResultFailed;

  memcpy(dst, src, layout.luma_bytes);
  if (!known_destination) return kResultFailed;
  ConvertChroma(src + layout.luma_bytes, layout, width, dst, dst_format);
  return kResultOk;
}
