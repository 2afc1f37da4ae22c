// Tests of the simulated sensor pair: HAL calls, vendor commands, exposure model, clock and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>
#include <vector>

#include "board/sim_camera.h"
#include "hardware/camera_hal.h"
#include "test_support/temp_folder.h"

namespace {

struct Seen {
  uint64_t frame;
  uint64_t stamp;
  const unsigned char* y_plane;
  double mean_y;
};

std::mutex g_seen_mutex;
std::vector<Seen> g_seen[simcam::kCameraCount];

double MeanOf(const unsigned char* plane, int count) {
  return std::accumulate(plane, plane + count, 0.0) / count;
}

int Remember(int camera, camera_preview_frame* frame) {
  const double mean = MeanOf(frame->y_plane, frame->y_width * frame->y_height);
  std::lock_guard<std::mutex> lock(g_seen_mutex);
  g_seen[camera].push_back({frame->value0, frame->stamp, frame->y_plane, mean});
  return 0;
}
int RememberLeft(camera_preview_frame* frame) { return Remember(0, frame); }
int RememberRight(camera_preview_frame* frame) { return Remember(1, frame); }

class SimCameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& seen : g_seen) seen.clear();
    simcam::ClearCallLogs();
    settings_.statistics = false;
  }
  void TearDown() override {
    for (camera_device* device : devices_)
      if (device != nullptr) device->common.close(&device->common);
  }
  // Opens both cameras with the current settings and starts their previews.
  void OpenAndStart() {
    simcam::Configure(settings_);
    const hw_module_t* module = nullptr;
    ASSERT_EQ(hw_get_module("camera", &module), 0);
    const char* ids[] = {"0", "1"};
    camera_preview_frame_function functions[] = {RememberLeft, RememberRight};
    for (int i = 0; i < simcam::kCameraCount; ++i) {
      hw_device_t* device = nullptr;
      ASSERT_EQ(module->methods->open(module, ids[i], &device), 0);
      devices_[i] = reinterpret_cast<camera_device*>(device);
      devices_[i]->ops->set_callbacks(devices_[i], nullptr, nullptr, nullptr, nullptr,
                                      reinterpret_cast<void*>(functions[i]));
      ASSERT_EQ(devices_[i]->ops->start_preview(devices_[i]), 0);
    }
  }
  std::vector<Seen> SeenBy(int camera) {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    return g_seen[camera];
  }
  simcam::Settings settings_;
  camera_device* devices_[simcam::kCameraCount] = {nullptr, nullptr};
};

TEST_F(SimCameraTest, ReadsSettingsFileAndRejectsBadLines) {
  const test_support::TempFolder folder("sim_settings");
  const std::filesystem::path dir = folder.path();
  const auto good = dir / "good.conf";
  std::ofstream(good) << "# comment\nframe_rate = 200\nmanual=1\nstamp_skew_us=7000\n"
                         "brightness_schedule=0:0.05,100:1,200:6\ncommand_answers=1204:-3\n"
                         "left_files=a.png, b.png\nlighting = 0:1, 2:1, 2.01:0.25, 4:0.25\n"
                         "delay_camera=1\ndelay_us=53000\n";
  simcam::Settings s;
  std::string error;
  ASSERT_TRUE(simcam::LoadSettings(good.string(), &s, &error)) << error;
  EXPECT_EQ(s.frame_rate, 200);
  EXPECT_TRUE(s.manual);
  EXPECT_EQ(s.stamp_skew_us, 7000);
  ASSERT_EQ(s.brightness_schedule.size(), 3u);
  EXPECT_EQ(s.brightness_schedule[1].from_frame, 100u);
  EXPECT_DOUBLE_EQ(s.brightness_schedule[2].brightness, 6.0);
  EXPECT_EQ(s.command_answers.at(1204), -3);
  EXPECT_EQ(s.left_files, (std::vector<std::string>{"a.png", "b.png"}));
  ASSERT_EQ(s.lighting.size(), 4u);
  EXPECT_DOUBLE_EQ(s.lighting[2].seconds, 2.01);
  EXPECT_DOUBLE_EQ(s.lighting[2].level, 0.25);
  EXPECT_EQ(s.delay_camera, 1);
  EXPECT_EQ(s.delay_us, 53000);

  for (const char* bad : {"frame_rate=0\n", "frame_rate=fast\n", "no_such_key=1\n", "content=video\n", "manual\n",
                          "lighting=2:1,1:1\n", "lighting=0:-1\n", "lighting=0:1,x:2\n", "delay_us=-1\n"}) {
    const auto path = dir / "bad.conf";
    std::ofstream(path) << bad;
    simcam::Settings ignored;
    EXPECT_FALSE(simcam::LoadSettings(path.string(), &ignored, &error)) << bad;
  }
}

