// H.264 encoder and decoder of the video device over the board's media library, with the NV21
// conversion its users need before encoding.
#pragma once

#include <board/mpp.h>

#include <cstddef>
#include <cstdint>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

class MppCodec {
 public:
  // Pixel layouts the class takes and hands out (the media library's numbering).
  static constexpr int kFormatNv12 = MPP_FMT_NV12;
  static constexpr int kFormatI420 = MPP_FMT_I420;
  static constexpr int kFormatNv21 = MPP_FMT_NV21;

  MppCodec();
  // Releases the two areas the object owns; the media context is torn down by the Deinit calls.
  ~MppCodec();
  MppCodec(const MppCodec&) = delete;
  MppCodec& operator=(const MppCodec&) = delete;

  // Creates and configures an H.264 encoder for planar 4:2:0 images of this size. A bit rate of 0
  // becomes frame_rate x width x height / 8, a GOP of 0 becomes 2 x frame_rate.
  int InitEncode(unsigned width, unsigned height, unsigned frame_rate, unsigned group_of_picture,
                 unsigned bit_rate);
  // Gives the encoder its input, rate-control and H.264 configuration; records size and strides.
  int SetupConfig(void* ctx, MppApi_t* mpi, unsigned width, unsigned height, unsigned frame_rate,
                  unsigned group_of_picture, unsigned bit_rate);
  int DeinitEncode();
  // Encodes one image of exactly frame_size() bytes (ignored at end of stream) into one access
  // unit. out_length: in the capacity of out, out the packet length.
  int Encode(const unsigned char* image, unsigned long length, unsigned char* out, unsigned long* out_length,
             bool end_of_stream);
  // Copies the SPS/PPS; length: in the capacity, out the header length (also when it does not fit).
  int GetPpsSps(unsigned char* out, unsigned long* length);
  // Makes the next encoded picture an IDR picture.
  int GenerateIdrFrame();

  // Converts an NV21 image (src_format 5) to I420 (dst_format 4) or NV12 (dst_format 0). Nothing is
  // written unless both lengths hold the whole images.
  static int FormatConvert(const unsigned char* src, unsigned long src_length, int src_format, int width,
                           int height, unsigned char* dst, unsigned long dst_length, int dst_format);

  // Creates an H.264 decoder taking packets of at most packet_size bytes.
  int InitDecode(unsigned width, unsigned height, unsigned long packet_size);
  int DeinitDecode();
  // Decodes one packet and copies the pictures it yields, packed, into out. out_length: in the
  // capacity of out, out the bytes written.
  int Decode(const unsigned char* packet, unsigned long length, unsigned char* out, unsigned long* out_length,
             bool end_of_stream);
  // Copies one decoded picture packed (rows without stride padding) into out; *size is the
  // packed size, also when it does not fit.
  int CopyDecodedFrame(void* frame, unsigned char* out, unsigned long capacity, unsigned long* size);
  // Hands the stream's SPS/PPS to the decoder.
  int SetPpsSps(const unsigned char* data, unsigned long length);

  // What the encoder was configured with, for its users' checks.
  size_t frame_size() const { return frame_size_; }
  const MppEncRcConfig& rate_control_config() const { return rc_cfg_; }
  const MppEncCodecConfig& codec_config() const { return codec_cfg_; }
  // Frames the decoder has handed out so far.
  uint64_t decoded_frame_count() const { return frame_count_; }

 private:
  // Outcome of one request for a decoded frame.
  enum class FrameFetch { kFrame, kNone, kFailed };

  void ReleaseEncoderContext(bool reset);
  FrameFetch FetchFrame(MppFrame* frame, int* timeout_retries);
  int HandleInfoChange(MppFrame frame);
  int PutPacketWithRetries();

  MppCtx ctx_;
  MppApi_t* mpi_;
  MppEncPrepConfig prep_cfg_;
  MppEncRcConfig rc_cfg_;
  MppEncCodecConfig codec_cfg_;
  MppCodingType coding_;
  uint32_t width_;
  uint32_t height_;
  uint32_t hor_stride_;
  uint32_t ver_stride_;
  MppFrameFormat format_;
  MppBuffer input_buffer_;
  size_t frame_size_;
  unsigned char* work_buffer_;

  unsigned char* packet_buffer_;
  unsigned long packet_size_;
  MppPacket packet_;
  MppBufferGroup frame_group_;
  uint64_t frame_count_;
};

LIBRARY_EXPORTS_END
