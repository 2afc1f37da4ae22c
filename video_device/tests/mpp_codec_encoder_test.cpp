// Encoder side of the codec wrapper: set-up defaults, strides, SPS/PPS, IDR requests, and the
// refusals of images and outputs that do not fit.
#include <gtest/gtest.h>

#include <string>

#include "mpp_codec_test_support.h"

namespace {

using namespace codec_test;

constexpr int kSmallWidth = 96;
constexpr int kSmallHeight = 64;

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override { live_before_ = mpp_debug_live_objects(); }
  void TearDown() override {
    codec_.DeinitEncode();
    EXPECT_EQ(mpp_debug_live_objects(), live_before_) << "media objects left behind";
  }
  void InitSmall() { ASSERT_EQ(codec_.InitEncode(kSmallWidth, kSmallHeight, kFrameRate, 0, 0), kResultOk); }

  MppCodec codec_;
  size_t live_before_ = 0;
};

TEST_F(EncoderTest, DefaultsGiveGopOfTwiceTheRateAndAnEighthBitPerPixelPerFrame) {
  testing::internal::CaptureStdout();
  ASSERT_EQ(codec_.InitEncode(640, 480, 20, 0, 0), kResultOk);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(codec_.rate_control_config().gop, 40);
  EXPECT_EQ(codec_.rate_control_config().bps_target, 768000u);
  EXPECT_EQ(codec_.rate_control_config().bps_max, 816000u);
  EXPECT_EQ(codec_.rate_control_config().bps_min, 720000u);
  EXPECT_EQ(codec_.rate_control_config().fps_out_num, 20);
  EXPECT_EQ(codec_.frame_size(), 460800u);
  EXPECT_EQ(codec_.codec_config().coding, MPP_CODING_AVC);
  EXPECT_EQ(codec_.codec_config().h264.profile, 66);
  EXPECT_EQ(codec_.codec_config().h264.level, 30);
  EXPECT_NE(printed.find("InitEncode, m_FrameSize=460800\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("<--->MppCodec::InitEncode end,Width=640,Height=480,FrameRate=20,GroupOfPicture=40,"
                         "BitRate=768000\n"),
            std::string::npos)
      << printed;
}

TEST_F(EncoderTest, UnalignedSizeUsesStridesRoundedToSixteenAndLevelThirty) {
  ASSERT_EQ(codec_.InitEncode(642, 482, 20, 20, 1000000), kResultOk);
  EXPECT_EQ(codec_.frame_size(), 656u * 496u * 3 / 2);
  EXPECT_EQ(codec_.codec_config().h264.level, 30);
  EXPECT_EQ(codec_.rate_control_config().gop, 20);
  EXPECT_EQ(codec_.rate_control_config().bps_target, 1000000u);
}

TEST_F(EncoderTest, SpsPpsWithTooSmallCapacityReportsTheRealLength) {
  InitSmall();
  const Bytes headers = Headers(&codec_);
  ASSERT_GT(headers.size(), 4u);
  const std::vector<int> types = NalTypes(headers.data(), headers.size());
  EXPECT_TRUE(Contains(types, kNalSps));
  EXPECT_TRUE(Contains(types, kNalPps));

  unsigned char small[4] = {0x5A, 0x5A, 0x5A, 0x5A};
  unsigned long length = sizeof small;
  EXPECT_EQ(codec_.GetPpsSps(small, &length), kResultFailed);
  EXPECT_EQ(length, headers.size());
  EXPECT_EQ(small[0], 0x5A);
}

TEST_F(EncoderTest, FirstPictureIsIdrAndARequestMakesTheNextOneIdr) {
  InitSmall();
  std::vector<std::vector<int>> types;
  for (int frame = 0; frame < 4; ++frame) {
    if (frame == 3) {
      ASSERT_EQ(codec_.GenerateIdrFrame(), kResultOk);
    }
    const Bytes packet = EncodeOne(&codec_, MovingI420(kSmallWidth, kSmallHeight, frame));
    ASSERT_FALSE(packet.empty()) << "frame " << frame;
    types.push_back(NalTypes(packet.data(), packet.size()));
  }
  EXPECT_TRUE(Contains(types[0], kNalIdrSlice));
  EXPECT_TRUE(Contains(types[1], kNalSlice));
  EXPECT_FALSE(Contains(types[2], kNalIdrSlice));
  EXPECT_TRUE(Contains(types[3], kNalIdrSlice));
}

TEST_F(EncoderTest, RefusesImagesOtherThanTheFrameSizeAndGoesOn) {
  InitSmall();
  Bytes image = MovingI420(kSmallWidth, kSmallHeight, 0);
  ASSERT_EQ(image.size(), codec_.frame_size());
  Bytes larger = image;
  larger.push_back(0);
  Bytes packet(kPacketCapacity);
  unsigned long length = packet.size();
  EXPECT_EQ(codec_.Encode(larger.data(), larger.size(), packet.data(), &length, false), kResultFailed);
  EXPECT_EQ(codec_.Encode(image.data(), image.size() - 1, packet.data(), &length, false), kResultFailed);
  EXPECT_EQ(codec_.Encode(nullptr, image.size(), packet.data(), &length, false), kResultFailed);
  EXPECT_EQ(length, packet.size());
  EXPECT_FALSE(EncodeOne(&codec_, image).empty());
}

TEST_F(EncoderTest, PacketLargerThanTheOutputIsAFailureNotATruncation) {
  InitSmall();
  const Bytes image = MovingI420(kSmallWidth, kSmallHeight, 0);
  unsigned char out[8];
  unsigned long length = sizeof out;
  EXPECT_EQ(codec_.Encode(image.data(), image.size(), out, &length, false), kResultFailed);
  EXPECT_EQ(length, sizeof out);
}

TEST_F(EncoderTest, EndOfStreamGivesAnEmptyPacket) {
  InitSmall();
  ASSERT_FALSE(EncodeOne(&codec_, MovingI420(kSmallWidth, kSmallHeight, 0)).empty());
  Bytes packet(16);
  unsigned long length = packet.size();
  EXPECT_EQ(codec_.Encode(nullptr, 0, packet.data(), &length, true), kResultOk);
  EXPECT_EQ(length, 0u);
}

TEST_F(EncoderTest, CallsBeforeSetUpOrASecondSetUpAreRefused) {
  const Bytes image = MovingI420(kSmallWidth, kSmallHeight, 0);
  Bytes packet(kPacketCapacity);
  unsigned long length = packet.size();
  EXPECT_EQ(codec_.Encode(image.data(), image.size(), packet.data(), &length, false), kResultFailed);
  EXPECT_EQ(codec_.GetPpsSps(packet.data(), &length), kResultFailed);
  EXPECT_EQ(codec_.GenerateIdrFrame(), kResultFailed);
  InitSmall();
  EXPECT_EQ(codec_.InitEncode(kSmallWidth, kSmallHeight, kFrameRate, 0, 0), kResultFailed);
  EXPECT_FALSE(EncodeOne(&codec_, image).empty());
  EXPECT_EQ(codec_.DeinitEncode(), kResultOk);
  EXPECT_EQ(codec_.DeinitEncode(), kResultOk);
  EXPECT_EQ(codec_.Encode(image.data(), image.size(), packet.data(), &length, false), kResultFailed);
}

TEST_F(EncoderTest, InvalidSizeFailsSetUpAndLeavesNothingBehind) {
  EXPECT_EQ(codec_.InitEncode(0, 0, kFrameRate, 0, 0), kResultFailed);
  EXPECT_EQ(mpp_debug_live_objects(), live_before_);
  InitSmall();  // the object is usable afterwards
}

}  // namespace