TEST_F(SimCameraTest, RefusesParametersWithoutTheSensorsPreviewSizeAndFormat) {
  simcam::Configure(settings_);
  const hw_module_t* module = nullptr;
  ASSERT_EQ(hw_get_module("camera", &module), 0);
  hw_device_t* device = nullptr;
  ASSERT_EQ(module->methods->open(module, "0", &device), 0);
  devices_[0] = reinterpret_cast<camera_device*>(device);
  EXPECT_LT(devices_[0]->ops->set_parameters(devices_[0], "preview-size=320x240;preview-format=yuv420sp"), 0);
  EXPECT_LT(devices_[0]->ops->set_parameters(devices_[0], "preview-size=640x480;preview-format=yuv420p"), 0);
  EXPECT_EQ(devices_[0]->ops->set_parameters(devices_[0], "a=1;preview-size=640x480;preview-format=yuv420sp"), 0);
  // The same id cannot be opened twice; unknown ids and modules are refused.
  hw_device_t* again = nullptr;
  EXPECT_LT(module->methods->open(module, "0", &again), 0);
  EXPECT_LT(module->methods->open(module, "2", &again), 0);
  const hw_module_t* other = nullptr;
  EXPECT_LT(hw_get_module("audio", &other), 0);
}

TEST_F(SimCameraTest, AnswersVendorCommandsAsASensor) {
  settings_.manual = true;
  OpenAndStart();
  camera_device* camera = devices_[0];
  auto send = [camera](int32_t command, int32_t arg = 0) { return camera->ops->send_command(camera, command, arg, 0); };
  EXPECT_EQ(send(kCameraCommandGainMin), settings_.gain_min);
  EXPECT_EQ(send(kCameraCommandGainMax), settings_.gain_max);
  EXPECT_EQ(send(kCameraCommandTimeMin), settings_.time_min);
  EXPECT_EQ(send(kCameraCommandTimeMax), settings_.time_max);
  EXPECT_EQ(send(kCameraCommandGetGain), settings_.initial_gain);
  EXPECT_EQ(send(kCameraCommandSetGain, 5000000), 0);
  EXPECT_EQ(send(kCameraCommandGetGain), 5000000);
  // Out-of-range settings are held at the sensor's limits.
  send(kCameraCommandSetTime, settings_.time_max + 1);
  EXPECT_EQ(send(kCameraCommandGetTime), settings_.time_max);
  send(kCameraCommandSetGain, -1);
  EXPECT_EQ(send(kCameraCommandGetGain), settings_.gain_min);
  EXPECT_LT(send(999), 0);
  // Camera 1 keeps its own values.
  EXPECT_EQ(devices_[1]->ops->send_command(devices_[1], kCameraCommandGetGain, 0, 0), settings_.initial_gain);

  const auto log = simcam::CallLog(0);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0].call, "open");
  EXPECT_EQ(log[1].call, "set_callbacks");
  EXPECT_EQ(log[2].call, "start_preview");
  EXPECT_EQ(log.back().call, "send_command");
  EXPECT_EQ(log.back().command, 999);
}

TEST_F(SimCameraTest, CallLogOfALongRunStaysBoundedAndKeepsTheNewestCalls) {
  settings_.manual = true;
  OpenAndStart();
  camera_device* camera = devices_[0];
  const size_t sends = simcam::kCallLogLimit + 10;
  for (size_t i = 0; i < sends; ++i)
    camera->ops->send_command(camera, kCameraCommandSetGain, static_cast<int32_t>(i), 0);
  const auto log = simcam::CallLog(0);
  EXPECT_LE(log.size(), simcam::kCallLogLimit);
  EXPECT_GE(log.size(), simcam::kCallLogLimit / 2);
  EXPECT_EQ(log.back().arg1, static_cast<int32_t>(sends - 1));
  // Consecutive: nothing but the oldest calls was dropped.
  EXPECT_EQ(log.front().arg1, static_cast<int32_t>(sends - log.size()));
}

