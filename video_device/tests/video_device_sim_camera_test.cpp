// The whole device on the simulated camera, the real exposure and the simulated module's
// calibration: callback sequence and sizes, the first exposure flag and the LED cadence.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "board/sim_camera.h"
#include "board/sim_module_geometry.h"
#include "cam_auto_exposure.h"
#include "device_status.h"
#include "status_led.h"
#include "stereo_video_deivce.h"
#include "test_support/led_driver_files.h"
#include "test_support/sim_device.h"

using test_support::LedDriverFiles;

namespace {

namespace sm = board::sim_module;
constexpr size_t kFrames = 21;

struct Delivery {
  int type, width, height;
  unsigned long size, index;
  int value;
  bool exposure_ok;
  std::string leds;
};

struct Deliveries {
  const LedDriverFiles* leds = nullptr;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Delivery> all;
  size_t disparities = 0;

  static void Callback(int type, int width, int height, unsigned long size, const unsigned char*, unsigned long index,
                       const timeval*, int value, bool exposure_ok, void* context) {
    auto* self = static_cast<Deliveries*>(context);
    const std::string colour = type == kStereoImageDisparity ? self->leds->Colour() : "";
    std::lock_guard<std::mutex> lock(self->mutex);
    self->all.push_back({type, width, height, size, index, value, exposure_ok, colour});
    self->disparities += type == kStereoImageDisparity;
    self->changed.notify_all();
  }
};

// The colour the Part's cadence gives after frame n (1-based), from the frames delivered so far.
std::string ExpectedColour(const std::vector<Delivery>& disparities, size_t n, std::string shown) {
  const size_t phase = (n - 1) % 10;  // frame 6, 16, ...: exposure colour; 11, 21, ...: match colour
  if (n >= 6 && phase == 5) return disparities[n - 2].exposure_ok ? "green" : "blue";
  if (n >= 11 && phase == 0) return disparities[n - 1].value <= 69 ? "blue" : "dark";
  return shown;
}

TEST(SimulatedCamera, DeliversTheCallbackSequenceAndSwitchesTheLedsByExposureAndMatch) {
  SimDeviceRoot root;
  ASSERT_TRUE(root.ok());
  simcam::Settings settings;
  settings.statistics = false;
  simcam::Configure(settings);
  LedDriverFiles leds(root.root());
  OpenAllLED();
  Deliveries deliveries;
  deliveries.leds = &leds;
  tagVideoDeviceParameterSet set = SimModuleParameterSet();
  const tagCamExposureConfiguration exposure = SimModuleExposure();
  StereoVideoDeivce device;
  ASSERT_EQ(device.Init(&set, &exposure), kResultOk);
  ASSERT_EQ(device.Start(&Deliveries::Callback, &deliveries), kResultOk);
  {
    std::unique_lock<std::mutex> lock(deliveries.mutex);
    ASSERT_TRUE(
        deliveries.changed.wait_for(lock, std::chrono::seconds(60), [&] { return deliveries.disparities >= kFrames; }));
  }
  device.Stop();
  device.Deinit();
  EXPECT_EQ(leds.Colour(), "dark");
  CloseAllLED();

  std::vector<Delivery> disparities;
  const std::vector<Delivery>& all = deliveries.all;
  ASSERT_GE(all.size(), 2 * kFrames);
  EXPECT_TRUE(all[0].exposure_ok) << "the first colour image reports good exposure";
  for (size_t i = 0; i + 1 < all.size(); i += 2) {
    SCOPED_TRACE(i);
    EXPECT_EQ(all[i].type, kStereoImageColour);
    EXPECT_EQ(all[i + 1].type, kStereoImageDisparity);
    EXPECT_EQ(all[i].index, i / 2 + 1);
    EXPECT_EQ(all[i + 1].index, all[i].index);
    EXPECT_EQ(all[i].size, 460800u);
    EXPECT_EQ(all[i].width, sm::kColourWidth);
    EXPECT_EQ(all[i + 1].width, sm::kDepthWidth);
    EXPECT_EQ(all[i + 1].height, sm::kDepthHeight);
    EXPECT_EQ(all[i + 1].size, static_cast<unsigned long>(sm::kDepthWidth) * sm::kDepthHeight);
    disparities.push_back(all[i + 1]);
  }
  std::string shown = "dark";
  for (size_t n = 1; n <= kFrames; ++n) {
    shown = ExpectedColour(disparities, n, shown);
    EXPECT_EQ(disparities[n - 1].leds, shown) << "frame " << n;
  }
}

}  // namespace
