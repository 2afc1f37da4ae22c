// Media library stand-in, encoder: real H.264 that an independent decoder accepts, IDR pictures
// where configured or asked for, SPS/PPS kept apart, and no leak over many encodes.
#include "codec_test_support.h"
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace mpp_test;

namespace {

constexpr int kSceneFrames = 30;

bool IsIdr(const std::vector<uint8_t>& packet) {
  return packet.size() > 4 && (packet[4] & kNalTypeMask) == kNalIdr;
}

double WorstPsnr(const EncoderSettings& settings, int frames) {
  auto units = EncodeScene(settings, frames);
  auto pictures = DecodeWithLibavcodec(units);
  if (static_cast<int>(pictures.size()) != frames) return 0.0;
  double worst = 1e9;
  for (int i = 0; i < frames; ++i) {
    auto original = MakeI420Scene(settings.geometry.width, settings.geometry.height, i);
    worst = std::min(worst, Psnr(original, pictures[i]));
  }
  return worst;
}

}  // namespace

TEST(EncoderQuality, ThirtyFramesDecodeAboveThirtyDecibels) {
  EncoderSettings settings;
  double worst = WorstPsnr(settings, kSceneFrames);
  std::printf("640x480 I420, %d frames at %u bit/s: worst PSNR %.2f dB\n", kSceneFrames, settings.bps, worst);
  EXPECT_GT(worst, 30.0);
}

TEST(EncoderQuality, PaddedStridesAndNv12InputDecodeAboveThirtyDecibels) {
  EncoderSettings settings;
  settings.geometry = {642, 482, 656, 496, MPP_FMT_NV12};
  double worst = WorstPsnr(settings, 12);
  std::printf("642x482 NV12 in 656x496 strides: worst PSNR %.2f dB\n", worst);
  EXPECT_GT(worst, 30.0);
}

TEST(EncoderQuality, HigherBitRateGivesMoreBytesNearTheTarget) {
  EncoderSettings low;
  low.bps = 200000;
  EncoderSettings high;
  high.bps = 2000000;
  constexpr int kFrames = 40;  // two seconds at 20 frames per second
  auto total = [](const std::vector<std::vector<uint8_t>>& units) {
    size_t bytes = 0;
    for (const auto& unit : units) bytes += unit.size();
    return bytes;
  };
  size_t low_bytes = total(EncodeScene(low, kFrames));
  size_t high_bytes = total(EncodeScene(high, kFrames));
  double high_rate = high_bytes * 8.0 / (kFrames / 20.0);
  std::printf("bytes at 200 kbit/s: %zu, at 2 Mbit/s: %zu (%.0f bit/s)\n", low_bytes, high_bytes, high_rate);
  EXPECT_GT(high_bytes, low_bytes * 2);
  EXPECT_LT(high_rate, high.bps * 3.0);
  EXPECT_GT(high_rate, high.bps / 3.0);
}

TEST(EncoderStream, FfprobeReadsOneFramePerInputWithoutErrors) {
#ifndef FFPROBE_PATH
  GTEST_SKIP() << "ffprobe not found at configure time";
#else
  const test_support::TempFolder folder("mpp-ffprobe");
  const std::filesystem::path dir = folder.path();
  auto stream_path = dir / "stream.h264";
  {
    std::ofstream out(stream_path, std::ios::binary);
    for (const auto& unit : EncodeScene(EncoderSettings{}, kSceneFrames)) {
      out.write(reinterpret_cast<const char*>(unit.data()), static_cast<std::streamsize>(unit.size()));
    }
  }
  std::string command = std::string(FFPROBE_PATH) + " -v error -show_frames -of csv " +
                        stream_path.string() + " 2>" + (dir / "errors").string();
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  int frames = 0;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::string(line).rfind("frame,", 0) == 0) ++frames;
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(std::filesystem::file_size(dir / "errors"), 0u) << "ffprobe reported errors";
  EXPECT_EQ(frames, kSceneFrames);