TEST_F(SimCameraTest, BrightnessFollowsGainTimesTimeOneFrameLateAndSaturates) {
  settings_.manual = true;
  OpenAndStart();
  camera_device* camera = devices_[0];
  camera->ops->send_command(camera, kCameraCommandAecOff, 0, 0);
  camera->ops->send_command(camera, kCameraCommandSetGain, settings_.gain_min, 0);
  camera->ops->send_command(camera, kCameraCommandSetTime, settings_.time_min * 16, 0);
  simcam::DeliverFrames();  // still shows the exposure that applied before the settings
  simcam::DeliverFrames();
  const double base = SeenBy(0).back().mean_y;
  // Doubling the gain or doubling the time doubles the brightness, one frame late.
  camera->ops->send_command(camera, kCameraCommandSetGain, settings_.gain_min * 2, 0);
  simcam::DeliverFrames();
  EXPECT_NEAR(SeenBy(0).back().mean_y, base, 0.5);
  simcam::DeliverFrames();
  EXPECT_NEAR(SeenBy(0).back().mean_y, 2 * base, 0.02 * 2 * base + 1);
  camera->ops->send_command(camera, kCameraCommandSetGain, settings_.gain_min, 0);
  camera->ops->send_command(camera, kCameraCommandSetTime, settings_.time_min * 32, 0);
  simcam::DeliverFrames();
  simcam::DeliverFrames();
  EXPECT_NEAR(SeenBy(0).back().mean_y, 2 * base, 0.02 * 2 * base + 1);
  // Far too much light: every pixel at 255.
  camera->ops->send_command(camera, kCameraCommandSetGain, settings_.gain_max, 0);
  camera->ops->send_command(camera, kCameraCommandSetTime, settings_.time_max, 0);
  simcam::DeliverFrames();
  simcam::DeliverFrames();
  EXPECT_DOUBLE_EQ(SeenBy(0).back().mean_y, 255.0);
  EXPECT_EQ(simcam::AppliedGain(0), settings_.gain_max);
}

TEST_F(SimCameraTest, FramesAlternateBetweenTwoBuffers) {
  settings_.manual = true;
  OpenAndStart();
  for (int i = 0; i < 4; ++i) simcam::DeliverFrames();
  const auto seen = SeenBy(0);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_NE(seen[0].y_plane, seen[1].y_plane);
  EXPECT_EQ(seen[0].y_plane, seen[2].y_plane);
  EXPECT_EQ(seen[1].y_plane, seen[3].y_plane);
}

TEST_F(SimCameraTest, FaultSwitchesSilenceDropAndStallCameras) {
  settings_.manual = true;
  settings_.drop_camera = 0;
  settings_.drop_every = 3;
  settings_.stall_camera = 1;
  settings_.stall_after = 4;
  OpenAndStart();
  for (int i = 0; i < 9; ++i) simcam::DeliverFrames();
  EXPECT_EQ(simcam::FramesDelivered(0), 6u);  // frames 3, 6 and 9 dropped
  EXPECT_EQ(simcam::FramesDelivered(1), 4u);
  std::vector<uint64_t> left_frames;
  for (const Seen& s : SeenBy(0)) left_frames.push_back(s.frame);
  EXPECT_EQ(left_frames, (std::vector<uint64_t>{0, 1, 3, 4, 6, 7}));
}

TEST_F(SimCameraTest, SilentCameraDeliversNothing) {
  settings_.manual = true;
  settings_.silent_camera = 1;
  OpenAndStart();
  for (int i = 0; i < 3; ++i) simcam::DeliverFrames();
  EXPECT_EQ(simcam::FramesDelivered(0), 3u);
  EXPECT_EQ(simcam::FramesDelivered(1), 0u);
}

TEST_F(SimCameraTest, ImageFilesAreDeliveredInTurn) {
  const std::string folder = std::string(STEREO_DATA_DIR);
  if (!std::filesystem::exists(folder + "/venus/left.png")) GTEST_SKIP() << "stereo data folder absent: " << folder;
  settings_.manual = true;
  settings_.content = "files";
  settings_.left_files = {folder + "/tsukuba/left.png", folder + "/venus/left.png"};
  settings_.right_files = {folder + "/tsukuba/right.png", folder + "/venus/right.png"};
  OpenAndStart();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(simcam::DeliverFrames(), 2);
  const auto seen = SeenBy(0);
  EXPECT_NE(seen[0].mean_y, seen[1].mean_y);  // two different pictures
  EXPECT_EQ(seen[0].mean_y, seen[2].mean_y);  // then the first again
}

