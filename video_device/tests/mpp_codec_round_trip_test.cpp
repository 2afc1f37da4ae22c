// The codec wrapper end to end: simulated camera frames converted from NV21, encoded and decoded
// back with their quality measured, and a long run that must not grow in memory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/core.hpp>
#include <string>

#include "board/sim_camera.h"
#include "hardware/camera_hal.h"
#include "mpp_codec_test_support.h"

namespace {

using namespace codec_test;

constexpr int kCameraWidth = simcam::kFrameWidth;
constexpr int kCameraHeight = simcam::kFrameHeight;
constexpr size_t kCameraFrameBytes = static_cast<size_t>(kCameraWidth) * kCameraHeight * 3 / 2;
constexpr int kRoundTripFrames = 30;
constexpr double kMinimumPsnrDb = 30.0;
constexpr unsigned kStreamBitRate = 1572864;  // the colour stream's 1.5 Mb/s

// NV21 frames as camera 0 of the simulated pair delivers them, copied out of the frame call.
std::vector<Bytes> g_frames;

int KeepFrame(camera_preview_frame* frame) {
  Bytes nv21(frame->y_plane, frame->y_plane + static_cast<size_t>(frame->y_width) * frame->y_height);
  nv21.insert(nv21.end(), frame->vu_plane, frame->vu_plane + static_cast<size_t>(frame->vu_width) * frame->vu_height);
  g_frames.push_back(std::move(nv21));
  return 0;
}

// Runs camera 0 of the simulated pair in manual mode for `count` frames of the given content.
std::vector<Bytes> CameraFrames(const simcam::Settings& content, int count) {
  simcam::Settings settings = content;
  settings.manual = true;
  settings.statistics = false;
  simcam::Configure(settings);
  g_frames.clear();
  const hw_module_t* module = nullptr;
  hw_device_t* opened = nullptr;
  if (hw_get_module(kCameraModuleId, &module) != 0 || module->methods->open(module, "0", &opened) != 0) return {};
  auto* device = reinterpret_cast<camera_device*>(opened);
  device->ops->set_callbacks(device, nullptr, nullptr, nullptr, nullptr, reinterpret_cast<void*>(KeepFrame));
  if (device->ops->start_preview(device) == 0) {
    for (int i = 0; i < count; ++i) simcam::DeliverFrames();
    device->ops->stop_preview(device);
  }
  device->common.close(&device->common);
  return std::move(g_frames);
}

// Quality of one decoded picture against its source, both packed NV12.
struct PictureQuality {
  double luma_db;
  double chroma_db;
};

PictureQuality Compare(const Bytes& expected, const Bytes& decoded) {
  const size_t luma = static_cast<size_t>(kCameraWidth) * kCameraHeight;
  auto plane = [](const Bytes& bytes, size_t offset, int rows) {
    return cv::Mat(rows, kCameraWidth, CV_8UC1, const_cast<unsigned char*>(bytes.data() + offset));
  };
  return {cv::PSNR(plane(expected, 0, kCameraHeight), plane(decoded, 0, kCameraHeight)),
          cv::PSNR(plane(expected, luma, kCameraHeight / 2), plane(decoded, luma, kCameraHeight / 2))};
}

// Encodes every NV21 frame through the wrapper (converted to I420) and decodes the stream back to
// NV12; returns the quality of each decoded picture against the NV12 conversion of its source.
std::vector<PictureQuality> RoundTrip(const std::vector<Bytes>& frames) {
  MppCodec encoder, decoder;
  EXPECT_EQ(encoder.InitEncode(kCameraWidth, kCameraHeight, kFrameRate, 0, kStreamBitRate), kResultOk);
  EXPECT_EQ(encoder.frame_size(), kCameraFrameBytes);
  EXPECT_EQ(decoder.InitDecode(kCameraWidth, kCameraHeight, kPacketCapacity), kResultOk);
  const Bytes headers = Headers(&encoder);
  EXPECT_EQ(decoder.SetPpsSps(headers.data(), headers.size()), kResultOk);

  std::vector<PictureQuality> quality;
  Bytes i420(kCameraFrameBytes), nv12(kCameraFrameBytes), decoded(2 * kCameraFrameBytes);
  for (const Bytes& nv21 : frames) {
    EXPECT_EQ(MppCodec::FormatConvert(nv21.data(), nv21.size(), MppCodec::kFormatNv21, kCameraWidth, kCameraHeight,
                                      i420.data(), i420.size(), MppCodec::kFormatI420),
              kResultOk);
    EXPECT_EQ(MppCodec::FormatConvert(nv21.data(), nv21.size(), MppCodec::kFormatNv21, kCameraWidth, kCameraHeight,
                                      nv12.data(), nv12.size(), MppCodec::kFormatNv12),
              kResultOk);
    const Bytes packet = EncodeOne(&encoder, i420);
    EXPECT_FALSE(packet.empty());
    unsigned long length = decoded.size();
    EXPECT_EQ(decoder.Decode(packet.data(), packet.size(), decoded.data(), &length, false), kResultOk);
    // Each access unit comes back as one picture in the same call.
    EXPECT_EQ(length, kCameraFrameBytes);
    if (length == kCameraFrameBytes) quality.push_back(Compare(nv12, decoded));
  }
  EXPECT_EQ(decoder.DeinitDecode(), kResultOk);
  EXPECT_EQ(encoder.DeinitEncode(), kResultOk);
  return quality;
}

void ReportAndCheck(const char* name, const std::vector<PictureQuality>& quality) {
  ASSERT_EQ(quality.size(), static_cast<size_t>(kRoundTripFrames));
  double luma_sum = 0, chroma_sum = 0, luma_min = 1e9, chroma_min = 1e9;
  for (const PictureQuality& q : quality) {
    luma_sum += q.luma_db;
    chroma_sum += q.chroma_db;
    luma_min = std::min(luma_min, q.luma_db);
    chroma_min = std::min(chroma_min, q.chroma_db);
  }
  std::printf("%s: %zu frames, luma PSNR mean %.2f dB min %.2f dB, chroma PSNR mean %.2f dB min %.2f dB\n", name,
              quality.size(), luma_sum / quality.size(), luma_min, chroma_sum / quality.size(), chroma_min);
  EXPECT_GT(luma_min, kMinimumPsnrDb);
  EXPECT_GT(chroma_min, kMinimumPsnrDb);
}

TEST(CodecRoundTrip, SimulatedPassageSceneComesBackAbove30Db) {
  const std::vector<Bytes> frames = CameraFrames(simcam::Settings(), kRoundTripFrames);
  ASSERT_EQ(frames.size(), static_cast<size_t>(kRoundTripFrames));
  cv::Scalar mean, deviation;
  cv::meanStdDev(cv::Mat(kCameraHeight, kCameraWidth, CV_8UC1, const_cast<unsigned char*>(frames[0].data())), mean,
                 deviation);
  ASSERT_GT(deviation[0], 10.0) << "the scene should be textured";
  ReportAndCheck("simulated passage scene", RoundTrip(frames));
}

TEST(CodecRoundTrip, SimulatedCameraColourFilesComeBackAbove30Db) {
  const std::string folder = STEREO_DATA_DIR;
  if (!std::filesystem::exists(folder + "/tsukuba/left.png")) GTEST_SKIP() << "stereo data folder absent: " << folder;
  simcam::Settings content;
  content.content = "files";
  content.left_files = {folder + "/tsukuba/left.png", folder + "/venus/left.png"};
  content.right_files = {folder + "/tsukuba/right.png", folder + "/venus/right.png"};
  const std::vector<Bytes> frames = CameraFrames(content, kRoundTripFrames);
  ASSERT_EQ(frames.size(), static_cast<size_t>(kRoundTripFrames));
  ReportAndCheck("simulated camera colour files", RoundTrip(frames));
}

// Under the address sanitizer freed memory stays in its quarantine, so resident memory grows
// regardless; there the leak sanitizer at exit and the media object count do the checking.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentMemoryMeaningful = false;
#else
constexpr bool kResidentMemoryMeaningful = true;
#endif

// Resident memory of this process in bytes.
size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t total_pages = 0, resident_pages = 0;
  statm >> total_pages >> resident_pages;
  return resident_pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

TEST(CodecRoundTrip, ThousandEncodesAndDecodesDoNotGrow) {
  constexpr int kWidth = 176, kHeight = 144;  // strides equal to the size: packed images fill the frame size
  constexpr int kWarmUp = 100;
  constexpr int kRuns = 1000;
  constexpr size_t kResidentSlack = 4u << 20;
  const size_t live_before = mpp_debug_live_objects();
  MppCodec encoder, decoder;
  ASSERT_EQ(encoder.InitEncode(kWidth, kHeight, kFrameRate, 0, 0), kResultOk);
  ASSERT_EQ(decoder.InitDecode(kWidth, kHeight, kPacketCapacity), kResultOk);
  const Bytes headers = Headers(&encoder);
  ASSERT_EQ(decoder.SetPpsSps(headers.data(), headers.size()), kResultOk);
  const Bytes images[] = {MovingI420(kWidth, kHeight, 0), MovingI420(kWidth, kHeight, 1)};
  Bytes decoded(2 * images[0].size());

  size_t live_after_warm_up = 0, resident_after_warm_up = 0;
  for (int run = 0; run < kWarmUp + kRuns; ++run) {
    if (run == kWarmUp) {
      live_after_warm_up = mpp_debug_live_objects();
      resident_after_warm_up = ResidentBytes();
    }
    const Bytes packet = EncodeOne(&encoder, images[run % 2]);
    ASSERT_FALSE(packet.empty()) << "run " << run;
    unsigned long length = decoded.size();
    ASSERT_EQ(decoder.Decode(packet.data(), packet.size(), decoded.data(), &length, false), kResultOk);
    ASSERT_EQ(length, images[0].size()) << "run " << run;
  }
  const size_t live_after = mpp_debug_live_objects();
  const size_t resident_after = ResidentBytes();
  std::printf("%d encodes and decodes: media objects %zu -> %zu, resident %zu KiB -> %zu KiB\n", kRuns,
              live_after_warm_up, live_after, resident_after_warm_up >> 10, resident_after >> 10);
  EXPECT_EQ(live_after, live_after_warm_up);
  if (kResidentMemoryMeaningful) {
    EXPECT_LT(resident_after, resident_after_warm_up + kResidentSlack);
  }
  EXPECT_EQ(decoder.DeinitDecode(), kResultOk);
  EXPECT_EQ(encoder.DeinitEncode(), kResultOk);
  EXPECT_EQ(mpp_debug_live_objects(), live_before);
}

}  // namespace
