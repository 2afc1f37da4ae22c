// Media library stand-in: H.264 encoding with libx264, one access unit per frame.
#include "h264_encoder.h"

#include <algorithm>

namespace board_mpp {
namespace {

constexpr int kProfileBaseline = 66;
constexpr int kProfileMain = 77;
constexpr int kBitsPerKilobit = 1000;
constexpr size_t kShortStartCode = 3;
constexpr uint8_t kLongStartCode[] = {0, 0, 0, 1};

// Bytes an image of these strides occupies: a luma plane and two quarter-size chroma planes.
size_t ImageBytes(uint32_t hor_stride, uint32_t ver_stride) {
  return static_cast<size_t>(hor_stride) * ver_stride * 3 / 2;
}

// Appends one NAL unit with a 4-byte start code, whatever start code x264 gave it.
void AppendNal(const x264_nal_t& nal, std::vector<uint8_t>* out) {
  const uint8_t* payload = nal.p_payload;
  size_t size = static_cast<size_t>(nal.i_payload);
  size_t skip = nal.b_long_startcode ? sizeof(kLongStartCode) : kShortStartCode;
  out->insert(out->end(), std::begin(kLongStartCode), std::end(kLongStartCode));
  out->insert(out->end(), payload + skip, payload + size);
}

const char* ProfileName(int profile) {
  if (profile == kProfileBaseline) return "baseline";
  if (profile == kProfileMain) return "main";
  return "high";
}

}  // namespace

H264Encoder::~H264Encoder() {
  Reset();
}

MPP_RET H264Encoder::Control(int command, void* parameter) {
  switch (command) {
    case MPP_CTRL_ENC_SET_PREP_CONFIG:
      return SetPrep(static_cast<const MppEncPrepConfig*>(parameter));
    case MPP_CTRL_ENC_SET_RC_CONFIG:
      return SetRateControl(static_cast<const MppEncRcConfig*>(parameter));
    case MPP_CTRL_ENC_SET_CODEC_CONFIG:
      return SetCodec(static_cast<const MppEncCodecConfig*>(parameter));
    case MPP_CTRL_ENC_REQUEST_IDR:
      idr_requested_ = true;
      return MPP_SUCCESS;
    case MPP_CTRL_ENC_GET_EXTRA_INFO:
      return GetExtraInfo(static_cast<MppPacket*>(parameter));
    default:
      return MPP_FAILURE;
  }
}

MPP_RET H264Encoder::SetPrep(const MppEncPrepConfig* config) {
  if (config == nullptr) return MPP_NULL_ARGUMENT;
  bool even_size = config->width > 0 && config->height > 0 && config->width % 2 == 0 &&
                   config->height % 2 == 0;
  bool strides_fit = config->hor_stride >= config->width && config->ver_stride >= config->height &&
                     config->hor_stride % 2 == 0;
  bool known_format = config->format == MPP_FMT_I420 || config->format == MPP_FMT_NV12;
  if (!even_size || !strides_fit || !known_format) return MPP_FAILURE;
  prep_ = *config;
  has_prep_ = true;
  Close();
  return MPP_SUCCESS;
}

MPP_RET H264Encoder::SetRateControl(const MppEncRcConfig* config) {
  if (config == nullptr) return MPP_NULL_ARGUMENT;
  if (config->bps_target == 0 || config->fps_out_num <= 0 || config->fps_out_denom <= 0 ||
      config->gop <= 0) {
    return MPP_FAILURE;
  }
  rate_ = *config;
  has_rate_ = true;
  Close();
  return MPP_SUCCESS;
}

MPP_RET H264Encoder::SetCodec(const MppEncCodecConfig* config) {
  if (config == nullptr) return MPP_NULL_ARGUMENT;
  if (config->coding != MPP_CODING_AVC) return MPP_FAILURE;
  codec_ = *config;
  Close();
  return MPP_SUCCESS;
}

MPP_RET H264Encoder::EnsureOpen() {
  if (encoder_ != nullptr) return MPP_SUCCESS;
  if (!has_prep_ || !has_rate_) return MPP_FAILURE;
  x264_param_t param;
  if (x264_param_default_preset(&param, "veryfast", "zerolatency") < 0) return MPP_FAILURE;
  param.i_log_level = X264_LOG_NONE;
  param.i_threads = 1;  // every frame comes out of the call that put it in
  param.b_sliced_threads = 0;
  param.i_width = prep_.width;
  param.i_height = prep_.height;
  param.i_csp = prep_.format == MPP_FMT_NV12 ? X264_CSP_NV12 : X264_CSP_I420;
  param.i_fps_num = static_cast<uint32_t>(rate_.fps_out_num);
  param.i_fps_den = static_cast<uint32_t>(rate_.fps_out_denom);
  param.b_vfr_input = 0;
  param.i_keyint_max = rate_.gop;
  param.i_keyint_min = rate_.gop;
  param.i_scenecut_threshold = 0;  // IDR pictures only at the interval or on request
  param.i_bframe = 0;
  param.b_repeat_headers = 0;  // SPS/PPS come from the extra information
  param.b_annexb = 1;
  param.b_aud = 0;
  if (codec_.h264.level > 0) param.i_level_idc = codec_.h264.level;
  param.b_constrained_intra = codec_.h264.constrained_intra_pred_mode != 0;
  param.b_cabac = codec_.h264.entropy_coding_mode != 0;
  param.analyse.b_transform_8x8 = codec_.h264.transform8x8_mode != 0;
  param.rc.i_rc_method = X264_RC_ABR;
  param.rc.i_bitrate = std::max<int>(1, static_cast<int>(rate_.bps_target / kBitsPerKilobit));
  uint32_t peak = std::max(rate_.bps_max, rate_.bps_target);
  param.rc.i_vbv_max_bitrate = std::max<int>(1, static_cast<int>(peak / kBitsPerKilobit));
  param.rc.i_vbv_buffer_size = param.rc.i_vbv_max_bitrate;  // one second of the peak rate
  if (codec_.h264.qp_min > 0) param.rc.i_qp_min = codec_.h264.qp_min;
  if (codec_.h264.qp_max > 0) param.rc.i_qp_max = codec_.h264.qp_max;
  if (codec_.h264.qp_max_step > 0) param.rc.i_qp_step = codec_.h264.qp_max_step;
  if (x264_param_apply_profile(&param, ProfileName(codec_.h264.profile)) < 0) return MPP_FAILURE;
  encoder_ = x264_encoder_open(&param);
  if (encoder_ == nullptr) return MPP_FAILURE;
  next_pts_ = 0;
  return MPP_SUCCESS;
}

void H264Encoder::Close() {
  if (encoder_ != nullptr) x264_encoder_close(encoder_);
  encoder_ = nullptr;
  delete headers_;
  headers_ = nullptr;
}

void H264Encoder::Reset() {
  for (Packet* packet : waiting_) delete packet;
  waiting_.clear();
  idr_requested_ = false;
  Close();
}

MPP_RET H264Encoder::GetExtraInfo(MppPacket* packet) {
  if (packet == nullptr) return MPP_NULL_ARGUMENT;
  *packet = nullptr;
  if (EnsureOpen() != MPP_SUCCESS) return MPP_FAILURE;
  if (headers_ == nullptr) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder_, &nals, &count) < 0) return MPP_FAILURE;
    std::vector<uint8_t> bytes;
    for (int i = 0; i < count; ++i) {
      if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS) AppendNal(nals[i], &bytes);
    }
    headers_ = MakeOwnedPacket(std::move(bytes));
    if (headers_ == nullptr) return MPP_NO_MEMORY;
  }
  *packet = headers_;
  return MPP_SUCCESS;
}

