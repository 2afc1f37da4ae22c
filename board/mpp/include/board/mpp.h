// Hardware media library stand-in: the H.264 encoder and decoder calls the system makes on the board.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Result of every call: 0 on success, negative on failure.
typedef int MPP_RET;
enum {
  MPP_SUCCESS = 0,
  MPP_FAILURE = -1,
  MPP_NULL_ARGUMENT = -3,
  MPP_NO_MEMORY = -4,
  MPP_TIMED_OUT = -8,  // a get answered without waiting out its time-out; ask again
};

// Opaque handles. Frames, packets and buffers are created by the library; the caller releases
// what it created or received (mpp_frame_deinit, mpp_packet_deinit, mpp_buffer_put), except the
// extra-information packet of an encoder, which the encoder owns.
typedef void* MppCtx;
typedef void* MppFrame;
typedef void* MppPacket;
typedef void* MppBuffer;
typedef void* MppBufferGroup;

// What a context does, given to mpp_init.
typedef enum { MPP_CTX_DECODER = 0, MPP_CTX_ENCODER = 1 } MppCtxType;

// Stream codings; only H.264 is available.
typedef enum { MPP_CODING_AVC = 7 } MppCodingType;

// Pixel layouts of frames: 4:2:0 semi-planar U/V (NV12), planar (I420), semi-planar V/U (NV21).
typedef enum { MPP_FMT_NV12 = 0, MPP_FMT_I420 = 4, MPP_FMT_NV21 = 5 } MppFrameFormat;

// Kinds of memory a buffer group draws from; all are ordinary memory here.
typedef enum { MPP_BUFFER_NORMAL = 0, MPP_BUFFER_ION = 1 } MppBufferType;

// Commands of the API table's control call, with the parameter each takes.
typedef enum {
  MPP_CTRL_SET_INPUT_BLOCK_TIMEOUT = 0x200003,   // int*: ms, -1 blocks without limit
  MPP_CTRL_SET_OUTPUT_BLOCK_TIMEOUT = 0x200005,  // int*
  MPP_CTRL_SET_INPUT_TIMEOUT = 0x200006,         // int*
  MPP_CTRL_SET_OUTPUT_TIMEOUT = 0x200007,        // int*: 0 answers at once when nothing is ready
  MPP_CTRL_DEC_SET_BUFFER_GROUP = 0x310002,      // MppBufferGroup (the handle itself)
  MPP_CTRL_DEC_INFO_CHANGE_READY = 0x310003,     // no parameter
  MPP_CTRL_DEC_SET_SPLIT_MODE = 0x310005,        // int*: 1 splits the input into frames
  MPP_CTRL_ENC_SET_PREP_CONFIG = 0x320003,       // MppEncPrepConfig*
  MPP_CTRL_ENC_SET_RC_CONFIG = 0x320005,         // MppEncRcConfig*
  MPP_CTRL_ENC_SET_CODEC_CONFIG = 0x320007,      // MppEncCodecConfig*
  MPP_CTRL_ENC_REQUEST_IDR = 0x320009,           // no parameter: the next picture is an IDR
  MPP_CTRL_ENC_GET_EXTRA_INFO = 0x32000e,        // MppPacket*: the SPS/PPS, owned by the encoder
} MppControlCommand;

// Encoder input description.
typedef struct {
  uint32_t change;  // which fields to apply; the stand-in applies all of them
  int32_t width;
  int32_t height;
  int32_t hor_stride;  // bytes from one luma row to the next
  int32_t ver_stride;  // luma rows from the start of one plane to the next
  int32_t format;      // MppFrameFormat: NV12 or I420
} MppEncPrepConfig;

// Encoder rate control.
typedef struct {
  uint32_t change;
  int32_t rc_mode;
  int32_t quality;
  uint32_t bps_target;  // bits per second
  uint32_t bps_max;
  uint32_t bps_min;
  int32_t fps_in_flex;
  int32_t fps_in_num;
  int32_t fps_in_denom;
  int32_t fps_out_flex;
  int32_t fps_out_num;
  int32_t fps_out_denom;
  int32_t gop;  // pictures from one IDR to the next
  int32_t skip_count;
} MppEncRcConfig;

// H.264 coding tools.
typedef struct {
  uint32_t change;
  int32_t profile;  // 66 Baseline
  int32_t level;    // 30 for level 3.0
  int32_t entropy_coding_mode;  // 0 CAVLC
  int32_t cabac_init_idc;
  int32_t transform8x8_mode;
  int32_t constrained_intra_pred_mode;
  int32_t qp_init;
  int32_t qp_max;
  int32_t qp_min;
  int32_t qp_max_step;
} MppEncH264Config;

typedef struct {
  int32_t coding;  // MppCodingType
  MppEncH264Config h264;
} MppEncCodecConfig;

