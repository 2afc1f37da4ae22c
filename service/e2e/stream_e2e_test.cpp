// The service on the simulated camera streams to the client on 127.0.0.1: decodable colour frames,
// disparity frames that match the scene, images written, heartbeats sent, and a clean stop.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "e2e_fixture.h"

namespace {

constexpr int kStreamingSeconds = 9;
constexpr long kLeastFrames = 100;
// A build that cannot keep the camera's frame rate (sanitizers, a loaded machine) streams again, up
// to twice, for as long as its rate so far needs to deliver the frames, with this margin (the rate
// of a loaded machine varies), up to the longest.
constexpr int kSlowRuns = 2;
constexpr double kSlowRunMargin = 2.0;
constexpr int kLongestStreamingSeconds = 180;
constexpr double kLeastSceneSharePercent = 90.0;
constexpr std::size_t kHeartbeatBytes = 4116;
constexpr std::size_t kHeartbeatNameOffset = 20;
constexpr char kApplicationName[] = "quarnel";
constexpr int kImageWidth = 640;
constexpr int kImageHeight = 480;

// The first image in `folder` whose name starts with `prefix`, read as it was written.
cv::Mat FirstImage(const std::string& folder, const std::string& prefix, int flags) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0 && entry.path().extension() == ".png") {
      return cv::imread(entry.path().string(), flags);
    }
  }
  return cv::Mat();
}

// The fewest of the colour frames, the disparity frames and the frames the client's scene check
// got through (it checks what it keeps up with); 0 when a summary line is missing.
long FewestFrames(const ClientSummary& summary) {
  if (!summary.colour || !summary.disparity || !summary.scene) return 0;
  return std::min({summary.colour->frames, summary.disparity->frames, summary.scene->frames});
}

class StreamEndToEnd : public ServiceEndToEnd {
 protected:
  ProgramRun Stream(int seconds) {
    return RunClient({"--address", "127.0.0.1"}, {"--out", work_.File("out"), "--scene-check"}, seconds);
  }
};

TEST_F(StreamEndToEnd, ClientReceivesDecodableColourAndSceneDisparity) {
  const std::string out = work_.File("out");
  int seconds = kStreamingSeconds;
  ProgramRun run = Stream(seconds);
  ClientSummary summary = ParseClientOutput(run.output);
  for (int slow_run = 1; slow_run <= kSlowRuns; ++slow_run) {
    const long fewest = FewestFrames(summary);
    if (fewest == 0 || fewest >= kLeastFrames) break;
    const int longer = static_cast<int>(std::ceil(seconds * kSlowRunMargin * kLeastFrames / fewest));
    std::cout << "only " << fewest << " frames in " << seconds << " s: this build or machine is slower than the camera; ";
    seconds = std::min(kLongestStreamingSeconds, longer);
    std::cout << "streaming again for " << seconds << " s\n";
    run = Stream(seconds);
    summary = ParseClientOutput(run.output);
  }
  EXPECT_EQ(run.exit_status, 0);

  ASSERT_TRUE(summary.colour.has_value()) << "no colour summary line";
  EXPECT_GE(summary.colour->frames, kLeastFrames);
  EXPECT_GE(summary.colour->decoded, kLeastFrames);
  EXPECT_EQ(summary.colour->decode_errors, 0);
  ASSERT_TRUE(summary.disparity.has_value()) << "no disparity summary line";
  EXPECT_GE(summary.disparity->frames, kLeastFrames);
  ASSERT_TRUE(summary.scene.has_value()) << "no scene summary line";
  EXPECT_GE(summary.scene->frames, kLeastFrames);
  EXPECT_GE(summary.scene->within_one_level_percent, kLeastSceneSharePercent);
  ASSERT_TRUE(summary.latency.has_value()) << "no latency summary line";
  EXPECT_LE(summary.latency->median_ms, summary.latency->worst_ms);
  std::cout << "scene share within one level: " << summary.scene->within_one_level_percent << "% of "
            << summary.scene->frames << " disparity frames\n";
  RecordProperty("scene_within_one_level_percent", std::to_string(summary.scene->within_one_level_percent));

  const cv::Mat colour = FirstImage(out, "colour_", cv::IMREAD_COLOR);
  ASSERT_FALSE(colour.empty()) << "no colour image in " << out;
  EXPECT_EQ(colour.cols, kImageWidth);
  EXPECT_EQ(colour.rows, kImageHeight);
  EXPECT_FALSE(FirstImage(out, "disparity_", cv::IMREAD_UNCHANGED).empty()) << "no disparity image in " << out;

  // Frames flowed for longer than the heartbeat interval, so the test's daemon port heard one.
  const std::vector<unsigned char> heartbeat = heartbeats_.TakeQueued();
  ASSERT_EQ(heartbeat.size(), kHeartbeatBytes);
  EXPECT_EQ(std::memcmp(heartbeat.data() + kHeartbeatNameOffset, kApplicationName, sizeof kApplicationName), 0);

  ExpectCleanStop();
}

}  // namespace