#endif
}

TEST(EncoderStream, IdrPicturesFollowTheConfiguredInterval) {
  EncoderSettings settings;
  settings.gop = 10;
  Encoder encoder(settings);
  ASSERT_TRUE(encoder.ok());
  for (int i = 0; i < 35; ++i) {
    std::vector<uint8_t> packet;
    ASSERT_TRUE(encoder.Encode(ToLayout(MakeI420Scene(640, 480, i), settings.geometry), &packet));
    EXPECT_EQ(IsIdr(packet), i % 10 == 0) << "frame " << i;
    auto types = NalTypes(packet);
    ASSERT_FALSE(types.empty());
    for (uint8_t type : types) {
      EXPECT_NE(type, 0xff) << "3-byte start code in frame " << i;
      EXPECT_NE(type, kNalSps) << "SPS repeated inside frame " << i;
      EXPECT_NE(type, kNalPps) << "PPS repeated inside frame " << i;
    }
  }
}

TEST(EncoderStream, RequestedIdrComesOnTheNextPictureOnly) {
  EncoderSettings settings;
  settings.gop = 100;
  Encoder encoder(settings);
  ASSERT_TRUE(encoder.ok());
  for (int i = 0; i < 12; ++i) {
    if (i == 7) {
      ASSERT_EQ(encoder.mpi()->control(encoder.ctx(), MPP_CTRL_ENC_REQUEST_IDR, nullptr), MPP_SUCCESS);
    }
    std::vector<uint8_t> packet;
    ASSERT_TRUE(encoder.Encode(ToLayout(MakeI420Scene(640, 480, i), settings.geometry), &packet));
    EXPECT_EQ(IsIdr(packet), i == 0 || i == 7) << "frame " << i;
  }
}

TEST(EncoderStream, ExtraInformationHoldsBaselineLevelThreeSpsThenPps) {
  Encoder encoder(EncoderSettings{});
  ASSERT_TRUE(encoder.ok());
  auto headers = encoder.Headers();
  ASSERT_GT(headers.size(), 8u);
  EXPECT_EQ(NalTypes(headers), (std::vector<uint8_t>{kNalSps, kNalPps}));
  EXPECT_EQ(headers[5], 66) << "profile_idc";
  EXPECT_EQ(headers[7], 30) << "level_idc";
  EXPECT_EQ(encoder.Headers(), headers) << "asking again gives the same header";
}

TEST(EncoderStream, EndOfStreamWithoutBufferGivesAnEmptyFinalPacket) {
  Encoder encoder(EncoderSettings{});
  ASSERT_TRUE(encoder.ok());
  std::vector<uint8_t> packet;
  ASSERT_TRUE(encoder.Encode(ToLayout(MakeI420Scene(640, 480, 0), EncoderSettings{}.geometry), &packet));
  MppFrame frame = nullptr;
  ASSERT_EQ(mpp_frame_init(&frame), MPP_SUCCESS);
  mpp_frame_set_eos(frame, 1);
  EXPECT_EQ(encoder.mpi()->encode_put_frame(encoder.ctx(), frame), MPP_SUCCESS);
  mpp_frame_deinit(&frame);
  MppPacket last = nullptr;
  ASSERT_EQ(encoder.mpi()->encode_get_packet(encoder.ctx(), &last), MPP_SUCCESS);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(mpp_packet_get_length(last), 0u);
  EXPECT_EQ(mpp_packet_get_eos(last), 1u);
  mpp_packet_deinit(&last);
  ASSERT_EQ(encoder.mpi()->encode_get_packet(encoder.ctx(), &last), MPP_SUCCESS);
  EXPECT_EQ(last, nullptr) << "nothing more waits";
}

