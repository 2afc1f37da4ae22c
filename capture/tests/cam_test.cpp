// Tests of paired capture: slots, pairing by timestamp, lost frames, rejected planes, rate lines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "cam.h"
#include "capture_test_support.h"

namespace {

using capture_test::CountContaining;
using capture_test::Lines;

class CamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_test::MakeBoardRoot();
    simcam::Configure(capture_test::ManualSettings());
    ASSERT_EQ(cam_init(), 0);
    ASSERT_EQ(cam_start(), 0);
  }
  void TearDown() override { cam_stop(); }
  // Runs an action and returns the lines it printed.
  template <typename Action>
  std::vector<std::string> Printed(Action action) {
    ::testing::internal::CaptureStdout();
    action();
    return Lines(::testing::internal::GetCapturedStdout());
  }
};

// A frame record with planes of the given sizes over a buffer filled with one value.
struct HandMadeFrame {
  explicit HandMadeFrame(uint64_t stamp, int y_width = 640, int y_height = 480, int vu_height = 240,
                         unsigned char value = 9)
      : y(static_cast<size_t>(std::max(0, y_width * y_height)), value), vu(static_cast<size_t>(std::max(0, y_width * vu_height)), value) {
    std::memset(&record, 0, sizeof(record));
    record.stamp = stamp;
    record.y_plane = y.data();
    record.y_width = y_width;
    record.y_height = y_height;
    record.vu_plane = vu.data();
    record.vu_width = y_width;
    record.vu_height = vu_height;
  }
  std::vector<unsigned char> y, vu;
  cam_frame_t record;
};

TEST(CamSlotsTest, SlotPointersNameFourSlotsBeforeInit) {
  const std::set<FrameSlot*> slots{s_read_left, s_read_right, s_write_left, s_write_right};
  EXPECT_EQ(slots.size(), 4u);
  EXPECT_EQ(slots.count(nullptr), 0u);
  for (FrameSlot* slot : slots) {
    EXPECT_EQ(slot->frame.y_plane, slot->y_buffer);
    EXPECT_EQ(slot->frame.vu_plane, slot->vu_buffer);
  }
}

TEST_F(CamTest, NothingToDequeueBeforeTheFirstFrames) {
  cam_frame_t left, right;
  std::memset(&left, 0xAB, sizeof(left));
  std::memset(&right, 0xCD, sizeof(right));
  cam_frame_t left_before = left, right_before = right;
  EXPECT_FALSE(cam_dqbuf(&left, &right));
  EXPECT_EQ(std::memcmp(&left, &left_before, sizeof(left)), 0);  // the records are left untouched
  EXPECT_EQ(std::memcmp(&right, &right_before, sizeof(right)), 0);
}

TEST_F(CamTest, SimultaneousFramesPairAndPointIntoTheReadSlots) {
  ASSERT_EQ(simcam::DeliverFrames(), 2);
  cam_frame_t left, right;
  ASSERT_TRUE(cam_dqbuf(&left, &right));
  EXPECT_EQ(left.y_plane, s_read_left->y_buffer);
  EXPECT_EQ(right.vu_plane, s_read_right->vu_buffer);
  EXPECT_EQ(left.y_width, 640);
  EXPECT_EQ(left.y_height, 480);
  EXPECT_EQ(left.vu_height, 240);
  // The passage scene has texture: the frame is not blank.
  const auto [low, high] = std::minmax_element(left.y_plane, left.y_plane + 640 * 480);
  EXPECT_LT(*low, *high);
  EXPECT_EQ(std::set<FrameSlot*>({s_read_left, s_read_right, s_write_left, s_write_right}).size(), 4u);
  EXPECT_FALSE(cam_dqbuf(&left, &right));  // handed out: both cameras must deliver again
  EXPECT_EQ(cam_qbuf(&left, &right), 0);
}

TEST_F(CamTest, StampsWithinTheLimitPairAndBeyondItDoNot) {
  cam_frame_t left, right;
  // 5,999 raw units apart: the quotients differ by 5 and still pair.
  ASSERT_TRUE(simcam::DeliverFrame(0, 1000000));
  ASSERT_TRUE(simcam::DeliverFrame(1, 1005999));
  EXPECT_TRUE(cam_dqbuf(&left, &right));
  EXPECT_EQ(left.stamp, 1000000u);
  EXPECT_EQ(right.stamp, 1005999u);
  // Quotients exactly 6 apart: one "time not match" line, and the pair is consumed.
  ASSERT_TRUE(simcam::DeliverFrame(0, 2000000));
  ASSERT_TRUE(simcam::DeliverFrame(1, 2006000));
  const auto lines = Printed([&] { EXPECT_FALSE(cam_dqbuf(&left, &right)); });
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "cam_dqbuf left/right time not match, left frame.stamp=2000, right frame.stamp=2006, difference:6");
  EXPECT_EQ(left.stamp, 2000000u);
  EXPECT_FALSE(cam_dqbuf(&left, &right));
  ASSERT_TRUE(simcam::DeliverFrame(0, 3000000));
  EXPECT_FALSE(cam_dqbuf(&left, &right));
  ASSERT_TRUE(simcam::DeliverFrame(1, 2999000));  // right ahead of left pairs as well
  EXPECT_TRUE(cam_dqbuf(&left, &right));
}

