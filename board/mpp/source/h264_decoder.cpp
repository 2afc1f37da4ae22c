// Media library stand-in: H.264 decoding with libavcodec into NV12 frames.
#include "h264_decoder.h"

#include <climits>
#include <cstring>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace board_mpp {
namespace {

constexpr uint32_t kStrideAlignment = 16;

uint32_t AlignUp(uint32_t value) {
  return (value + kStrideAlignment - 1) / kStrideAlignment * kStrideAlignment;
}

size_t Nv12Bytes(uint32_t hor_stride, uint32_t ver_stride) {
  return static_cast<size_t>(hor_stride) * ver_stride * 3 / 2;
}

bool IsPlanar420(int format) {
  return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P;
}

}  // namespace

H264Decoder::~H264Decoder() {
  avcodec_free_context(&codec_);
  av_packet_free(&packet_);
  av_frame_free(&decoded_);
}

MPP_RET H264Decoder::Open() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return MPP_FAILURE;
  codec_ = avcodec_alloc_context3(codec);
  packet_ = av_packet_alloc();
  decoded_ = av_frame_alloc();
  if (codec_ == nullptr || packet_ == nullptr || decoded_ == nullptr) return MPP_NO_MEMORY;
  codec_->thread_count = 1;  // a picture comes out of the put that completed it
  codec_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  return avcodec_open2(codec_, codec, nullptr) == 0 ? MPP_SUCCESS : MPP_FAILURE;
}

MPP_RET H264Decoder::Control(int command, void* parameter) {
  switch (command) {
    case MPP_CTRL_DEC_SET_BUFFER_GROUP:
      if (parameter == nullptr) return MPP_NULL_ARGUMENT;
      group_ = static_cast<BufferGroup*>(parameter)->state;
      return MPP_SUCCESS;
    case MPP_CTRL_DEC_INFO_CHANGE_READY:
      awaiting_ready_ = false;
      return MPP_SUCCESS;
    case MPP_CTRL_DEC_SET_SPLIT_MODE:
      return MPP_SUCCESS;  // input is always taken as whole access units
    default:
      return MPP_FAILURE;
  }
}

void H264Decoder::Reset() {
  if (codec_ != nullptr) avcodec_flush_buffers(codec_);
  pictures_.clear();
  awaiting_ready_ = false;
}

void H264Decoder::Keep(const AVFrame& decoded) {
  Picture picture;
  picture.width = static_cast<uint32_t>(decoded.width);
  picture.height = static_cast<uint32_t>(decoded.height);
  picture.errinfo = (decoded.decode_error_flags != 0 || (decoded.flags & AV_FRAME_FLAG_CORRUPT)) ? 1 : 0;
  if (!IsPlanar420(decoded.format)) {
    picture.errinfo = 1;  // not a layout this decoder hands out
    pictures_.push_back(std::move(picture));
    return;
  }
  uint32_t hor_stride = AlignUp(picture.width);
  uint32_t ver_stride = AlignUp(picture.height);
  picture.nv12.assign(Nv12Bytes(hor_stride, ver_stride), 0);
  for (uint32_t row = 0; row < picture.height; ++row) {
    std::memcpy(&picture.nv12[static_cast<size_t>(row) * hor_stride],
                decoded.data[0] + static_cast<ptrdiff_t>(row) * decoded.linesize[0], picture.width);
  }
  uint8_t* chroma = picture.nv12.data() + static_cast<size_t>(hor_stride) * ver_stride;
  for (uint32_t row = 0; row < picture.height / 2; ++row) {
    const uint8_t* u = decoded.data[1] + static_cast<ptrdiff_t>(row) * decoded.linesize[1];
    const uint8_t* v = decoded.data[2] + static_cast<ptrdiff_t>(row) * decoded.linesize[2];
    uint8_t* out = chroma + static_cast<size_t>(row) * hor_stride;
    for (uint32_t column = 0; column < picture.width / 2; ++column) {
      out[2 * column] = u[column];
      out[2 * column + 1] = v[column];
    }
  }
  pictures_.push_back(std::move(picture));
}

