// Decoder side of the codec wrapper: packets longer than the set-up allows, packed copies of
// strided pictures against a plain reference, and outputs too small for a picture.
#include <gtest/gtest.h>

#include <cstring>

#include "mpp_codec_test_support.h"

namespace {

using namespace codec_test;

constexpr int kWidth = 96;
constexpr int kHeight = 64;
constexpr unsigned char kUntouched = 0xEE;

// An encoded stream of a few pictures of the moving pattern, with its SPS/PPS.
struct Stream {
  Bytes headers;
  std::vector<Bytes> packets;
  std::vector<Bytes> images;
};

Stream EncodeStream(int frames) {
  Stream stream;
  MppCodec encoder;
  EXPECT_EQ(encoder.InitEncode(kWidth, kHeight, kFrameRate, 0, 0), kResultOk);
  stream.headers = Headers(&encoder);
  for (int frame = 0; frame < frames; ++frame) {
    stream.images.push_back(MovingI420(kWidth, kHeight, frame));
    stream.packets.push_back(EncodeOne(&encoder, stream.images.back()));
  }
  encoder.DeinitEncode();
  return stream;
}

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { live_before_ = mpp_debug_live_objects(); }
  void TearDown() override {
    codec_.DeinitDecode();
    EXPECT_EQ(mpp_debug_live_objects(), live_before_) << "media objects left behind";
  }
  int Decode(const Bytes& packet, Bytes* out, bool end_of_stream = false) {
    unsigned long length = out->size();
    const int result = codec_.Decode(packet.data(), packet.size(), out->data(), &length, end_of_stream);
    out->resize(length);
    return result;
  }

  MppCodec codec_;
  size_t live_before_ = 0;
};

TEST_F(DecoderTest, DecodesEachPacketIntoOnePackedNv12Picture) {
  const Stream stream = EncodeStream(3);
  ASSERT_EQ(codec_.InitDecode(kWidth, kHeight, kPacketCapacity), kResultOk);
  ASSERT_EQ(codec_.SetPpsSps(stream.headers.data(), stream.headers.size()), kResultOk);
  for (size_t i = 0; i < stream.packets.size(); ++i) {
    Bytes out(4 * stream.images[i].size(), kUntouched);
    ASSERT_EQ(Decode(stream.packets[i], &out), kResultOk);
    ASSERT_EQ(out.size(), stream.images[i].size()) << "picture " << i;
  }
  EXPECT_EQ(codec_.decoded_frame_count(), stream.packets.size());
}

TEST_F(DecoderTest, PacketLongerThanThePacketSizeIsRefusedAndFeedsNothing) {
  const Stream stream = EncodeStream(1);
  const Bytes& idr = stream.packets[0];
  ASSERT_EQ(codec_.InitDecode(kWidth, kHeight, idr.size() - 1), kResultOk);
  ASSERT_EQ(codec_.SetPpsSps(stream.headers.data(), stream.headers.size()), kResultOk);
  Bytes out(stream.images[0].size() * 2, kUntouched);
  EXPECT_EQ(Decode(idr, &out), kResultFailed);
  // Draining at the end of the stream yields nothing: the picture never reached the decoder.
  out.assign(stream.images[0].size() * 2, kUntouched);
  EXPECT_EQ(Decode(Bytes(), &out, true), kResultOk);
  EXPECT_EQ(out.size(), 0u);
  EXPECT_EQ(codec_.decoded_frame_count(), 1u);  // the end-of-stream mark alone
}

TEST_F(DecoderTest, OutputTooSmallForThePictureIsAFailure) {
  const Stream stream = EncodeStream(1);
  ASSERT_EQ(codec_.InitDecode(kWidth, kHeight, kPacketCapacity), kResultOk);
  ASSERT_EQ(codec_.SetPpsSps(stream.headers.data(), stream.headers.size()), kResultOk);
  Bytes out(stream.images[0].size() - 1, kUntouched);
  EXPECT_EQ(Decode(stream.packets[0], &out), kResultFailed);
  EXPECT_EQ(out.size(), 0u);
}

TEST_F(DecoderTest, CallsBeforeSetUpOrASecondSetUpAreRefused) {
  Bytes out(64);
  unsigned long length = out.size();
  const unsigned char byte = 0;
  EXPECT_EQ(codec_.Decode(&byte, 1, out.data(), &length, false), kResultFailed);
  EXPECT_EQ(codec_.SetPpsSps(&byte, 1), kResultFailed);
  EXPECT_EQ(codec_.DeinitDecode(), kResultOk);
  ASSERT_EQ(codec_.InitDecode(kWidth, kHeight, kPacketCapacity), kResultOk);
  EXPECT_EQ(codec_.InitDecode(kWidth, kHeight, kPacketCapacity), kResultFailed);
  EXPECT_EQ(codec_.InitEncode(kWidth, kHeight, kFrameRate, 0, 0), kResultFailed);
}

