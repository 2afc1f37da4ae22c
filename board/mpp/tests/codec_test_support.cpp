// Test helpers for the media library stand-in.
#include "codec_test_support.h"

#include <cmath>
#include <cstring>
#include <limits>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace mpp_test {

std::vector<uint8_t> MakeI420Scene(int width, int height, int frame_index) {
  std::vector<uint8_t> image(static_cast<size_t>(width) * height * 3 / 2);
  const int shift = frame_index * 3;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      double wave = 60.0 * std::sin((x + shift) * 0.05) * std::cos(y * 0.04);
      int checker = (((x + shift) / 24 + y / 24) % 2) * 40;
      image[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(100 + wave + checker);
    }
  }
  uint8_t* u = image.data() + static_cast<size_t>(width) * height;
  uint8_t* v = u + static_cast<size_t>(width / 2) * (height / 2);
  for (int y = 0; y < height / 2; ++y) {
    for (int x = 0; x < width / 2; ++x) {
      u[y * (width / 2) + x] = static_cast<uint8_t>(128 + ((x + shift) % 64) - 32);
      v[y * (width / 2) + x] = static_cast<uint8_t>(128 + (y % 48) - 24);
    }
  }
  return image;
}

std::vector<uint8_t> ToLayout(const std::vector<uint8_t>& i420, const ImageGeometry& g) {
  const size_t luma = static_cast<size_t>(g.hor_stride) * g.ver_stride;
  std::vector<uint8_t> out(luma * 3 / 2, 0);
  const uint8_t* u = i420.data() + static_cast<size_t>(g.width) * g.height;
  const uint8_t* v = u + static_cast<size_t>(g.width / 2) * (g.height / 2);
  for (int y = 0; y < g.height; ++y) {
    std::memcpy(&out[static_cast<size_t>(y) * g.hor_stride], &i420[static_cast<size_t>(y) * g.width], g.width);
  }
  for (int y = 0; y < g.height / 2; ++y) {
    for (int x = 0; x < g.width / 2; ++x) {
      uint8_t cu = u[y * (g.width / 2) + x];
      uint8_t cv = v[y * (g.width / 2) + x];
      if (g.format == MPP_FMT_NV12) {
        out[luma + static_cast<size_t>(y) * g.hor_stride + 2 * x] = cu;
        out[luma + static_cast<size_t>(y) * g.hor_stride + 2 * x + 1] = cv;
      } else {
        out[luma + static_cast<size_t>(y) * (g.hor_stride / 2) + x] = cu;
        out[luma + luma / 4 + static_cast<size_t>(y) * (g.hor_stride / 2) + x] = cv;
      }
    }
  }
  return out;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0.0;
  double squared = 0.0;
  for (size_t i = 0; i < a.size(); ++i) {
    double d = static_cast<double>(a[i]) - b[i];
    squared += d * d;
  }
  if (squared == 0.0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 * a.size() / squared);
}

std::vector<uint8_t> NalTypes(const std::vector<uint8_t>& s) {
  std::vector<uint8_t> types;
  for (size_t i = 0; i + 3 < s.size(); ++i) {
    if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
      bool long_code = i > 0 && s[i - 1] == 0;
      types.push_back(long_code ? (s[i + 3] & kNalTypeMask) : 0xff);
      i += 2;
    }
  }
  return types;
}

Encoder::Encoder(const EncoderSettings& settings) : settings_(settings) {
  const ImageGeometry& g = settings.geometry;
  if (mpp_create(&ctx_, &mpi_) != MPP_SUCCESS) return;
  if (mpp_init(ctx_, MPP_CTX_ENCODER, MPP_CODING_AVC) != MPP_SUCCESS) return;
  MppEncPrepConfig prep{};
  prep.change = 21;
  prep.width = g.width;
  prep.height = g.height;
  prep.hor_stride = g.hor_stride;
  prep.ver_stride = g.ver_stride;
  prep.format = g.format;
  MppEncRcConfig rc{};
  rc.change = 0xFFFFFFFFu;
  rc.quality = 4;
  rc.bps_target = settings.bps;
  rc.bps_max = settings.bps * 17 / 16;
  rc.bps_min = settings.bps * 15 / 16;
  rc.fps_in_num = rc.fps_out_num = settings.fps;
  rc.fps_in_denom = rc.fps_out_denom = 1;
  rc.gop = settings.gop;
  MppEncCodecConfig codec{};
  codec.coding = MPP_CODING_AVC;
  codec.h264.change = 0x10016;
  codec.h264.profile = 66;
  codec.h264.level = 30;
  codec.h264.constrained_intra_pred_mode = 1;
  codec.h264.qp_max = 48;
  codec.h264.qp_min = 4;
  codec.h264.qp_max_step = 16;
  int block = -1;
  bool configured = mpi_->control(ctx_, MPP_CTRL_ENC_SET_PREP_CONFIG, &prep) == MPP_SUCCESS &&
                    mpi_->control(ctx_, MPP_CTRL_ENC_SET_RC_CONFIG, &rc) == MPP_SUCCESS &&
                    mpi_->control(ctx_, MPP_CTRL_ENC_SET_CODEC_CONFIG, &codec) == MPP_SUCCESS &&
                    mpi_->control(ctx_, MPP_CTRL_SET_INPUT_TIMEOUT, &block) == MPP_SUCCESS &&
                    mpi_->control(ctx_, MPP_CTRL_SET_OUTPUT_TIMEOUT, &block) == MPP_SUCCESS;
  if (!configured) return;
  size_t frame_size = static_cast<size_t>(g.hor_stride) * g.ver_stride * 3 / 2;
  ok_ = mpp_buffer_get(nullptr, &input_, frame_size, "test") == MPP_SUCCESS;
}

