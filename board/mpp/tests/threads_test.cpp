// Media library stand-in, threads: encoder contexts on different threads stay independent, as
// when each streaming client has its own encoder on its own image thread.
#include "codec_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace mpp_test;

TEST(EncoderThreads, ContextsOnTwoThreadsEachGiveAValidStream) {
  constexpr int kFrames = 8;
  EncoderSettings settings[2];
  settings[1].geometry = {320, 240, 320, 240, MPP_FMT_NV12};
  std::vector<std::vector<uint8_t>> units[2];
  std::thread first([&] { units[0] = EncodeScene(settings[0], kFrames); });
  std::thread second([&] { units[1] = EncodeScene(settings[1], kFrames); });
  first.join();
  second.join();
  for (int stream = 0; stream < 2; ++stream) {
    auto pictures = DecodeWithLibavcodec(units[stream]);
    ASSERT_EQ(pictures.size(), static_cast<size_t>(kFrames)) << "stream " << stream;
    const ImageGeometry& g = settings[stream].geometry;
    for (int i = 0; i < kFrames; ++i) {
      EXPECT_GT(Psnr(MakeI420Scene(g.width, g.height, i), pictures[i]), 30.0) << "stream " << stream;
    }
  }
}
