// Colour stream encoder: configuration values, the SPS/PPS query, sizes and one access unit per image.
#include <gtest/gtest.h>

#include <vector>

#include "pelarin/encoder.h"
#include "stream_wire.h"

namespace {

constexpr uint8_t kNalTypeMask = 0x1f;
constexpr uint8_t kNalIdr = 5;

struct EncoderHandle {
  StipEncoder* e = nullptr;
  ~EncoderHandle() { STIPDeinitEncode(&e); }
};

// Bit rates and the GOP default from the image size; strides round up to sixteen; only the two
// stream sizes get a level.
TEST(StipEncoder, SettingsFollowTheImageSize) {
  const struct {
    uint32_t width, height, gop, bit_rate;
    uint32_t hor_stride, ver_stride, bps_target, bps_max, bps_min, gop_set;
    int32_t level;
  } cases[] = {
      {640, 480, 0, 0, 640, 480, 768000, 816000, 720000, 40, 30},
      {642, 482, 20, 1572864, 656, 496, 1572864, 1671168, 1474560, 20, 0},
      {240, 320, 20, 0, 240, 320, 192000, 204000, 180000, 20, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    EncoderHandle h;
    ASSERT_EQ(STIPInitEncode(kStipEncoderCoding, c.width, c.height, 20, c.gop, c.bit_rate, &h.e), kQeltOk);
    StipEncoderSettings s{};
    ASSERT_EQ(STIPEncoderGetSettings(h.e, &s), kQeltOk);
    EXPECT_EQ(s.hor_stride, c.hor_stride);
    EXPECT_EQ(s.ver_stride, c.ver_stride);
    EXPECT_EQ(s.bps_target, c.bps_target);
    EXPECT_EQ(s.bps_max, c.bps_max);
    EXPECT_EQ(s.bps_min, c.bps_min);
    EXPECT_EQ(s.gop, c.gop_set);
    EXPECT_EQ(s.level, c.level);
    EXPECT_EQ(STIPEncoderFrameSize(h.e), c.hor_stride * c.ver_stride * 3 / 2);
  }
}

TEST(StipEncoder, HeaderQueryReportsTheLengthItNeeds) {
  EncoderHandle h;
  ASSERT_EQ(STIPInitEncode(kStipEncoderCoding, 640, 480, 20, 20, 0, &h.e), kQeltOk);
  uint8_t tiny[1];
  unsigned long length = sizeof tiny;
  EXPECT_EQ(STIPMPPGetPpsSps(h.e, tiny, &length), kQeltOtherError);
  EXPECT_GT(length, 1u);
  std::vector<uint8_t> header(length);
  unsigned long full = header.size();
  ASSERT_EQ(STIPMPPGetPpsSps(h.e, header.data(), &full), kQeltOk);
  EXPECT_EQ(full, length);
}

TEST(StipEncoder, OnlyImagesOfTheConfiguredSizeAreEncodedIntoRoomEnough) {
  EncoderHandle h;
  ASSERT_EQ(STIPInitEncode(kStipEncoderCoding, 640, 480, 20, 20, 0, &h.e), kQeltOk);
  std::vector<uint8_t> too_big(460800 * 2, 1);
  std::vector<uint8_t> out(kStipCodecBufferBytes);
  unsigned long length = out.size();
  EXPECT_EQ(STIPMPPEncode(h.e, too_big.data(), too_big.size(), out.data(), &length, 0), kQeltOtherError);
  length = out.size();
  EXPECT_EQ(STIPMPPEncode(h.e, too_big.data(), 460800 - 1, out.data(), &length, 0), kQeltOtherError);
  // A too small output area fails instead of truncating.
  const auto image = streamtest::I420Pattern(640, 480, 0);
  std::vector<uint8_t> small(16, 0xAB);
  length = small.size();
  EXPECT_EQ(STIPMPPEncode(h.e, image.data(), image.size(), small.data(), &length, 0), kQeltOtherError);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(small, std::vector<uint8_t>(16, 0xAB));
}

TEST(StipEncoder, EachImageGivesOneDecodableAccessUnitWithIdrAtTheGop) {
  EncoderHandle h;
  constexpr uint32_t kGop = 5;
  ASSERT_EQ(STIPInitEncode(kStipEncoderCoding, 640, 480, 20, kGop, 0, &h.e), kQeltOk);
  std::vector<uint8_t> header(256);
  unsigned long header_length = header.size();
  ASSERT_EQ(STIPMPPGetPpsSps(h.e, header.data(), &header_length), kQeltOk);
  header.resize(header_length);
  std::vector<uint8_t> stream;
  std::vector<uint8_t> out(kStipCodecBufferBytes);
  constexpr int kImages = 12;
  for (int i = 0; i < kImages; ++i) {
    if (i == 7) {
      ASSERT_EQ(STIPMPPRequestIdr(h.e), kQeltOk);
    }
    const auto image = streamtest::I420Pattern(640, 480, i);
    unsigned long length = out.size();
    ASSERT_EQ(STIPMPPEncode(h.e, image.data(), image.size(), out.data(), &length, 0), kQeltOk);
    ASSERT_GT(length, 5u);
    const bool idr = (out[4] & kNalTypeMask) == kNalIdr;
    // The interval counts from the last IDR, the requested one at 7 included.
    EXPECT_EQ(idr, i == 0 || i == 5 || i == 7) << "image " << i;
    if (idr) stream.insert(stream.end(), header.begin(), header.end());
    stream.insert(stream.end(), out.begin(), out.begin() + length);
  }
  EXPECT_EQ(streamtest::ProbeFrames(stream, "encoder"), kImages);
}

}  // namespace
