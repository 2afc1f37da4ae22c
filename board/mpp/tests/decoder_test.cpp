// Media library stand-in, decoder: pictures come back close to what was encoded, announced by an
// information change, held to the buffer group's limit, and bad input is refused safely.
#include "codec_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace mpp_test;

namespace {

constexpr size_t kPacketCapacity = 1 << 20;
constexpr int kGroupLimit = 24;

// A decoder context set up the way the codec wrapper sets it up, over one packet area.
class Decoder {
 public:
  Decoder() : area_(kPacketCapacity) {
    int split = 1;
    int no_wait = 0;
    ok_ = mpp_packet_init(&packet_, area_.data(), area_.size()) == MPP_SUCCESS &&
          mpp_create(&ctx_, &mpi_) == MPP_SUCCESS &&
          mpi_->control(ctx_, MPP_CTRL_DEC_SET_SPLIT_MODE, &split) == MPP_SUCCESS &&
          mpi_->control(ctx_, MPP_CTRL_SET_OUTPUT_TIMEOUT, &no_wait) == MPP_SUCCESS &&
          mpp_init(ctx_, MPP_CTX_DECODER, MPP_CODING_AVC) == MPP_SUCCESS;
  }
  ~Decoder() {
    if (ctx_ != nullptr) {
      mpi_->reset(ctx_);
      mpp_destroy(ctx_);
    }
    if (packet_ != nullptr) mpp_packet_deinit(&packet_);
    if (group_ != nullptr) mpp_buffer_group_put(group_);
  }
  bool ok() const { return ok_; }
  MppCtx ctx() const { return ctx_; }
  MppApi* mpi() const { return mpi_; }
  MppPacket packet() const { return packet_; }
  MppBufferGroup group() const { return group_; }

  MPP_RET Put(const std::vector<uint8_t>& unit, bool eos = false) {
    if (mpp_packet_write(packet_, 0, unit.data(), unit.size()) != MPP_SUCCESS) return MPP_FAILURE;
    mpp_packet_set_pos(packet_, area_.data());
    mpp_packet_set_length(packet_, unit.size());
    if (eos) mpp_packet_set_eos(packet_);
    return mpi_->decode_put_packet(ctx_, packet_);
  }

  // Acknowledges an information change as the codec wrapper does: a group, limited, then ready.
  void AcceptInfoChange(MppFrame change, int limit = kGroupLimit) {
    if (group_ == nullptr) {
      ASSERT_EQ(mpp_buffer_group_get(&group_, MPP_BUFFER_ION, "Decode"), MPP_SUCCESS);
      ASSERT_EQ(mpi_->control(ctx_, MPP_CTRL_DEC_SET_BUFFER_GROUP, group_), MPP_SUCCESS);
    } else {
      ASSERT_EQ(mpp_buffer_group_clear(group_), MPP_SUCCESS);
    }
    ASSERT_EQ(mpp_buffer_group_limit_config(group_, mpp_frame_get_buf_size(change), limit), MPP_SUCCESS);
    ASSERT_EQ(mpi_->control(ctx_, MPP_CTRL_DEC_INFO_CHANGE_READY, nullptr), MPP_SUCCESS);
  }

  // Takes the next frame, accepting information changes on the way; null when none waits.
  MppFrame NextPicture(int limit = kGroupLimit) {
    for (;;) {
      MppFrame frame = nullptr;
      if (mpi_->decode_get_frame(ctx_, &frame) != MPP_SUCCESS || frame == nullptr) return nullptr;
      if (!mpp_frame_get_info_change(frame)) return frame;
      AcceptInfoChange(frame, limit);
      mpp_frame_deinit(&frame);
    }
  }

 private:
  std::vector<uint8_t> area_;
  MppPacket packet_ = nullptr;
  MppCtx ctx_ = nullptr;
  MppApi* mpi_ = nullptr;
  MppBufferGroup group_ = nullptr;
  bool ok_ = false;
};

// Packs an NV12 frame of the decoder (strided) into I420 for comparison.
std::vector<uint8_t> PackedI420(MppFrame frame) {
  uint32_t w = mpp_frame_get_width(frame), h = mpp_frame_get_height(frame);
  uint32_t hs = mpp_frame_get_hor_stride(frame), vs = mpp_frame_get_ver_stride(frame);
  auto* base = static_cast<const uint8_t*>(mpp_buffer_get_ptr(mpp_frame_get_buffer(frame)));
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3 / 2);
  for (uint32_t y = 0; y < h; ++y) std::memcpy(&out[y * w], base + y * hs, w);
  uint8_t* u = out.data() + w * h;
  uint8_t* v = u + (w / 2) * (h / 2);
  for (uint32_t y = 0; y < h / 2; ++y) {
    for (uint32_t x = 0; x < w / 2; ++x) {
      u[y * (w / 2) + x] = base[hs * vs + y * hs + 2 * x];
      v[y * (w / 2) + x] = base[hs * vs + y * hs + 2 * x + 1];
    }
  }
  return out;
}

}  // namespace

