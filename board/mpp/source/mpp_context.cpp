// Media library stand-in: contexts, their function table and the controls common to both kinds.
#include "h264_decoder.h"
#include "h264_encoder.h"
#include "mpp_objects.h"

#include <memory>
#include <new>

namespace board_mpp {
namespace {

constexpr int kBlockWithoutLimit = -1;

// One media context: created empty, then made an encoder or a decoder by mpp_init.
struct Context : LiveObject {
  bool initialised = false;
  MppCtxType type = MPP_CTX_DECODER;
  std::unique_ptr<H264Encoder> encoder;
  std::unique_ptr<H264Decoder> decoder;
  int input_timeout_ms = kBlockWithoutLimit;
  int output_timeout_ms = kBlockWithoutLimit;
};

Context* AsContext(MppCtx ctx) { return static_cast<Context*>(ctx); }

// Time-outs only record what was asked: every call here answers at once.
MPP_RET SetTimeout(int* target, void* parameter) {
  if (parameter == nullptr) return MPP_NULL_ARGUMENT;
  *target = *static_cast<const int*>(parameter);
  return MPP_SUCCESS;
}

MPP_RET Control(MppCtx ctx, int command, void* parameter) {
  Context* context = AsContext(ctx);
  if (context == nullptr) return MPP_NULL_ARGUMENT;
  switch (command) {
    case MPP_CTRL_SET_INPUT_TIMEOUT:
    case MPP_CTRL_SET_INPUT_BLOCK_TIMEOUT:
      return SetTimeout(&context->input_timeout_ms, parameter);
    case MPP_CTRL_SET_OUTPUT_TIMEOUT:
    case MPP_CTRL_SET_OUTPUT_BLOCK_TIMEOUT:
      return SetTimeout(&context->output_timeout_ms, parameter);
    case MPP_CTRL_DEC_SET_SPLIT_MODE:
      // A decoder's parser mode may be chosen before mpp_init; whole access units are expected.
      return parameter == nullptr ? MPP_NULL_ARGUMENT : MPP_SUCCESS;
    default:
      break;
  }
  if (context->encoder) return context->encoder->Control(command, parameter);
  if (context->decoder) return context->decoder->Control(command, parameter);
  return MPP_FAILURE;
}

MPP_RET Reset(MppCtx ctx) {
  Context* context = AsContext(ctx);
  if (context == nullptr) return MPP_NULL_ARGUMENT;
  if (context->encoder) context->encoder->Reset();
  if (context->decoder) context->decoder->Reset();
  return MPP_SUCCESS;
}

MPP_RET EncodePutFrame(MppCtx ctx, MppFrame frame) {
  Context* context = AsContext(ctx);
  if (context == nullptr || frame == nullptr) return MPP_NULL_ARGUMENT;
  if (!context->encoder) return MPP_FAILURE;
  return context->encoder->PutFrame(static_cast<const Frame*>(frame));
}

MPP_RET EncodeGetPacket(MppCtx ctx, MppPacket* packet) {
  Context* context = AsContext(ctx);
  if (context == nullptr || packet == nullptr) return MPP_NULL_ARGUMENT;
  if (!context->encoder) return MPP_FAILURE;
  return context->encoder->GetPacket(packet);
}

MPP_RET DecodePutPacket(MppCtx ctx, MppPacket packet) {
  Context* context = AsContext(ctx);
  if (context == nullptr || packet == nullptr) return MPP_NULL_ARGUMENT;
  if (!context->decoder) return MPP_FAILURE;
  return context->decoder->PutPacket(static_cast<const Packet*>(packet));
}

MPP_RET DecodeGetFrame(MppCtx ctx, MppFrame* frame) {
  Context* context = AsContext(ctx);
  if (context == nullptr || frame == nullptr) return MPP_NULL_ARGUMENT;
  if (!context->decoder) return MPP_FAILURE;
  return context->decoder->GetFrame(frame);
}

MppApi api_table = {Control, Reset, EncodePutFrame, EncodeGetPacket, DecodePutPacket, DecodeGetFrame};

}  // namespace
}  // namespace board_mpp

using namespace board_mpp;

extern "C" {

MPP_RET mpp_create(MppCtx* ctx, MppApi** mpi) {
  if (ctx == nullptr || mpi == nullptr) return MPP_NULL_ARGUMENT;
  *ctx = new (std::nothrow) Context;
  *mpi = *ctx == nullptr ? nullptr : &api_table;
  return *ctx == nullptr ? MPP_NO_MEMORY : MPP_SUCCESS;
}

MPP_RET mpp_init(MppCtx ctx, MppCtxType type, MppCodingType coding) {
  Context* context = AsContext(ctx);
  if (context == nullptr) return MPP_NULL_ARGUMENT;
  if (context->initialised || coding != MPP_CODING_AVC) return MPP_FAILURE;
  if (type == MPP_CTX_ENCODER) {
    context->encoder.reset(new (std::nothrow) H264Encoder);
    if (!context->encoder) return MPP_NO_MEMORY;
  } else if (type == MPP_CTX_DECODER) {
    context->decoder.reset(new (std::nothrow) H264Decoder);
    if (!context->decoder) return MPP_NO_MEMORY;
    MPP_RET opened = context->decoder->Open();
    if (opened != MPP_SUCCESS) {
      context->decoder.reset();
      return opened;
    }
  } else {
    return MPP_FAILURE;
  }
  context->type = type;
  context->initialised = true;
  return MPP_SUCCESS;
}

MPP_RET mpp_destroy(MppCtx ctx) {
  if (ctx == nullptr) return MPP_NULL_ARGUMENT;
  delete AsContext(ctx);
  return MPP_SUCCESS;
}

}  // extern "C"
