// Image hand-off module: slot sizes and order of delivery, the exposure step on the grey pair,
// the LED cadence, overwriting, and a clean stop while a producer keeps sending.
#include "stereo_image_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "device_status.h"
#include "recording_fakes.h"
#include "status_led.h"
#include "test_support/led_driver_files.h"

using test_support::LedDriverFiles;

namespace {

constexpr auto kDeliveryWait = std::chrono::seconds(10);

struct Delivery {
  int type;
  int width;
  int height;
  unsigned long size;
  std::vector<unsigned char> data;
  unsigned long sequence;
  int value;
  bool exposure_ok;
  bool context_null;
  bool earlier_buffers_zeroed;  // every buffer delivered before in this pass was already cleared
};

// Collects deliveries from the hand-off thread.
class DeliveryLog {
 public:
  static DeliveryLog& Get() {
    static DeliveryLog log;
    return log;
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.clear();
    pass_buffers_.clear();
  }
  static void Callback(int type, int width, int height, unsigned long size, const unsigned char* data,
                       unsigned long index, const timeval* timestamp, int value, bool exposure_ok, void* context) {
    Get().Add(type, width, height, size, data, index, timestamp, value, exposure_ok, context);
  }
  // Waits until at least count images were delivered; false when they do not come.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kDeliveryWait, [&] { return deliveries_.size() >= count; });
  }
  std::vector<Delivery> All() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }

 private:
  void Add(int type, int width, int height, unsigned long size, const unsigned char* data, unsigned long index,
           const timeval* timestamp, int value, bool exposure_ok, void* context) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A new pass starts with the first slot type seen again or a lower slot type.
    if (!pass_buffers_.empty() && type <= pass_buffers_.back().type) pass_buffers_.clear();
    bool zeroed = true;
    for (const auto& earlier : pass_buffers_)
      zeroed &= std::all_of(earlier.data, earlier.data + earlier.size, [](unsigned char b) { return b == 0; });
    deliveries_.push_back({type, width, height, size, std::vector<unsigned char>(data, data + size), index, value,
                           exposure_ok, context == nullptr, zeroed && timestamp != nullptr});
    pass_buffers_.push_back({type, data, size});
    changed_.notify_all();
  }
  struct PassBuffer {
    int type;
    const unsigned char* data;
    unsigned long size;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
  std::vector<PassBuffer> pass_buffers_;
};

std::vector<unsigned char> Pattern(size_t size, unsigned char seed) {
  std::vector<unsigned char> image(size);
  for (size_t i = 0; i < size; ++i) image[i] = static_cast<unsigned char>(seed + i * 7);
  return image;
}

class ImageHandOff : public ::testing::Test {
 protected:
  void SetUp() override {
    RecordingFakes::Get().Reset();
    DeliveryLog::Get().Reset();
  }
  void TearDown() override { StereoImageProcessUnInit(); }
};

TEST_F(ImageHandOff, DeliversGreyColourAndDepthSlotsInOrderWithTheirSizes) {
  ASSERT_EQ(StereoImageProcessInit(640, 480, 320, 240), kResultOk);
  auto left = Pattern(76800, 1), right = Pattern(76800, 2), depth = Pattern(76800, 3);
  auto colour = Pattern(460800, 4);
  SendImageProcess(colour.data(), left.data(), right.data(), depth.data(), 80, 7);
  ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
  ASSERT_TRUE(DeliveryLog::Get().WaitFor(4));

  const auto delivered = DeliveryLog::Get().All();
  ASSERT_EQ(delivered.size(), 4u);
  const int types[] = {1, 2, 3, 5};
  const unsigned long sizes[] = {76800, 76800, 460800, 76800};
  const std::vector<unsigned char>* images[] = {&left, &right, &colour, &depth};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(delivered[i].type, types[i]);
    EXPECT_EQ(delivered[i].size, sizes[i]);
    EXPECT_EQ(delivered[i].width, types[i] == 3 ? 640 : 320);
    EXPECT_EQ(delivered[i].height, types[i] == 3 ? 480 : 240);
    EXPECT_EQ(delivered[i].sequence, 7u);
    EXPECT_EQ(delivered[i].value, types[i] == 5 ? 80 : 0);
    EXPECT_TRUE(delivered[i].data == *images[i]);
    EXPECT_TRUE(delivered[i].context_null);
    EXPECT_TRUE(delivered[i].earlier_buffers_zeroed) << "a delivered buffer is cleared before the next one goes";
  }
  const auto steps = RecordingFakes::Get().ExposureSteps();
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].width, 320);
  EXPECT_EQ(steps[0].height, 240);
  EXPECT_TRUE(steps[0].left == left);
  EXPECT_TRUE(steps[0].right == right);
}

