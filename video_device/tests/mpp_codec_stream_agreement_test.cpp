// The codec wrapper's encoder and the colour stream's encoder are set up alike: at the colour
// stream's picture size both announce the same SPS/PPS.
#include <gtest/gtest.h>

#include <vector>

#include "mpp_codec_test_support.h"
#include "pelarin/encoder.h"

namespace {

using namespace codec_test;

TEST(EncoderSetUp, CodecWrapperAndColourStreamAnnounceTheSameParameterSets) {
  constexpr unsigned kWidth = 640, kHeight = 480, kRate = 20;
  for (const unsigned bit_rate : {0u, 500000u}) {
    MppCodec codec;
    ASSERT_EQ(codec.InitEncode(kWidth, kHeight, kRate, 0, bit_rate), kResultOk);
    std::vector<unsigned char> wrapper(1024);
    unsigned long wrapper_length = wrapper.size();
    ASSERT_EQ(codec.GetPpsSps(wrapper.data(), &wrapper_length), kResultOk);
    codec.DeinitEncode();

    StipEncoder* stream = nullptr;
    ASSERT_EQ(STIPInitEncode(0, kWidth, kHeight, kRate, 0, bit_rate, &stream), 0);
    std::vector<unsigned char> colour(1024);
    unsigned long colour_length = colour.size();
    ASSERT_EQ(STIPMPPGetPpsSps(stream, colour.data(), &colour_length), 0);
    STIPDeinitEncode(&stream);

    ASSERT_GT(wrapper_length, 0u);
    wrapper.resize(wrapper_length);
    colour.resize(colour_length);
    EXPECT_EQ(wrapper, colour) << "bit rate " << bit_rate;
  }
}

}  // namespace
