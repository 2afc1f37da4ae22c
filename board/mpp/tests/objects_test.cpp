// Media library stand-in, objects: buffer references, group limits, and contexts used wrongly.
#include "board/mpp.h"

#include <gtest/gtest.h>

TEST(Buffers, FrameKeepsItsBufferAliveAfterTheOwnerLetsGo) {
  size_t before = mpp_debug_live_objects();
  MppBuffer buffer = nullptr;
  ASSERT_EQ(mpp_buffer_get(nullptr, &buffer, 1000, "t"), MPP_SUCCESS);
  EXPECT_EQ(mpp_buffer_get_size(buffer), 1000u);
  static_cast<uint8_t*>(mpp_buffer_get_ptr(buffer))[999] = 7;
  MppFrame frame = nullptr;
  ASSERT_EQ(mpp_frame_init(&frame), MPP_SUCCESS);
  mpp_frame_set_buffer(frame, buffer);
  mpp_frame_set_buffer(frame, buffer);  // setting the same buffer again keeps one reference
  ASSERT_EQ(mpp_buffer_put(buffer), MPP_SUCCESS);
  MppBuffer held = mpp_frame_get_buffer(frame);
  EXPECT_EQ(static_cast<uint8_t*>(mpp_buffer_get_ptr(held))[999], 7);
  ASSERT_EQ(mpp_frame_deinit(&frame), MPP_SUCCESS);
  EXPECT_EQ(frame, nullptr);
  EXPECT_EQ(mpp_debug_live_objects(), before);
}

TEST(Buffers, GroupRefusesBuffersBeyondItsLimits) {
  MppBufferGroup group = nullptr;
  ASSERT_EQ(mpp_buffer_group_get(&group, MPP_BUFFER_ION, "g"), MPP_SUCCESS);
  ASSERT_EQ(mpp_buffer_group_limit_config(group, 100, 2), MPP_SUCCESS);
  MppBuffer a = nullptr, b = nullptr, c = nullptr;
  EXPECT_NE(mpp_buffer_get(group, &a, 101, "big"), MPP_SUCCESS);
  ASSERT_EQ(mpp_buffer_get(group, &a, 100, "a"), MPP_SUCCESS);
  ASSERT_EQ(mpp_buffer_get(group, &b, 50, "b"), MPP_SUCCESS);
  EXPECT_NE(mpp_buffer_get(group, &c, 10, "c"), MPP_SUCCESS);
  EXPECT_EQ(c, nullptr);
  mpp_buffer_put(a);
  EXPECT_EQ(mpp_buffer_get(group, &c, 10, "c"), MPP_SUCCESS);
  // The group may go before its buffers; they stay usable until released.
  EXPECT_EQ(mpp_buffer_group_put(group), MPP_SUCCESS);
  static_cast<uint8_t*>(mpp_buffer_get_ptr(b))[49] = 1;
  mpp_buffer_put(b);
  mpp_buffer_put(c);
}

TEST(Contexts, CallsOfTheOtherKindOrBeforeInitFail) {
  MppCtx ctx = nullptr;
  MppApi* mpi = nullptr;
  ASSERT_EQ(mpp_create(&ctx, &mpi), MPP_SUCCESS);
  int value = -1;
  EXPECT_EQ(mpi->control(ctx, MPP_CTRL_SET_OUTPUT_TIMEOUT, &value), MPP_SUCCESS) << "allowed before init";
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_REQUEST_IDR, nullptr), MPP_SUCCESS);
  MppPacket packet = nullptr;
  EXPECT_NE(mpi->encode_get_packet(ctx, &packet), MPP_SUCCESS);
  EXPECT_NE(mpp_init(ctx, MPP_CTX_DECODER, static_cast<MppCodingType>(8)), MPP_SUCCESS);
  ASSERT_EQ(mpp_init(ctx, MPP_CTX_DECODER, MPP_CODING_AVC), MPP_SUCCESS);
  EXPECT_NE(mpp_init(ctx, MPP_CTX_ENCODER, MPP_CODING_AVC), MPP_SUCCESS) << "one kind per context";
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_ENC_REQUEST_IDR, nullptr), MPP_SUCCESS);
  EXPECT_NE(mpi->encode_get_packet(ctx, &packet), MPP_SUCCESS);
  MppFrame frame = nullptr;
  EXPECT_EQ(mpi->decode_get_frame(ctx, &frame), MPP_SUCCESS);
  EXPECT_EQ(frame, nullptr) << "nothing decoded yet";
  EXPECT_NE(mpi->control(ctx, MPP_CTRL_SET_OUTPUT_TIMEOUT, nullptr), MPP_SUCCESS);
  EXPECT_EQ(mpp_destroy(ctx), MPP_SUCCESS);
}