TEST_F(CamTest, StampsFarApartDoNotWrapIntoAPair) {
  // Quotients 2^32 + 1 apart: a 32-bit difference would read 1.
  const uint64_t base = 5000;
  ASSERT_TRUE(simcam::DeliverFrame(0, base * 1000));
  ASSERT_TRUE(simcam::DeliverFrame(1, (base + (1ull << 32) + 1) * 1000));
  cam_frame_t left, right;
  const auto lines = Printed([&] { EXPECT_FALSE(cam_dqbuf(&left, &right)); });
  EXPECT_EQ(CountContaining(lines, "time not match"), 1u);
  EXPECT_EQ(CountContaining(lines, "difference:4294967297"), 1u);
}

TEST_F(CamTest, LeftFramesAloneReportEachLostFrame) {
  cam_frame_t left, right;
  const auto lines = Printed([&] {
    for (int i = 0; i < 4; ++i) {
      ASSERT_TRUE(simcam::DeliverFrame(0, 1000000 + i * 50000));
      EXPECT_FALSE(cam_dqbuf(&left, &right));
    }
  });
  ASSERT_EQ(CountContaining(lines, "avoid hitting here!"), 3u);
  EXPECT_NE(lines[0].find("source/cam cam_frame_update"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("ERROR avoid hitting here! cam0 frame(1) lost..."), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("cam0 frame(3) lost"), std::string::npos) << lines[2];
  // The waiting left frame is the newest one.
  ASSERT_TRUE(simcam::DeliverFrame(1, 1150000));
  ASSERT_TRUE(cam_dqbuf(&left, &right));
  EXPECT_EQ(left.stamp, 1150000u);
}

TEST_F(CamTest, PlanesThatDoNotFitTheSlotsAreRejected) {
  HandMadeFrame oversized(1000, 641, 480);
  HandMadeFrame negative(1000, -640, 480);
  HandMadeFrame tall_vu(1000, 640, 480, 481);
  HandMadeFrame null_plane(1000);
  null_plane.record.y_plane = nullptr;
  const auto lines = Printed([&] {
    for (HandMadeFrame* bad : {&oversized, &negative, &tall_vu, &null_plane})
      EXPECT_EQ(cam_left_frame_callback(&bad->record), 0);
    EXPECT_EQ(cam_left_frame_callback(nullptr), 0);
  });
  EXPECT_EQ(CountContaining(lines, "ERROR cam0 frame rejected"), 5u);
  EXPECT_EQ(lines.size(), 5u);
  HandMadeFrame fitting(1000, 640, 480, 240, 33);
  cam_right_frame_callback(&fitting.record);
  cam_frame_t left, right;
  EXPECT_FALSE(cam_dqbuf(&left, &right));  // nothing of the rejected frames was stored
  cam_left_frame_callback(&fitting.record);
  ASSERT_TRUE(cam_dqbuf(&left, &right));
  EXPECT_EQ(left.y_plane[640 * 480 - 1], 33);
  EXPECT_EQ(right.vu_plane[640 * 240 - 1], 33);
}

TEST_F(CamTest, RateLineEveryThreeHundredFramesStaysFinite) {
  // One-pixel frames: 300 of them usually arrive within the first millisecond, where the elapsed
  // time reads 0.
  HandMadeFrame frame(1000, 1, 1, 1);
  const auto lines = Printed([&] {
    cam_frame_t left, right;
    for (int i = 0; i < 600; ++i) {
      cam_left_frame_callback(&frame.record);
      cam_right_frame_callback(&frame.record);
      cam_dqbuf(&left, &right);
    }
  });
  std::vector<std::string> rate_lines;
  for (const auto& line : lines)
    if (line.find("frame rate") != std::string::npos) rate_lines.push_back(line);
  // Frame indexes count from the process start; this test's frames are its first.
  ASSERT_EQ(rate_lines.size(), 4u);
  EXPECT_EQ(rate_lines[0].rfind("cam_frame_update, left frame rate, index=300, frame rate=", 0), 0u) << rate_lines[0];
  EXPECT_EQ(rate_lines[1].rfind("cam_frame_update, right frame rate, index=300, frame rate=", 0), 0u);
  EXPECT_EQ(rate_lines[2].rfind("cam_frame_update, left frame rate, index=600,", 0), 0u);
  for (const auto& line : rate_lines) {
    std::printf("%s\n", line.c_str());
    const double rate = std::stod(line.substr(line.rfind('=') + 1));
    EXPECT_TRUE(std::isfinite(rate)) << line;
  }
}

// Paired capture of the simulated cameras over a run of frame clock ticks, one camera late or its
// stamps jittering, with a consumer that asks for a pair after every frame that arrives.
struct Pairing {
  int paired = 0;
  int dropped = 0;  // both cameras had delivered, and the stamps did not pair
  std::vector<int64_t> paired_gaps_ms;
  std::vector<std::string> lines;
};

Pairing RunPairing(simcam::Settings settings, int ticks) {
  capture_test::MakeBoardRoot();
  simcam::Configure(settings);
  Pairing pairing;
  EXPECT_EQ(cam_init(), 0);
  EXPECT_EQ(cam_start(), 0);
  ::testing::internal::CaptureStdout();
  simcam::DeliverClockedFrames(ticks, [&pairing] {
    const bool both = s_write_left->filled == 1 && s_write_right->filled == 1;
    cam_frame_t left, right;
    if (cam_dqbuf(&left, &right)) {
      ++pairing.paired;
      pairing.paired_gaps_ms.push_back(static_cast<int64_t>(right.stamp / 1000) - static_cast<int64_t>(left.stamp / 1000));
    } else if (both) {
      ++pairing.dropped;
    }
  });
  pairing.lines = Lines(::testing::internal::GetCapturedStdout());
  cam_stop();
  return pairing;
}

simcam::Settings LateRightCamera(int64_t delay_us) {
  simcam::Settings settings = capture_test::ManualSettings();
  settings.delay_camera = 1;
  settings.delay_us = delay_us;
  return settings;
}

constexpr int kTicks = 20;  // one second of the 20 fps clock

TEST(CamSkewTest, ARightCameraLessThanSixMillisecondsLatePairsEveryTick) {
  const Pairing pairing = RunPairing(LateRightCamera(5999), kTicks);
  EXPECT_EQ(pairing.paired, kTicks);
  EXPECT_EQ(pairing.dropped, 0);
  EXPECT_TRUE(pairing.lines.empty());
  for (int64_t gap : pairing.paired_gaps_ms) EXPECT_EQ(gap, 5);
}

TEST(CamSkewTest, SixMillisecondsLateDropsEveryPairWithOneLineEach) {
  const Pairing pairing = RunPairing(LateRightCamera(6000), kTicks);
  EXPECT_EQ(pairing.paired, 0);
  EXPECT_EQ(pairing.dropped, kTicks);
  ASSERT_EQ(pairing.lines.size(), static_cast<size_t>(kTicks));
  EXPECT_EQ(pairing.lines[0], "cam_dqbuf left/right time not match, left frame.stamp=0, right frame.stamp=6, difference:6");
  EXPECT_EQ(CountContaining(pairing.lines, "difference:6"), static_cast<size_t>(kTicks));
}

TEST(CamSkewTest, ARightCameraMoreThanAFrameLatePairsWithTheNextLeftFrame) {
  // 53 ms at 50 ms a frame: right frame k is taken 3 ms after left frame k + 1, and pairs with it.
  const Pairing pairing = RunPairing(LateRightCamera(53000), kTicks);
  EXPECT_EQ(pairing.paired, kTicks - 1);
  EXPECT_EQ(pairing.dropped, 0);
  for (int64_t gap : pairing.paired_gaps_ms) EXPECT_EQ(gap, 3);
  ASSERT_EQ(pairing.lines.size(), 1u) << "left frame 0 is overwritten before any right frame arrives";
  EXPECT_NE(pairing.lines[0].find("ERROR avoid hitting here! cam0 frame("), std::string::npos) << pairing.lines[0];
}

TEST(CamSkewTest, JitteredStampsPairWithinTheLimitAndDropBeyondItEachLogged) {
  simcam::Settings settings = capture_test::ManualSettings();
  settings.stamp_jitter_us = 4000;  // both cameras, either way: stamps up to 8 ms apart
  constexpr int kJitterTicks = 200;
  const Pairing pairing = RunPairing(settings, kJitterTicks);
  std::printf("jitter 4 ms: %d pairs, %d dropped of %d ticks\n", pairing.paired, pairing.dropped, kJitterTicks);
  EXPECT_EQ(pairing.paired + pairing.dropped, kJitterTicks);
  EXPECT_GT(pairing.paired, pairing.dropped);
  EXPECT_GT(pairing.dropped, 0);
  for (int64_t gap : pairing.paired_gaps_ms) EXPECT_LT(std::abs(gap), 6);
  EXPECT_EQ(CountContaining(pairing.lines, "time not match"), static_cast<size_t>(pairing.dropped));
  EXPECT_EQ(pairing.lines.size(), static_cast<size_t>(pairing.dropped));
}

}  // namespace