// The function table of a context, returned by mpp_create.
typedef struct MppApi_t {
  MPP_RET (*control)(MppCtx ctx, int command, void* parameter);
  MPP_RET (*reset)(MppCtx ctx);
  // Encodes one frame at once (the caller keeps the frame descriptor); its packet waits for
  // encode_get_packet. A frame marked end-of-stream without a buffer yields an empty packet.
  MPP_RET (*encode_put_frame)(MppCtx ctx, MppFrame frame);
  // The oldest waiting packet, or success with *packet null when none waits.
  MPP_RET (*encode_get_packet)(MppCtx ctx, MppPacket* packet);
  // Decodes the packet's bytes, which hold whole access units or parameter sets.
  MPP_RET (*decode_put_packet)(MppCtx ctx, MppPacket packet);
  // The oldest waiting frame (first an information-change frame for each new picture size),
  // or success with *frame null when none waits.
  MPP_RET (*decode_get_frame)(MppCtx ctx, MppFrame* frame);
} MppApi;

// Contexts.
MPP_RET mpp_create(MppCtx* ctx, MppApi** mpi);
MPP_RET mpp_init(MppCtx ctx, MppCtxType type, MppCodingType coding);
MPP_RET mpp_destroy(MppCtx ctx);

// Buffers. A null group means the library's default group.
MPP_RET mpp_buffer_get(MppBufferGroup group, MppBuffer* buffer, size_t size, const char* tag);
void* mpp_buffer_get_ptr(MppBuffer buffer);
size_t mpp_buffer_get_size(MppBuffer buffer);
MPP_RET mpp_buffer_put(MppBuffer buffer);

MPP_RET mpp_buffer_group_get(MppBufferGroup* group, MppBufferType type, const char* tag);
// Forgets the group's free buffers; buffers still in use stay valid until released.
MPP_RET mpp_buffer_group_clear(MppBufferGroup group);
// Limits the group to `count` buffers of `size` bytes each.
MPP_RET mpp_buffer_group_limit_config(MppBufferGroup group, size_t size, int count);
MPP_RET mpp_buffer_group_put(MppBufferGroup group);

// Frames.
MPP_RET mpp_frame_init(MppFrame* frame);
MPP_RET mpp_frame_deinit(MppFrame* frame);
void mpp_frame_set_width(MppFrame frame, uint32_t width);
void mpp_frame_set_height(MppFrame frame, uint32_t height);
void mpp_frame_set_hor_stride(MppFrame frame, uint32_t stride);
void mpp_frame_set_ver_stride(MppFrame frame, uint32_t stride);
void mpp_frame_set_fmt(MppFrame frame, MppFrameFormat format);
void mpp_frame_set_eos(MppFrame frame, uint32_t eos);
void mpp_frame_set_buf_size(MppFrame frame, size_t size);
// The frame holds a reference to the buffer until it is deinitialised or given another one.
void mpp_frame_set_buffer(MppFrame frame, MppBuffer buffer);
uint32_t mpp_frame_get_width(MppFrame frame);
uint32_t mpp_frame_get_height(MppFrame frame);
uint32_t mpp_frame_get_hor_stride(MppFrame frame);
uint32_t mpp_frame_get_ver_stride(MppFrame frame);
MppFrameFormat mpp_frame_get_fmt(MppFrame frame);
uint32_t mpp_frame_get_eos(MppFrame frame);
size_t mpp_frame_get_buf_size(MppFrame frame);
MppBuffer mpp_frame_get_buffer(MppFrame frame);
uint32_t mpp_frame_get_info_change(MppFrame frame);
uint32_t mpp_frame_get_errinfo(MppFrame frame);
uint32_t mpp_frame_get_discard(MppFrame frame);

// Packets. mpp_packet_init wraps the caller's area (not copied, not freed): position at its
// start, length = size.
MPP_RET mpp_packet_init(MppPacket* packet, void* data, size_t size);
MPP_RET mpp_packet_deinit(MppPacket* packet);
// Copies `size` bytes into the packet's area at `offset`; fails when they do not fit.
MPP_RET mpp_packet_write(MppPacket packet, size_t offset, const void* data, size_t size);
void mpp_packet_set_pos(MppPacket packet, void* position);
void mpp_packet_set_length(MppPacket packet, size_t length);
void mpp_packet_set_eos(MppPacket packet);
void mpp_packet_set_extra_data(MppPacket packet);
void* mpp_packet_get_pos(MppPacket packet);
size_t mpp_packet_get_length(MppPacket packet);
uint32_t mpp_packet_get_eos(MppPacket packet);

// Test aid: frames, packets, buffers and contexts alive in this process.
size_t mpp_debug_live_objects(void);

#ifdef __cplusplus
}
#endif
