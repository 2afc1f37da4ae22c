// The client's parts without a camera: command line, reply lines, stream counts and summary,
// the disparity picture and the scene comparison.
#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <mutex>
#include <random>

#include "client_options.h"
#include "control_commands.h"
#include "disparity_picture.h"
#include "scene_check.h"
#include "scene_worker.h"
#include "stream_statistics.h"

// OpenCV's thread pool (TBB, not instrumented) shows races of its own under the thread sanitizer.
extern "C" const char* __tsan_default_suppressions() { return "race:libtbb.so\n"; }

namespace camera_client {
namespace {

bool Parse(std::vector<const char*> args, ClientOptions* options, std::string* error) {
  args.insert(args.begin(), "camera_client");
  return ParseClientOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(ClientOptions, DefaultsAndEveryOption) {
  ClientOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--address", "127.0.0.1"}, &o, &error)) << error;
  EXPECT_EQ(o.base_port, 9000u);
  EXPECT_EQ(o.seconds, 10);
  EXPECT_EQ(o.out_dir, "out");
  EXPECT_EQ(o.png_every, 20);
  EXPECT_FALSE(o.scene_check);
  ASSERT_TRUE(Parse({"--discover", "5", "--port", "9100", "--seconds", "0", "--out", "/tmp/x", "--png-every", "3",
                     "--scene-check", "--command", "version", "--command", "set-time:1700000000", "--command",
                     "upgrade-reboot", "--command", "mac", "--command", "direction:2", "--command", "shift:-3"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.discover_seconds, 5);
  EXPECT_EQ(o.base_port, 9100u);
  EXPECT_EQ(o.seconds, 0);
  EXPECT_EQ(o.out_dir, "/tmp/x");
  EXPECT_EQ(o.png_every, 3);
  EXPECT_TRUE(o.scene_check);
  ASSERT_EQ(o.commands.size(), 6u);
  EXPECT_EQ(o.commands[1].kind, CommandKind::kSetTime);
  EXPECT_EQ(o.commands[1].argument, 1700000000);
  EXPECT_EQ(o.commands[4].kind, CommandKind::kDirection);
  EXPECT_EQ(o.commands[5].name, "shift");
  EXPECT_EQ(o.commands[5].argument, -3);
}

TEST(ClientOptions, RefusesWhatIsNotValid) {
  const std::vector<std::vector<const char*>> bad = {
      {},
      {"--address", "127.0.0.1", "--discover", "3"},
      {"--address", "localhost"},
      {"--address", "127.0.0.1.5"},
      {"--address"},
      {"--discover", "0"},
      {"--address", "127.0.0.1", "--port", "65533"},
      {"--address", "127.0.0.1", "--port", "0"},
      {"--address", "127.0.0.1", "--seconds", "-1"},
      {"--address", "127.0.0.1", "--seconds", "2x"},
      {"--address", "127.0.0.1", "--png-every", "0"},
      {"--address", "127.0.0.1", "--out", ""},
      {"--address", "127.0.0.1", "--verbose", "1"},
      {"--address", "127.0.0.1", "--command", "reboot"},
      {"--address", "127.0.0.1", "--command", "version:1"},
      {"--address", "127.0.0.1", "--command", "set-time"},
      {"--address", "127.0.0.1", "--command", "set-time:-1"},
      {"--address", "127.0.0.1", "--command", "set-time:4294967296"},
      {"--address", "127.0.0.1", "--command", "shift:"},
      {"--address", "127.0.0.1", "--command", "shift:2147483648"},
  };
  for (const auto& args : bad) {
    ClientOptions o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error)) << (args.empty() ? "(none)" : args.back());
    EXPECT_FALSE(error.empty());
  }
}

TEST(ReplyLines, VersionTextBecomesOneLine) {
  EXPECT_EQ(OneLine("zuq     :1.1.0\r\nnetwork :2.1.213002\r\nfirmware:\r\n"),
            "zuq     :1.1.0 | network :2.1.213002 | firmware:");
  EXPECT_EQ(OneLine(""), "");
  EXPECT_EQ(OneLine("plain"), "plain");
}

TEST(StreamCounts, LossesFromIndexGapsAndRateFromTheRequest) {
  FrameCounter counter;
  EXPECT_EQ(counter.Rate(950000), 0.0);
  counter.Add(5, 1000000);
  EXPECT_DOUBLE_EQ(counter.Rate(950000), 20.0);
  EXPECT_EQ(counter.Rate(1000000), 0.0);
  counter.Add(6, 1050000);
  counter.Add(9, 1100000);   // 7 and 8 lost
  counter.Add(8, 1150000);   // late: not a new gap
  counter.Add(10, 1200000);
  EXPECT_EQ(counter.frames(), 5u);
  EXPECT_EQ(counter.lost(), 2u);
  EXPECT_DOUBLE_EQ(counter.Rate(950000), 20.0);
}

TEST(StreamCounts, LatencyMedianAndWorstMatchASortedReference) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> spread(0.0, 100.0);
  for (size_t n : {1u, 2u, 7u, 8u, 101u}) {
    LatencyRecord record;
    std::vector<double> samples;
    for (size_t i = 0; i < n; ++i) {
      samples.push_back(spread(random));
      record.Add(samples.back());
    }
    std::sort(samples.begin(), samples.end());
    const double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    EXPECT_DOUBLE_EQ(record.Median(), median) << n;
    EXPECT_DOUBLE_EQ(record.Worst(), samples.back()) << n;
  }
  EXPECT_EQ(LatencyRecord().Median(), 0.0);
}

TEST(StreamCounts, SummaryLinesHaveTheFixedShapes) {
  StreamSummary s;
  s.start_us = 1000000;
  s.colour.Add(1, 1100000);
  s.colour.Add(3, 1200000);
  s.decoded = 2;
  s.disparity.Add(1, 1000000);
  s.latency.Add(12.5);
  s.latency.Add(30.25);
  s.scene_frames = 1;
  s.scene_pixels = 3;
  s.scene_agreeing = 2;
  EXPECT_EQ(SummaryLines(s, false),
            "colour frames=2 decoded=2 decode_errors=0 lost=1 fps=10.00\n"
            "disparity frames=1 lost=0 fps=0.00\n"
            "latency median_ms=21.38 worst_ms=30.25\n");
  EXPECT_EQ(SummaryLines(s, true).substr(SummaryLines(s, false).size()), "scene frames=1 within_one_level=66.67%\n");
}

TEST(DisparityPicture, LevelsColouredAlongTheScaleWithABarBelow) {
  cv::Mat disparity(37, 201, CV_8U);
  for (int column = 0; column < disparity.cols; ++column) disparity.col(column).setTo(column % 80);
  const cv::Mat picture = DisparityPicture(disparity);
  ASSERT_EQ(picture.type(), CV_8UC3);
  EXPECT_EQ(picture.cols, 201);
  EXPECT_GT(picture.rows, disparity.rows + 20);
  // Equal levels, equal colours; level 0 and the top differ; levels above the top clip to it.
  EXPECT_EQ(picture.at<cv::Vec3b>(0, 10), picture.at<cv::Vec3b>(36, 10));
  EXPECT_NE(picture.at<cv::Vec3b>(0, 0), picture.at<cv::Vec3b>(0, kDisparityRange));
  EXPECT_EQ(picture.at<cv::Vec3b>(0, kDisparityRange), picture.at<cv::Vec3b>(0, kDisparityRange + 10));
  // The bar's left end has level 0's colour, its right end the top's.
  const int bar_row = disparity.rows + 8;
  EXPECT_EQ(picture.at<cv::Vec3b>(bar_row, 4), picture.at<cv::Vec3b>(0, 0));
  EXPECT_EQ(picture.at<cv::Vec3b>(bar_row, picture.cols - 5), picture.at<cv::Vec3b>(0, kDisparityRange));
  // A narrow image gets a wider canvas so the labels fit.
  EXPECT_GE(DisparityPicture(cv::Mat(5, 3, CV_8U, cv::Scalar(1))).cols, 100);
}

// A scene of two flat levels split at a moving column: column < 100 + frame is level 20, else 10.
constexpr int kSceneRows = 33;
constexpr int kSceneColumns = 221;
constexpr int kStepColumn = 100;
cv::Mat MovingStep(uint64_t frame, int) {
  cv::Mat truth(kSceneRows, kSceneColumns, CV_32F, cv::Scalar(10.0f));
  truth.colRange(0, static_cast<int>(std::min<uint64_t>(kStepColumn + frame, kSceneColumns))).setTo(20.0f);
  return truth;
}
cv::Mat Rounded(const cv::Mat& truth) {
  cv::Mat levels;
  truth.convertTo(levels, CV_8U);
  return levels;
}

TEST(SceneCheck, CountsWithinOneLevelAwayFromBordersAndEdges) {
  const cv::Mat truth = MovingStep(0, 20);
  const cv::Mat edges = SceneEdgeMask(truth);
  cv::Mat found = Rounded(truth);
  found.at<uint8_t>(10, 140) = 11;  // within one level
  found.at<uint8_t>(11, 140) = 13;  // not
  found.at<uint8_t>(0, 140) = 99;   // border row: not counted
  found.at<uint8_t>(12, kStepColumn) = 99;  // at the step: not counted
  found.at<uint8_t>(12, kDisparityRange - 1) = 99;  // no match this near the left: not counted
  const SceneAgreement a = CompareWithTruth(found, truth, edges);
  // Reference: every pixel in from the borders (the search range at the sides) and more than the
  // margin away from the step.
  uint64_t counted = 0;
  for (int row = 4; row < kSceneRows - 4; ++row)
    for (int column = kDisparityRange; column < kSceneColumns - kDisparityRange; ++column)
      counted += std::abs(column - (kStepColumn - 0.5)) > 4;
  EXPECT_EQ(a.counted, counted);
  EXPECT_EQ(a.agreeing, counted - 1);
}

TEST(SceneCheck, FindsTheSceneFrameAheadOfTheIndexAndFollowsItsDrift) {
  SceneCheck check(20, MovingStep);
  SceneAgreement best;
  // The camera's counter runs 5 ahead of the received index, then one more after a dropped pair.
  ASSERT_TRUE(check.Compare(Rounded(MovingStep(6, 20)), 1, &best));
  EXPECT_DOUBLE_EQ(best.Share(), 1.0);
  ASSERT_TRUE(check.Compare(Rounded(MovingStep(7, 20)), 2, &best));
  EXPECT_DOUBLE_EQ(best.Share(), 1.0);
  ASSERT_TRUE(check.Compare(Rounded(MovingStep(9, 20)), 3, &best));
  EXPECT_DOUBLE_EQ(best.Share(), 1.0);
  // A wrong image agrees only where the scene is flat at its level.
  ASSERT_TRUE(check.Compare(cv::Mat(kSceneRows, kSceneColumns, CV_8U, cv::Scalar(40)), 4, &best));
  EXPECT_EQ(best.agreeing, 0u);
  // An image of another size is not compared.
  EXPECT_FALSE(check.Compare(cv::Mat(5, 5, CV_8U, cv::Scalar(0)), 5, &best));
}

// Still for the first 30 frames, then the step moves one column a frame.
cv::Mat StillThenMoving(uint64_t frame, int rate) { return MovingStep(frame < 30 ? 0 : frame - 30, rate); }

TEST(SceneCheck, AStillSceneDoesNotLoseTheOffsetForWhenItMovesAgain) {
  SceneCheck check(20, StillThenMoving);
  for (uint32_t index = 1; index <= 50; ++index) {
    SceneAgreement best;
    ASSERT_TRUE(check.Compare(Rounded(StillThenMoving(index + 5, 20)), index, &best));
    EXPECT_DOUBLE_EQ(best.Share(), 1.0) << "index " << index;
  }
}

// A scene source that holds every comparison until the test lets it go.
std::mutex g_gate_mutex;
std::condition_variable g_gate_changed;
bool g_gate_open = false;
int g_gate_calls = 0;
cv::Mat GatedScene(uint64_t frame, int rate) {
  std::unique_lock<std::mutex> lock(g_gate_mutex);
  ++g_gate_calls;
  g_gate_changed.notify_all();
  g_gate_changed.wait(lock, [] { return g_gate_open; });
  return MovingStep(frame, rate);
}

TEST(SceneWorker, ASlowCheckSkipsFramesButNeverHoldsUpTheStream) {
  SceneWorker worker(20, GatedScene);
  worker.Submit(Rounded(MovingStep(1, 20)), 1);
  {
    // The worker is inside the first comparison; everything submitted now waits in its mailbox.
    std::unique_lock<std::mutex> lock(g_gate_mutex);
    g_gate_changed.wait(lock, [] { return g_gate_calls > 0; });
  }
  for (uint32_t index = 2; index <= 30; ++index) worker.Submit(Rounded(MovingStep(index, 20)), index);
  {
    std::lock_guard<std::mutex> lock(g_gate_mutex);
    g_gate_open = true;
    g_gate_changed.notify_all();
  }
  worker.Finish();
  // The first frame and the newest one; the 28 in between were replaced unchecked.
  const SceneTotals totals = worker.totals();
  EXPECT_EQ(totals.frames, 2u);
  EXPECT_EQ(totals.agreeing, totals.pixels);
  worker.Submit(Rounded(MovingStep(31, 20)), 31);  // after Finish: ignored
  EXPECT_EQ(worker.totals().frames, 2u);
}

}  // namespace
}  // namespace camera_client