TEST_F(SimCameraTest, ShippedSettingsFileHoldsTheDefaults) {
  simcam::Settings loaded;
  loaded.frame_rate = 0;  // every value must come from the file
  loaded.brightness_schedule.clear();
  std::string error;
  ASSERT_TRUE(simcam::LoadSettings(SIM_CAMERA_DATA_DIR "/sim_camera.conf", &loaded, &error)) << error;
  const simcam::Settings defaults;
  EXPECT_EQ(loaded.frame_rate, defaults.frame_rate);
  EXPECT_EQ(loaded.manual, defaults.manual);
  EXPECT_EQ(loaded.content, defaults.content);
  EXPECT_EQ(loaded.gain_min, defaults.gain_min);
  EXPECT_EQ(loaded.gain_max, defaults.gain_max);
  EXPECT_EQ(loaded.time_min, defaults.time_min);
  EXPECT_EQ(loaded.time_max, defaults.time_max);
  EXPECT_EQ(loaded.initial_gain, defaults.initial_gain);
  EXPECT_EQ(loaded.initial_time, defaults.initial_time);
  EXPECT_EQ(loaded.reference_ev, defaults.reference_ev);
  EXPECT_EQ(loaded.silent_camera, defaults.silent_camera);
  EXPECT_EQ(loaded.delay_camera, defaults.delay_camera);
  EXPECT_EQ(loaded.delay_us, defaults.delay_us);
  ASSERT_EQ(loaded.brightness_schedule.size(), 1u);
  EXPECT_EQ(loaded.brightness_schedule[0].brightness, 1.0);
  EXPECT_TRUE(loaded.command_answers.empty());
  // The shipped lighting dims and brightens the scene several-fold (unlike the default, none).
  double darkest = 1.0, brightest = 1.0;
  for (const auto& point : loaded.lighting) {
    darkest = std::min(darkest, point.level);
    brightest = std::max(brightest, point.level);
  }
  EXPECT_GE(brightest / darkest, 10.0);
}

TEST(LightingTest, JoinsPointsByStraightLinesAndRepeatsAfterTheLast) {
  const std::vector<simcam::LightingPoint> lighting{{0, 1.0}, {2, 1.0}, {2.01, 0.25}, {4, 0.25}, {6, 1.25}};
  EXPECT_DOUBLE_EQ(simcam::LightingLevel({}, 3.0), 1.0);
  EXPECT_DOUBLE_EQ(simcam::LightingLevel(lighting, 1.0), 1.0);
  EXPECT_NEAR(simcam::LightingLevel(lighting, 2.005), 0.625, 1e-9);  // the lamp half-way off
  EXPECT_DOUBLE_EQ(simcam::LightingLevel(lighting, 3.0), 0.25);
  EXPECT_DOUBLE_EQ(simcam::LightingLevel(lighting, 5.0), 0.75);  // daylight half-way up
  EXPECT_DOUBLE_EQ(simcam::LightingLevel(lighting, 6.0 + 3.0), 0.25);  // the next round
  EXPECT_DOUBLE_EQ(simcam::LightingLevel({{0, 0.5}}, 100.0), 0.5);
}

TEST_F(SimCameraTest, ProducersShareOneFrameClock) {
  settings_.frame_rate = 50;  // slow enough for a sanitizer build to keep up
  settings_.stamp_skew_us = 7000;
  OpenAndStart();
  while (simcam::FramesDelivered(0) < 40 || simcam::FramesDelivered(1) < 40) usleep(1000);
  for (camera_device* device : devices_) device->ops->stop_preview(device);
  const auto left = SeenBy(0);
  const auto right = SeenBy(1);
  size_t compared = 0;
  for (const Seen& l : left)
    for (const Seen& r : right)
      if (l.frame == r.frame) {
        EXPECT_EQ(r.stamp, l.stamp + 7000) << "frame " << l.frame;
        ++compared;
      }
  EXPECT_GT(compared, 10u);  // camera 1 may start a few ticks after camera 0
  // Consecutive frames of one camera lie one period (20 ms) apart.
  for (size_t i = 1; i < left.size(); ++i)
    EXPECT_EQ(left[i].stamp - left[i - 1].stamp, 20000 * (left[i].frame - left[i - 1].frame));
}

}  // namespace
