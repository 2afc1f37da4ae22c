// Reading the client's output: the summary shapes the tests rely on, and lines that must not count.
#include <gtest/gtest.h>

#include "client_summary.h"

namespace {

TEST(ClientSummary, ReadsEverySummaryShape) {
  const ClientSummary summary = ParseClientOutput(
      "device 10.0.0.7 type 1\n"
      "reply version: zuq     :1.0\r\n"
      "network :2.0\r\n"
      "reply mac: failed rc=27\n"
      "colour frames=181 decoded=180 decode_errors=1 lost=3 fps=19.95\n"
      "disparity frames=179 lost=0 fps=19.80\n"
      "latency median_ms=12.50 worst_ms=40.25\n"
      "scene frames=179 within_one_level=97.31%\n");
  ASSERT_TRUE(summary.colour.has_value());
  EXPECT_EQ(summary.colour->frames, 181);
  EXPECT_EQ(summary.colour->decoded, 180);
  EXPECT_EQ(summary.colour->decode_errors, 1);
  EXPECT_EQ(summary.colour->lost, 3);
  EXPECT_DOUBLE_EQ(summary.colour->fps, 19.95);
  ASSERT_TRUE(summary.disparity.has_value());
  EXPECT_EQ(summary.disparity->frames, 179);
  EXPECT_DOUBLE_EQ(summary.disparity->fps, 19.80);
  ASSERT_TRUE(summary.latency.has_value());
  EXPECT_DOUBLE_EQ(summary.latency->worst_ms, 40.25);
  ASSERT_TRUE(summary.scene.has_value());
  EXPECT_DOUBLE_EQ(summary.scene->within_one_level_percent, 97.31);
  EXPECT_EQ(summary.discovered.at("10.0.0.7"), 1);
  EXPECT_TRUE(ReplyAnswered(summary, "version"));
  EXPECT_FALSE(ReplyAnswered(summary, "mac"));
  EXPECT_FALSE(ReplyAnswered(summary, "shift"));
}

TEST(ClientSummary, MalformedOrAbsentLinesLeaveTheirPartEmpty) {
  const ClientSummary summary = ParseClientOutput(
      "colour frames=181 decoded=180 lost=3 fps=19.95\n"    // a field missing
      "disparity frames=-4 lost=0 fps=19.80\n"              // a negative count
      "  scene frames=10 within_one_level=97.31%\n"         // not at the line's start
      "log: colour frames=1 decoded=1 decode_errors=0 lost=0 fps=1.00\n");
  EXPECT_FALSE(summary.colour.has_value());
  EXPECT_FALSE(summary.disparity.has_value());
  EXPECT_FALSE(summary.scene.has_value());
  EXPECT_FALSE(summary.latency.has_value());
  EXPECT_TRUE(summary.replies.empty());
}

}  // namespace