TEST(EncoderRefusals, FramesThatDoNotMatchTheConfigurationAreRefused) {
  EncoderSettings settings;
  Encoder encoder(settings);
  ASSERT_TRUE(encoder.ok());
  MppBuffer small = nullptr;
  ASSERT_EQ(mpp_buffer_get(nullptr, &small, 640 * 480, "small"), MPP_SUCCESS);
  auto put = [&](uint32_t width, uint32_t height, MppFrameFormat format, MppBuffer buffer) {
    MppFrame frame = nullptr;
    mpp_frame_init(&frame);
    mpp_frame_set_width(frame, width);
    mpp_frame_set_height(frame, height);
    mpp_frame_set_hor_stride(frame, 640);
    mpp_frame_set_ver_stride(frame, 480);
    mpp_frame_set_fmt(frame, format);
    mpp_frame_set_buffer(frame, buffer);
    MPP_RET result = encoder.mpi()->encode_put_frame(encoder.ctx(), frame);
    mpp_frame_deinit(&frame);
    return result;
  };
  EXPECT_NE(put(640, 480, MPP_FMT_I420, small), MPP_SUCCESS) << "buffer smaller than the strides need";
  EXPECT_NE(put(320, 240, MPP_FMT_I420, small), MPP_SUCCESS) << "size not configured";
  EXPECT_NE(put(640, 480, MPP_FMT_NV12, small), MPP_SUCCESS) << "format not configured";
  EXPECT_NE(put(640, 480, MPP_FMT_I420, nullptr), MPP_SUCCESS) << "no buffer and no end of stream";
  MppPacket packet = nullptr;
  EXPECT_EQ(encoder.mpi()->encode_get_packet(encoder.ctx(), &packet), MPP_SUCCESS);
  EXPECT_EQ(packet, nullptr) << "a refused frame leaves no packet";
  mpp_buffer_put(small);
}

TEST(EncoderRefusals, ImpossibleConfigurationsAreRefused) {
  MppCtx ctx = nullptr;
  MppApi* mpi = nullptr;
  ASSERT_EQ(mpp_create(&ctx, &mpi), MPP_SUCCESS);
  ASSERT_EQ(mpp_init(ctx, MPP_CTX_ENCODER, MPP_CODING_AVC), MPP_SUCCESS);
  MppEncPrepConfig odd{0, 641, 480, 656, 480, MPP_FMT_I420};
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_SET_PREP_CONFIG, &odd), MPP_SUCCESS);
  MppEncPrepConfig narrow_stride{0, 640, 480, 320, 480, MPP_FMT_I420};
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_SET_PREP_CONFIG, &narrow_stride), MPP_SUCCESS);
  MppEncPrepConfig nv21{0, 640, 480, 640, 480, MPP_FMT_NV21};
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_SET_PREP_CONFIG, &nv21), MPP_SUCCESS);
  MppEncRcConfig no_rate{};
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_SET_RC_CONFIG, &no_rate), MPP_SUCCESS);
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_SET_PREP_CONFIG, nullptr), MPP_SUCCESS);
  MppPacket headers = nullptr;
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_GET_EXTRA_INFO, &headers), MPP_SUCCESS)
      << "no header before the encoder is configured";
  mpp_destroy(ctx);
}

TEST(EncoderResources, ThousandEncodesLeaveNoObjectBehind) {
  EncoderSettings settings;
  settings.geometry = {320, 240, 320, 240, MPP_FMT_I420};
  size_t before = mpp_debug_live_objects();
  {
    Encoder encoder(settings);
    ASSERT_TRUE(encoder.ok());
    auto image = MakeI420Scene(320, 240, 0);
    encoder.Headers();
    size_t steady = mpp_debug_live_objects();
    for (int i = 0; i < 1000; ++i) {
      std::vector<uint8_t> packet;
      ASSERT_TRUE(encoder.Encode(image, &packet));
      encoder.Headers();
      ASSERT_EQ(mpp_debug_live_objects(), steady) << "after encode " << i;
    }
  }
  EXPECT_EQ(mpp_debug_live_objects(), before);
}