TEST_F(ImageHandOff, OddSizesGiveExactSlotSizes) {
  ASSERT_EQ(StereoImageProcessInit(63, 35, 31, 17), kResultOk);
  auto grey = Pattern(31 * 17, 9);
  auto colour = Pattern(63 * 35 * 3 / 2, 5);
  SendImageProcess(colour.data(), grey.data(), grey.data(), grey.data(), 1, 3);
  ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
  ASSERT_TRUE(DeliveryLog::Get().WaitFor(4));
  const auto delivered = DeliveryLog::Get().All();
  EXPECT_EQ(delivered[0].size, 31u * 17u);
  EXPECT_EQ(delivered[2].size, 63u * 35u * 3u / 2u);
  EXPECT_TRUE(delivered[2].data == colour);
  EXPECT_TRUE(delivered[3].data == grey);
}

TEST_F(ImageHandOff, DepthAloneIsDeliveredWithoutAnExposureStep) {
  auto depth = Pattern(76800, 11);
  EXPECT_EQ(SendImageProcess(nullptr, depth.data(), depth.data(), depth.data(), 1, 1), kResultOk)
      << "sending before Init is ignored";
  ASSERT_EQ(StereoImageProcessInit(640, 480, 320, 240), kResultOk);
  ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
  SendImageProcess(nullptr, nullptr, nullptr, depth.data(), 42, 1);
  ASSERT_TRUE(DeliveryLog::Get().WaitFor(1));
  const auto delivered = DeliveryLog::Get().All();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].type, 5);
  EXPECT_EQ(delivered[0].value, 42);
  EXPECT_FALSE(delivered[0].exposure_ok) << "no exposure step has run yet";
  EXPECT_TRUE(RecordingFakes::Get().ExposureSteps().empty());
}

TEST_F(ImageHandOff, AnUndeliveredDepthImageIsOverwrittenWithALogLine) {
  ASSERT_EQ(StereoImageProcessInit(64, 48, 32, 24), kResultOk);
  auto older = Pattern(32 * 24, 1), newer = Pattern(32 * 24, 2);
  SendImageProcess(nullptr, nullptr, nullptr, older.data(), 10, 1);
  EXPECT_TRUE(RecordingFakes::Get().LogLines().empty());
  SendImageProcess(nullptr, nullptr, nullptr, newer.data(), 20, 2);
  const auto lines = RecordingFakes::Get().LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("stereo_image_process: [stereo_image_process, SendImageProcess, ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("] Image is available\n"), std::string::npos) << lines[0];

  ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
  ASSERT_TRUE(DeliveryLog::Get().WaitFor(1));
  const auto delivered = DeliveryLog::Get().All();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].sequence, 2u);
  EXPECT_EQ(delivered[0].value, 20);
  EXPECT_TRUE(delivered[0].data == newer);
}

// Runs one exposure step (grey pair plus depth) and returns the colour the LEDs then show.
std::string StepAndReadColour(const LedDriverFiles& leds, unsigned char depth_value, size_t& delivered) {
  static auto grey = Pattern(32 * 24, 3);
  SendImageProcess(nullptr, grey.data(), grey.data(), grey.data(), depth_value, 1);
  delivered += 3;
  EXPECT_TRUE(DeliveryLog::Get().WaitFor(delivered));
  return leds.Colour();
}