TEST(DecoderRoundTrip, ThirtyFramesComeBackAboveThirtyDecibels) {
  EncoderSettings settings;
  auto units = EncodeScene(settings, 30);
  ASSERT_EQ(units.size(), 30u);
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  double worst = 1e9;
  for (size_t i = 0; i < units.size(); ++i) {
    ASSERT_EQ(decoder.Put(units[i]), MPP_SUCCESS);
    MppFrame frame = decoder.NextPicture();
    ASSERT_NE(frame, nullptr) << "a whole access unit gives its picture at once, frame " << i;
    EXPECT_EQ(mpp_frame_get_fmt(frame), MPP_FMT_NV12);
    EXPECT_EQ(mpp_frame_get_errinfo(frame), 0u);
    worst = std::min(worst, Psnr(MakeI420Scene(640, 480, static_cast<int>(i)), PackedI420(frame)));
    mpp_frame_deinit(&frame);
  }
  std::printf("stand-in decoder, 30 frames 640x480: worst PSNR %.2f dB\n", worst);
  EXPECT_GT(worst, 30.0);
}

TEST(DecoderRoundTrip, OddSizeGetsStridesRoundedUpToSixteen) {
  EncoderSettings settings;
  settings.geometry = {642, 482, 642, 482, MPP_FMT_I420};
  auto units = EncodeScene(settings, 3);
  ASSERT_EQ(units.size(), 3u);
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  for (size_t i = 0; i < units.size(); ++i) {
    ASSERT_EQ(decoder.Put(units[i]), MPP_SUCCESS);
    MppFrame frame = decoder.NextPicture();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(mpp_frame_get_width(frame), 642u);
    EXPECT_EQ(mpp_frame_get_height(frame), 482u);
    EXPECT_EQ(mpp_frame_get_hor_stride(frame), 656u);
    EXPECT_EQ(mpp_frame_get_ver_stride(frame), 496u);
    EXPECT_EQ(mpp_frame_get_buf_size(frame), 656u * 496u * 3 / 2);
    EXPECT_GT(Psnr(MakeI420Scene(642, 482, static_cast<int>(i)), PackedI420(frame)), 30.0);
    mpp_frame_deinit(&frame);
  }
}

TEST(DecoderRoundTrip, ParameterSetsGivenAheadAsExtraDataAreUsed) {
  EncoderSettings settings;
  Encoder encoder(settings);
  ASSERT_TRUE(encoder.ok());
  std::vector<uint8_t> idr;
  ASSERT_TRUE(encoder.Encode(MakeI420Scene(640, 480, 0), &idr));
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  auto headers = encoder.Headers();
  MppPacket extra = nullptr;
  ASSERT_EQ(mpp_packet_init(&extra, headers.data(), headers.size()), MPP_SUCCESS);
  mpp_packet_set_extra_data(extra);
  EXPECT_EQ(decoder.mpi()->decode_put_packet(decoder.ctx(), extra), MPP_SUCCESS);
  mpp_packet_deinit(&extra);
  ASSERT_EQ(decoder.Put(idr), MPP_SUCCESS) << "the IDR alone, without SPS/PPS in front";
  MppFrame frame = decoder.NextPicture();
  ASSERT_NE(frame, nullptr);
  EXPECT_GT(Psnr(MakeI420Scene(640, 480, 0), PackedI420(frame)), 30.0);
  mpp_frame_deinit(&frame);
}