// A decoded-picture stand-in: a frame of the given layout over a buffer of random bytes.
class StridedFrame {
 public:
  StridedFrame(MppFrameFormat format, uint32_t width, uint32_t height, uint32_t hor_stride, uint32_t ver_stride,
               size_t buffer_bytes) {
    mpp_frame_init(&frame_);
    mpp_frame_set_fmt(frame_, format);
    mpp_frame_set_width(frame_, width);
    mpp_frame_set_height(frame_, height);
    mpp_frame_set_hor_stride(frame_, hor_stride);
    mpp_frame_set_ver_stride(frame_, ver_stride);
    MppBuffer buffer = nullptr;
    mpp_buffer_get(nullptr, &buffer, buffer_bytes, "test");
    auto* bytes = static_cast<unsigned char*>(mpp_buffer_get_ptr(buffer));
    for (size_t i = 0; i < buffer_bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 13);
    source_.assign(bytes, bytes + buffer_bytes);
    mpp_frame_set_buffer(frame_, buffer);
    mpp_buffer_put(buffer);  // the frame keeps its own reference
  }
  ~StridedFrame() { mpp_frame_deinit(&frame_); }
  MppFrame frame() const { return frame_; }
  const Bytes& source() const { return source_; }

 private:
  MppFrame frame_ = nullptr;
  Bytes source_;
};

// Plain reference of the packed copy: luma rows, then U rows and V rows (I420) or UV rows (NV12).
Bytes ReferencePacked(const Bytes& src, MppFrameFormat format, size_t w, size_t h, size_t hs, size_t vs) {
  Bytes out;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) out.push_back(src[y * hs + x]);
  const size_t chroma = hs * vs;
  if (format == MPP_FMT_NV12) {
    for (size_t y = 0; y < h / 2; ++y)
      for (size_t x = 0; x < w; ++x) out.push_back(src[chroma + y * hs + x]);
    return out;
  }
  for (size_t plane = 0; plane < 2; ++plane)
    for (size_t y = 0; y < h / 2; ++y)
      for (size_t x = 0; x < w / 2; ++x) out.push_back(src[chroma + plane * (hs / 2) * (vs / 2) + y * (hs / 2) + x]);
  return out;
}

TEST(CopyDecodedFrame, PacksStridedPicturesOfOddSizesLikeThePlainReference) {
  struct Case {
    MppFrameFormat format;
    uint32_t width, height, hor_stride, ver_stride;
  };
  const Case cases[] = {{MPP_FMT_I420, 10, 6, 16, 8},   {MPP_FMT_NV12, 10, 6, 16, 8},
                        {MPP_FMT_I420, 642, 482, 656, 496}, {MPP_FMT_NV12, 630, 478, 640, 480},
                        {MPP_FMT_NV12, 640, 480, 640, 480}, {MPP_FMT_I420, 2, 2, 2, 2}};
  MppCodec codec;
  for (const Case& c : cases) {
    const size_t buffer_bytes = static_cast<size_t>(c.hor_stride) * c.ver_stride * 3 / 2;
    StridedFrame frame(c.format, c.width, c.height, c.hor_stride, c.ver_stride, buffer_bytes);
    const Bytes expected =
        ReferencePacked(frame.source(), c.format, c.width, c.height, c.hor_stride, c.ver_stride);
    Bytes out(expected.size() + 8, kUntouched);
    unsigned long size = 0;
    ASSERT_EQ(codec.CopyDecodedFrame(frame.frame(), out.data(), out.size(), &size), kResultOk);
    ASSERT_EQ(size, expected.size()) << c.width << "x" << c.height;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin())) << c.width << "x" << c.height;
    EXPECT_EQ(out[expected.size()], kUntouched);
  }
}

TEST(CopyDecodedFrame, ReportsTheSizeAndWritesNothingWhenTheOutputIsShort) {
  StridedFrame frame(MPP_FMT_NV12, 10, 6, 16, 8, 16 * 8 * 3 / 2);
  MppCodec codec;
  Bytes out(89, kUntouched);
  unsigned long size = 0;
  EXPECT_EQ(codec.CopyDecodedFrame(frame.frame(), out.data(), out.size(), &size), kResultOutOfMemory);
  EXPECT_EQ(size, 90u);
  EXPECT_EQ(out, Bytes(89, kUntouched));
}

TEST(CopyDecodedFrame, RefusesOtherFormatsAndBuffersTooSmallForTheirStrides) {
  MppCodec codec;
  Bytes out(1024, kUntouched);
  unsigned long size = 7;
  StridedFrame nv21(MPP_FMT_NV21, 10, 6, 16, 8, 16 * 8 * 3 / 2);
  EXPECT_EQ(codec.CopyDecodedFrame(nv21.frame(), out.data(), out.size(), &size), kResultFailed);
  EXPECT_EQ(size, 7u);
  StridedFrame short_buffer(MPP_FMT_I420, 10, 6, 16, 8, 16 * 8 * 3 / 2 - 1);
  EXPECT_EQ(codec.CopyDecodedFrame(short_buffer.frame(), out.data(), out.size(), &size), kResultFailed);
  StridedFrame narrow_stride(MPP_FMT_I420, 10, 6, 8, 8, 1024);
  EXPECT_EQ(codec.CopyDecodedFrame(narrow_stride.frame(), out.data(), out.size(), &size), kResultFailed);
  EXPECT_EQ(out, Bytes(1024, kUntouched));
  EXPECT_EQ(codec.CopyDecodedFrame(nullptr, out.data(), out.size(), &size), kResultOk);
  EXPECT_EQ(size, 0u);
}

}  // namespace