MPP_RET H264Encoder::Emit(const x264_nal_t* nals, int count, uint32_t eos) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < count; ++i) AppendNal(nals[i], &bytes);
  Packet* packet = MakeOwnedPacket(std::move(bytes));
  if (packet == nullptr) return MPP_NO_MEMORY;
  packet->eos = eos;
  waiting_.push_back(packet);
  return MPP_SUCCESS;
}

MPP_RET H264Encoder::Flush(uint32_t eos) {
  while (x264_encoder_delayed_frames(encoder_) > 0) {
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    if (x264_encoder_encode(encoder_, &nals, &count, nullptr, &out) < 0) return MPP_FAILURE;
    if (count > 0 && Emit(nals, count, 0) != MPP_SUCCESS) return MPP_NO_MEMORY;
  }
  if (!eos) return MPP_SUCCESS;
  if (!waiting_.empty()) {
    waiting_.back()->eos = 1;
    return MPP_SUCCESS;
  }
  return Emit(nullptr, 0, 1);
}

MPP_RET H264Encoder::PutFrame(const Frame* frame) {
  if (frame == nullptr) return MPP_NULL_ARGUMENT;
  if (EnsureOpen() != MPP_SUCCESS) return MPP_FAILURE;
  if (frame->buffer == nullptr) return frame->eos ? Flush(1) : MPP_FAILURE;

  uint32_t hor_stride = frame->hor_stride != 0 ? frame->hor_stride : prep_.hor_stride;
  uint32_t ver_stride = frame->ver_stride != 0 ? frame->ver_stride : prep_.ver_stride;
  bool same_size = frame->width == static_cast<uint32_t>(prep_.width) &&
                   frame->height == static_cast<uint32_t>(prep_.height);
  bool fits = hor_stride >= frame->width && ver_stride >= frame->height && hor_stride % 2 == 0 &&
              ImageBytes(hor_stride, ver_stride) <= frame->buffer->bytes.size();
  if (!same_size || !fits || frame->format != prep_.format) return MPP_FAILURE;

  uint8_t* base = frame->buffer->bytes.data();
  size_t luma_bytes = static_cast<size_t>(hor_stride) * ver_stride;
  x264_picture_t picture;
  x264_picture_init(&picture);
  picture.img.plane[0] = base;
  picture.img.i_stride[0] = static_cast<int>(hor_stride);
  picture.img.plane[1] = base + luma_bytes;
  if (prep_.format == MPP_FMT_NV12) {
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    picture.img.i_stride[1] = static_cast<int>(hor_stride);
  } else {
    picture.img.i_csp = X264_CSP_I420;
    picture.img.i_plane = 3;
    picture.img.i_stride[1] = static_cast<int>(hor_stride / 2);
    picture.img.i_stride[2] = static_cast<int>(hor_stride / 2);
    picture.img.plane[2] = base + luma_bytes + luma_bytes / 4;
  }
  picture.i_pts = next_pts_++;
  picture.i_type = idr_requested_ ? X264_TYPE_IDR : X264_TYPE_AUTO;
  idr_requested_ = false;

  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t out;
  if (x264_encoder_encode(encoder_, &nals, &count, &picture, &out) < 0) return MPP_FAILURE;
  if (count > 0 && Emit(nals, count, 0) != MPP_SUCCESS) return MPP_NO_MEMORY;
  return frame->eos ? Flush(1) : MPP_SUCCESS;
}

MPP_RET H264Encoder::GetPacket(MppPacket* packet) {
  if (packet == nullptr) return MPP_NULL_ARGUMENT;
  *packet = nullptr;
  if (waiting_.empty()) return MPP_SUCCESS;
  *packet = waiting_.front();
  waiting_.pop_front();
  return MPP_SUCCESS;
}

}  // namespace board_mpp
