// NV21 conversion of the codec wrapper: known chroma to each layout, odd sizes against a plain
// reference, and refusals that leave the destination untouched.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "device_status.h"
#include "mpp_codec.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned char kUntouched = 0xEE;

// 4 x 2 NV21 image: luma 0..7, one chroma row V0 U0 V1 U1.
const Bytes kTinyNv21 = {0, 1, 2, 3, 4, 5, 6, 7, 0xA0, 0xB0, 0xA1, 0xB1};
constexpr int kTinyWidth = 4;
constexpr int kTinyHeight = 2;

int Convert(const Bytes& src, int width, int height, Bytes* dst, int dst_format,
            int src_format = MppCodec::kFormatNv21) {
  return MppCodec::FormatConvert(src.data(), src.size(), src_format, width, height, dst->data(), dst->size(),
                                 dst_format);
}

// Plain reference: NV21 with height / 2 chroma rows to I420 (V plane at luma x 5 / 4, which leaves
// a gap after the U plane for odd heights) or NV12, pixel by pixel.
Bytes ReferenceConvert(const Bytes& nv21, int width, int height, int dst_format) {
  const size_t luma = static_cast<size_t>(width) * height;
  const int chroma_rows = height / 2;
  const size_t chroma = static_cast<size_t>(chroma_rows) * width;
  Bytes out(dst_format == MppCodec::kFormatI420 ? luma + luma / 4 + chroma / 2 : luma + chroma, kUntouched);
  for (size_t i = 0; i < luma; ++i) out[i] = nv21[i];
  for (int row = 0; row < chroma_rows; ++row) {
    for (int pair = 0; pair < width / 2; ++pair) {
      const unsigned char v = nv21[luma + row * width + 2 * pair];
      const unsigned char u = nv21[luma + row * width + 2 * pair + 1];
      if (dst_format == MppCodec::kFormatI420) {
        out[luma + row * (width / 2) + pair] = u;
        out[luma + luma / 4 + row * (width / 2) + pair] = v;
      } else {
        out[luma + row * width + 2 * pair] = u;
        out[luma + row * width + 2 * pair + 1] = v;
      }
    }
  }
  return out;
}

Bytes RandomBytes(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(random());
  return bytes;
}

TEST(FormatConvert, SplitsKnownChromaIntoTheI420Planes) {
  Bytes dst(12, kUntouched);
  ASSERT_EQ(Convert(kTinyNv21, kTinyWidth, kTinyHeight, &dst, MppCodec::kFormatI420), kResultOk);
  EXPECT_EQ(dst, (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 0xB0, 0xB1, 0xA0, 0xA1}));  // Y, then U0 U1, then V0 V1
}

TEST(FormatConvert, SwapsKnownChromaIntoNv12Pairs) {
  Bytes dst(12, kUntouched);
  ASSERT_EQ(Convert(kTinyNv21, kTinyWidth, kTinyHeight, &dst, MppCodec::kFormatNv12), kResultOk);
  EXPECT_EQ(dst, (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 0xB0, 0xA0, 0xB1, 0xA1}));  // Y, then U0 V0 U1 V1
}

TEST(FormatConvert, MatchesThePlainReferenceOnOddSizes) {
  const int sizes[][2] = {{6, 4}, {18, 7}, {642, 482}, {2, 3}, {630, 479}};
  for (const auto& size : sizes) {
    const int width = size[0], height = size[1];
    const Bytes nv21 = RandomBytes(static_cast<size_t>(width) * height + static_cast<size_t>(height / 2) * width,
                                   static_cast<unsigned>(width * height));
    for (int format : {MppCodec::kFormatI420, MppCodec::kFormatNv12}) {
      const Bytes expected = ReferenceConvert(nv21, width, height, format);
      Bytes dst(expected.size(), kUntouched);
      ASSERT_EQ(Convert(nv21, width, height, &dst, format), kResultOk) << width << "x" << height;
      EXPECT_EQ(dst, expected) << width << "x" << height << " format " << format;
    }
  }
}