TEST(DecoderProtocol, InformationChangeComesFirstAndPicturesWaitForReady) {
  auto units = EncodeScene(EncoderSettings{}, 2);
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  ASSERT_EQ(decoder.Put(units[0]), MPP_SUCCESS);
  MppFrame change = nullptr;
  ASSERT_EQ(decoder.mpi()->decode_get_frame(decoder.ctx(), &change), MPP_SUCCESS);
  ASSERT_NE(change, nullptr);
  EXPECT_EQ(mpp_frame_get_info_change(change), 1u);
  EXPECT_EQ(mpp_frame_get_width(change), 640u);
  EXPECT_EQ(mpp_frame_get_height(change), 480u);
  EXPECT_EQ(mpp_frame_get_buffer(change), nullptr);
  MppFrame early = nullptr;
  EXPECT_EQ(decoder.mpi()->decode_get_frame(decoder.ctx(), &early), MPP_SUCCESS);
  EXPECT_EQ(early, nullptr) << "no picture before the change is acknowledged";
  decoder.AcceptInfoChange(change);
  mpp_frame_deinit(&change);
  MppFrame picture = nullptr;
  ASSERT_EQ(decoder.mpi()->decode_get_frame(decoder.ctx(), &picture), MPP_SUCCESS);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(mpp_frame_get_info_change(picture), 0u);
  mpp_frame_deinit(&picture);
  ASSERT_EQ(decoder.Put(units[1]), MPP_SUCCESS);
  ASSERT_EQ(decoder.mpi()->decode_get_frame(decoder.ctx(), &picture), MPP_SUCCESS);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(mpp_frame_get_info_change(picture), 0u) << "same size: no second change";
  mpp_frame_deinit(&picture);
}

TEST(DecoderProtocol, GroupLimitHoldsPicturesUntilABufferIsReturned) {
  auto units = EncodeScene(EncoderSettings{}, 3);
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  for (const auto& unit : units) ASSERT_EQ(decoder.Put(unit), MPP_SUCCESS);
  MppFrame first = decoder.NextPicture(2);
  MppFrame second = decoder.NextPicture(2);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(decoder.NextPicture(2), nullptr) << "both buffers of the group are in use";
  mpp_frame_deinit(&first);
  MppFrame third = decoder.NextPicture(2);
  EXPECT_NE(third, nullptr);
  mpp_frame_deinit(&second);
  mpp_frame_deinit(&third);
}

TEST(DecoderProtocol, EndOfStreamMarksTheLastPicture) {
  auto units = EncodeScene(EncoderSettings{}, 2);
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  ASSERT_EQ(decoder.Put(units[0]), MPP_SUCCESS);
  ASSERT_EQ(decoder.Put(units[1], true), MPP_SUCCESS);
  MppFrame first = decoder.NextPicture();
  MppFrame last = decoder.NextPicture();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(last, nullptr);
  EXPECT_EQ(mpp_frame_get_eos(first), 0u);
  EXPECT_EQ(mpp_frame_get_eos(last), 1u);
  mpp_frame_deinit(&first);
  mpp_frame_deinit(&last);
}

TEST(DecoderRefusals, DamagedInputGivesNoPictureAndNoCrash) {
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  std::vector<uint8_t> noise(4099);
  uint32_t state = 12345;
  for (auto& byte : noise) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  EXPECT_EQ(decoder.Put(noise), MPP_SUCCESS);
  auto units = EncodeScene(EncoderSettings{}, 2);
  std::vector<uint8_t> cut(units[0].begin(), units[0].begin() + units[0].size() / 3);
  EXPECT_EQ(decoder.Put(cut), MPP_SUCCESS);
  for (MppFrame frame = decoder.NextPicture(); frame != nullptr; frame = decoder.NextPicture()) {
    mpp_frame_deinit(&frame);
  }
  ASSERT_EQ(decoder.Put(units[0]), MPP_SUCCESS) << "a good IDR still decodes afterwards";
  MppFrame frame = decoder.NextPicture();
  ASSERT_NE(frame, nullptr);
  mpp_frame_deinit(&frame);
}

TEST(DecoderRefusals, PacketPositionOutsideItsAreaIsRefused) {
  Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  std::vector<uint8_t> too_long(kPacketCapacity + 1, 0);
  EXPECT_NE(mpp_packet_write(decoder.packet(), 0, too_long.data(), too_long.size()), MPP_SUCCESS);
  EXPECT_NE(mpp_packet_write(decoder.packet(), kPacketCapacity, too_long.data(), 1), MPP_SUCCESS);
  mpp_packet_set_length(decoder.packet(), kPacketCapacity + 1);
  EXPECT_NE(decoder.mpi()->decode_put_packet(decoder.ctx(), decoder.packet()), MPP_SUCCESS);
  auto* start = static_cast<uint8_t*>(mpp_packet_get_pos(decoder.packet()));
  mpp_packet_set_pos(decoder.packet(), start + 10);
  mpp_packet_set_length(decoder.packet(), kPacketCapacity - 9);
  EXPECT_NE(decoder.mpi()->decode_put_packet(decoder.ctx(), decoder.packet()), MPP_SUCCESS);
}
