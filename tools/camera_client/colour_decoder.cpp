// H.264 decoding of the colour stream with libavcodec, one access unit per received image.
#include "colour_decoder.h"

#include <algorithm>
#include <iterator>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace camera_client {

ColourDecoder::ColourDecoder() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) return;
  context_ = avcodec_alloc_context3(codec);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
    avcodec_free_context(&context_);
    return;
  }
  // One thread and low delay: every access unit comes out as its picture at once, so the
  // picture keeps the frame index it arrived with.
  context_->thread_count = 1;
  context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(context_, codec, nullptr) < 0) avcodec_free_context(&context_);
}

ColourDecoder::~ColourDecoder() {
  sws_freeContext(scaler_);
  av_packet_free(&packet_);
  av_frame_free(&frame_);
  avcodec_free_context(&context_);
}

void ColourDecoder::Decode(const uint8_t* data, uint32_t size, uint32_t frame_index, bool want_picture,
                           const PictureSink& sink) {
  if (context_ == nullptr) {
    ++errors_;
    return;
  }
  if (want_picture) wanted_.insert(frame_index);
  av_packet_unref(packet_);
  if (av_new_packet(packet_, static_cast<int>(size)) < 0) {
    ++errors_;
    return;
  }
  std::copy(data, data + size, packet_->data);
  packet_->pts = frame_index;
  const int rc = avcodec_send_packet(context_, packet_);
  if (rc < 0 && rc != AVERROR(EAGAIN)) ++errors_;
  Drain(sink);
}

void ColourDecoder::Flush(const PictureSink& sink) {
  if (context_ == nullptr) return;
  avcodec_send_packet(context_, nullptr);
  Drain(sink);
}

void ColourDecoder::Drain(const PictureSink& sink) {
  for (;;) {
    const int rc = avcodec_receive_frame(context_, frame_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
    if (rc < 0) {
      ++errors_;
      return;
    }
    if (frame_->decode_error_flags != 0) {
      ++errors_;
    } else {
      ++decoded_;
      Deliver(frame_, sink);
    }
    av_frame_unref(frame_);
  }
}

void ColourDecoder::Deliver(const AVFrame* frame, const PictureSink& sink) {
  const uint32_t index = static_cast<uint32_t>(frame->pts);
  const auto wanted = wanted_.find(index);
  if (wanted == wanted_.end()) return;
  wanted_.erase(wanted_.begin(), std::next(wanted));  // older requests can no longer come out
  scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                 frame->width, frame->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr,
                                 nullptr);
  if (scaler_ == nullptr) {
    ++errors_;
    return;
  }
  cv::Mat bgr(frame->height, frame->width, CV_8UC3);
  uint8_t* planes[] = {bgr.data};
  const int strides[] = {static_cast<int>(bgr.step)};
  sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, planes, strides);
  if (sink) sink(index, bgr);
}

}  // namespace camera_client