MPP_RET H264Decoder::Drain() {
  for (;;) {
    int result = avcodec_receive_frame(codec_, decoded_);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return MPP_SUCCESS;
    if (result < 0) return MPP_FAILURE;
    Keep(*decoded_);
    av_frame_unref(decoded_);
  }
}

MPP_RET H264Decoder::PutPacket(const Packet* packet) {
  if (packet == nullptr) return MPP_NULL_ARGUMENT;
  if (packet->length != 0) {
    if (packet->position == nullptr) return MPP_NULL_ARGUMENT;
    bool inside = packet->data == nullptr ||
                  (packet->position >= packet->data &&
                   packet->length <= packet->capacity - static_cast<size_t>(packet->position - packet->data));
    bool representable = packet->length <= static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE);
    if (!inside || !representable) return MPP_FAILURE;
    input_.assign(packet->position, packet->position + packet->length);
    input_.resize(packet->length + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet_->data = input_.data();
    packet_->size = static_cast<int>(packet->length);
    // Damaged data yields no picture, as on the hardware, rather than a failed put.
    if (avcodec_send_packet(codec_, packet_) == AVERROR(EAGAIN) && Drain() == MPP_SUCCESS) {
      avcodec_send_packet(codec_, packet_);
    }
    av_packet_unref(packet_);
    if (Drain() != MPP_SUCCESS) return MPP_FAILURE;
  }
  if (!packet->eos) return MPP_SUCCESS;

  avcodec_send_packet(codec_, nullptr);
  MPP_RET drained = Drain();
  avcodec_flush_buffers(codec_);  // ready for a new stream after the end
  if (drained != MPP_SUCCESS) return drained;
  if (!pictures_.empty()) {
    pictures_.back().eos = 1;
  } else {
    Picture mark;
    mark.eos = 1;
    pictures_.push_back(std::move(mark));
  }
  return MPP_SUCCESS;
}

MPP_RET H264Decoder::HandOut(Picture& picture, MppFrame* frame) {
  auto* made = new (std::nothrow) Frame;
  if (made == nullptr) return MPP_NO_MEMORY;
  made->width = picture.width;
  made->height = picture.height;
  made->hor_stride = AlignUp(picture.width);
  made->ver_stride = AlignUp(picture.height);
  made->format = MPP_FMT_NV12;
  made->buf_size = Nv12Bytes(made->hor_stride, made->ver_stride);
  made->errinfo = picture.errinfo;
  made->eos = picture.eos;
  if (picture.nv12.empty()) {
    made->discard = 1;  // nothing to show: the end-of-stream mark or an unusable picture
  } else {
    Buffer* buffer = nullptr;
    MPP_RET result = AllocateBuffer(group_, picture.nv12.size(), &buffer);
    if (result != MPP_SUCCESS) {
      delete made;
      return result;
    }
    buffer->bytes.swap(picture.nv12);
    made->buffer = buffer;
  }
  *frame = made;
  return MPP_SUCCESS;
}

MPP_RET H264Decoder::GetFrame(MppFrame* frame) {
  if (frame == nullptr) return MPP_NULL_ARGUMENT;
  *frame = nullptr;
  if (pictures_.empty() || awaiting_ready_) return MPP_SUCCESS;
  Picture& next = pictures_.front();
  bool has_size = next.width != 0 && next.height != 0;
  if (has_size && (next.width != announced_width_ || next.height != announced_height_)) {
    auto* change = new (std::nothrow) Frame;
    if (change == nullptr) return MPP_NO_MEMORY;
    change->info_change = 1;
    change->width = next.width;
    change->height = next.height;
    change->hor_stride = AlignUp(next.width);
    change->ver_stride = AlignUp(next.height);
    change->format = MPP_FMT_NV12;
    change->buf_size = Nv12Bytes(change->hor_stride, change->ver_stride);
    announced_width_ = next.width;
    announced_height_ = next.height;
    awaiting_ready_ = true;
    *frame = change;
    return MPP_SUCCESS;
  }
  MPP_RET result = HandOut(next, frame);
  if (result == MPP_NO_MEMORY && group_ && group_->limit_count != 0) {
    return MPP_SUCCESS;  // every buffer of the group is in use: the picture waits for one
  }
  if (result == MPP_SUCCESS) pictures_.pop_front();
  return result;
}

}  // namespace board_mpp