class ImageHandOffLeds : public ImageHandOff {
 protected:
  void SetUp() override {
    ImageHandOff::SetUp();
    OpenAllLED();
    ASSERT_EQ(StereoImageProcessInit(64, 48, 32, 24), kResultOk);
    ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
  }
  void TearDown() override {
    ImageHandOff::TearDown();
    CloseAllLED();
  }
  LedDriverFiles leds_;
  size_t delivered_ = 0;
};

TEST_F(ImageHandOffLeds, GreenForFiveStepsThenDarkForSixWhenExposureAndMatchAreGood) {
  std::vector<std::string> colours;
  for (int step = 1; step <= 22; ++step) colours.push_back(StepAndReadColour(leds_, 71, delivered_));
  std::vector<std::string> expected;
  for (int cycle = 0; cycle < 2; ++cycle) {
    for (int i = 0; i < 5; ++i) expected.push_back("dark");
    for (int i = 0; i < 5; ++i) expected.push_back("green");
    expected.push_back("dark");
  }
  EXPECT_EQ(colours, expected);
}

TEST_F(ImageHandOffLeds, BlueWhenTheMatchValueIsSeventyOrLess) {
  std::string colour;
  for (int step = 1; step <= 6; ++step) colour = StepAndReadColour(leds_, 70, delivered_);
  EXPECT_EQ(colour, "blue");
}

TEST_F(ImageHandOffLeds, BlueWhenTheExposureIsBad) {
  RecordingFakes::Get().SetExposureResult(false);
  std::string colour;
  for (int step = 1; step <= 6; ++step) colour = StepAndReadColour(leds_, 200, delivered_);
  EXPECT_EQ(colour, "blue");
  EXPECT_FALSE(DeliveryLog::Get().All().back().exposure_ok);
}

TEST_F(ImageHandOff, ASecondThreadStartIsRefusedUntilUnInit) {
  ASSERT_EQ(StereoImageProcessInit(64, 48, 32, 24), kResultOk);
  ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
  EXPECT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultFailed);
  StereoImageProcessUnInit();
  ASSERT_EQ(StereoImageProcessInit(64, 48, 32, 24), kResultOk);
  ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
  auto depth = Pattern(32 * 24, 1);
  SendImageProcess(nullptr, nullptr, nullptr, depth.data(), 0, 9);
  ASSERT_TRUE(DeliveryLog::Get().WaitFor(1));
  EXPECT_EQ(DeliveryLog::Get().All().back().sequence, 9u);
}

TEST_F(ImageHandOff, UnInitStopsTheThreadBeforeFreeingWhileAProducerKeepsSending) {
  auto grey = Pattern(160 * 120, 1);
  auto colour = Pattern(320 * 240 * 3 / 2, 2);
  std::atomic<bool> producing{true};
  std::thread producer([&] {
    unsigned int sequence = 0;
    while (producing.load()) SendImageProcess(colour.data(), grey.data(), grey.data(), grey.data(), 90, ++sequence);
  });
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(StereoImageProcessInit(320, 240, 160, 120), kResultOk);
    ASSERT_EQ(StereoImageThreadStart(&DeliveryLog::Callback), kResultOk);
    std::this_thread::yield();
    StereoImageProcessUnInit();
    const size_t after_stop = DeliveryLog::Get().All().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(DeliveryLog::Get().All().size(), after_stop) << "no delivery after UnInit returned";
  }
  producing.store(false);
  producer.join();
  for (const Delivery& delivery : DeliveryLog::Get().All()) {
    const auto& expected = delivery.type == 3 ? colour : grey;
    ASSERT_TRUE(delivery.data == expected) << "type " << delivery.type;
  }
}

}  // namespace