TEST(FormatConvert, HeightBelowTwoConvertsOnlyTheLumaPlane) {
  const Bytes nv21 = {9, 8, 7, 6};
  Bytes dst(4, kUntouched);
  ASSERT_EQ(Convert(nv21, 4, 1, &dst, MppCodec::kFormatI420), kResultOk);
  EXPECT_EQ(dst, nv21);
}

TEST(FormatConvert, RefusesAnotherSourceFormatWritingNothing) {
  Bytes dst(12, kUntouched);
  EXPECT_EQ(Convert(kTinyNv21, kTinyWidth, kTinyHeight, &dst, MppCodec::kFormatI420, MppCodec::kFormatNv12),
            kResultFailed);
  EXPECT_EQ(dst, Bytes(12, kUntouched));
}

TEST(FormatConvert, RefusesAnUnknownDestinationFormatAfterCopyingTheLumaPlane) {
  constexpr int kUnknownFormat = 2;
  Bytes dst(12, kUntouched);
  EXPECT_EQ(Convert(kTinyNv21, kTinyWidth, kTinyHeight, &dst, kUnknownFormat), kResultFailed);
  Bytes expected(kTinyNv21.begin(), kTinyNv21.begin() + kTinyWidth * kTinyHeight);
  expected.resize(12, kUntouched);  // the chroma stays untouched
  EXPECT_EQ(dst, expected);
  // A destination too short even for the luma plane is refused before anything is written.
  Bytes short_dst(7, kUntouched);
  EXPECT_EQ(Convert(kTinyNv21, kTinyWidth, kTinyHeight, &short_dst, kUnknownFormat), kResultFailed);
  EXPECT_EQ(short_dst, Bytes(7, kUntouched));
}

TEST(FormatConvert, RefusesShortBuffersWritingNothing) {
  Bytes short_dst(11, kUntouched);
  EXPECT_EQ(Convert(kTinyNv21, kTinyWidth, kTinyHeight, &short_dst, MppCodec::kFormatI420), kResultFailed);
  EXPECT_EQ(Convert(kTinyNv21, kTinyWidth, kTinyHeight, &short_dst, MppCodec::kFormatNv12), kResultFailed);
  EXPECT_EQ(short_dst, Bytes(11, kUntouched));

  const Bytes short_src(kTinyNv21.begin(), kTinyNv21.end() - 1);
  Bytes dst(12, kUntouched);
  EXPECT_EQ(Convert(short_src, kTinyWidth, kTinyHeight, &dst, MppCodec::kFormatI420), kResultFailed);
  EXPECT_EQ(dst, Bytes(12, kUntouched));
}

TEST(FormatConvert, RefusesNullEmptyAndOddOrNegativeSizes) {
  Bytes dst(64, kUntouched);
  EXPECT_EQ(MppCodec::FormatConvert(nullptr, 12, MppCodec::kFormatNv21, 4, 2, dst.data(), dst.size(),
                                    MppCodec::kFormatI420),
            kResultFailed);
  EXPECT_EQ(MppCodec::FormatConvert(kTinyNv21.data(), 12, MppCodec::kFormatNv21, 4, 2, nullptr, 12,
                                    MppCodec::kFormatI420),
            kResultFailed);
  EXPECT_EQ(MppCodec::FormatConvert(kTinyNv21.data(), 0, MppCodec::kFormatNv21, 4, 2, dst.data(), dst.size(),
                                    MppCodec::kFormatI420),
            kResultFailed);
  EXPECT_EQ(Convert(kTinyNv21, 3, 2, &dst, MppCodec::kFormatNv12), kResultFailed);
  EXPECT_EQ(Convert(kTinyNv21, -4, 2, &dst, MppCodec::kFormatNv12), kResultFailed);
  EXPECT_EQ(Convert(kTinyNv21, 4, 0, &dst, MppCodec::kFormatNv12), kResultFailed);
  EXPECT_EQ(dst, Bytes(64, kUntouched));
}

}  // namespace