Encoder::~Encoder() {
  if (input_ != nullptr) mpp_buffer_put(input_);
  if (ctx_ != nullptr) {
    mpi_->reset(ctx_);
    mpp_destroy(ctx_);
  }
}

bool Encoder::Encode(const std::vector<uint8_t>& image, std::vector<uint8_t>* packet, bool eos) {
  const ImageGeometry& g = settings_.geometry;
  if (image.size() > mpp_buffer_get_size(input_)) return false;
  std::memcpy(mpp_buffer_get_ptr(input_), image.data(), image.size());
  MppFrame frame = nullptr;
  if (mpp_frame_init(&frame) != MPP_SUCCESS) return false;
  mpp_frame_set_width(frame, g.width);
  mpp_frame_set_height(frame, g.height);
  mpp_frame_set_hor_stride(frame, g.hor_stride);
  mpp_frame_set_ver_stride(frame, g.ver_stride);
  mpp_frame_set_fmt(frame, g.format);
  mpp_frame_set_eos(frame, eos ? 1 : 0);
  mpp_frame_set_buf_size(frame, mpp_buffer_get_size(input_));
  mpp_frame_set_buffer(frame, input_);
  MPP_RET put = mpi_->encode_put_frame(ctx_, frame);
  mpp_frame_deinit(&frame);
  if (put != MPP_SUCCESS) return false;
  MppPacket out = nullptr;
  if (mpi_->encode_get_packet(ctx_, &out) != MPP_SUCCESS || out == nullptr) return false;
  auto* pos = static_cast<const uint8_t*>(mpp_packet_get_pos(out));
  packet->assign(pos, pos + mpp_packet_get_length(out));
  mpp_packet_deinit(&out);
  return true;
}

std::vector<uint8_t> Encoder::Headers() {
  MppPacket headers = nullptr;
  if (mpi_->control(ctx_, MPP_CTRL_ENC_GET_EXTRA_INFO, &headers) != MPP_SUCCESS || headers == nullptr) {
    return {};
  }
  auto* pos = static_cast<const uint8_t*>(mpp_packet_get_pos(headers));
  return std::vector<uint8_t>(pos, pos + mpp_packet_get_length(headers));
}

std::vector<std::vector<uint8_t>> EncodeScene(const EncoderSettings& settings, int count) {
  Encoder encoder(settings);
  std::vector<std::vector<uint8_t>> units;
  if (!encoder.ok()) return units;
  const ImageGeometry& g = settings.geometry;
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> packet;
    if (!encoder.Encode(ToLayout(MakeI420Scene(g.width, g.height, i), g), &packet)) return {};
    if (packet.size() > 4 && (packet[4] & kNalTypeMask) == kNalIdr) {
      std::vector<uint8_t> unit = encoder.Headers();
      unit.insert(unit.end(), packet.begin(), packet.end());
      packet.swap(unit);
    }
    units.push_back(std::move(packet));
  }
  return units;
}

std::vector<std::vector<uint8_t>> DecodeWithLibavcodec(const std::vector<std::vector<uint8_t>>& units) {
  std::vector<std::vector<uint8_t>> pictures;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->thread_count = 1;
  avcodec_open2(context, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto receive = [&]() {
    while (avcodec_receive_frame(context, frame) == 0) {
      std::vector<uint8_t> image;
      for (int plane = 0; plane < 3; ++plane) {
        int w = plane == 0 ? frame->width : frame->width / 2;
        int h = plane == 0 ? frame->height : frame->height / 2;
        for (int y = 0; y < h; ++y) {
          const uint8_t* row = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
          image.insert(image.end(), row, row + w);
        }
      }
      pictures.push_back(std::move(image));
      av_frame_unref(frame);
    }
  };
  for (const auto& unit : units) {
    std::vector<uint8_t> padded(unit);
    padded.resize(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = padded.data();
    packet->size = static_cast<int>(unit.size());
    avcodec_send_packet(context, packet);
    receive();
  }
  avcodec_send_packet(context, nullptr);
  receive();
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  return pictures;
}

}  // namespace mpp_test
