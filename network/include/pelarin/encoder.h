// Colour stream encoder: planar YUV 4:2:0 images in, one H.264 access unit out, over the media library.
#pragma once

#include <cstdint>

#include "pelarin/result_codes.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Encoder settings of the colour stream.
constexpr uint32_t kStipColorWidth = 640;
constexpr uint32_t kStipColorHeight = 480;
constexpr uint32_t kStipColorFps = 20;
constexpr uint32_t kStipColorGop = 20;
constexpr int kStipEncoderCoding = 2;  // passed by the image stream; not used by the encoder
// Bytes of the output area one encoded colour image (with SPS/PPS in front) is written into.
constexpr uint32_t kStipCodecBufferBytes = 1228800;

// One encoder context; its fields live with the media library calls.
struct StipEncoder;

// Creates and configures an encoder: 0 with *out set, 32 no memory, 25 any media library failure.
// A bit rate of 0 selects (width x height / 8) x fps; a GOP of 0 selects 2 x fps.
int STIPInitEncode(int coding, uint32_t width, uint32_t height, uint32_t fps, uint32_t gop, uint32_t bit_rate,
                   StipEncoder** out);
int STIPMPPSetupConfig(StipEncoder* encoder, uint32_t width, uint32_t height, uint32_t fps, uint32_t gop,
                       uint32_t bit_rate);
// Null or empty handle: 0. Otherwise releases everything and clears *encoder.
int STIPDeinitEncode(StipEncoder** encoder);
// In: *length is the capacity of out. Out: the SPS/PPS length (0 when there is none). 25 when the
// capacity is too small (*length then tells the size needed) or the query fails.
int STIPMPPGetPpsSps(StipEncoder* encoder, void* out, unsigned long* length);
// Encodes one image of exactly the encoder's frame size. In: *length is the capacity of out.
// Out: the access unit's length. 25 on any failure, on a wrong image size, on an answer without
// a packet and on a packet larger than the capacity (never truncated).
int STIPMPPEncode(StipEncoder* encoder, const void* image, unsigned long size, void* out, unsigned long* length,
                  int eos);
// Asks for an IDR picture (with a fresh start for the decoder) at the next encode.
int STIPMPPRequestIdr(StipEncoder* encoder);
// Bytes of one input image (hor_stride x ver_stride x 3 / 2); 0 for a null handle.
uint32_t STIPEncoderFrameSize(const StipEncoder* encoder);
// The configuration values given to the media library, for inspection.
struct StipEncoderSettings {
  uint32_t width, height, hor_stride, ver_stride;
  uint32_t bps_target, bps_max, bps_min;
  uint32_t gop, fps;
  int32_t level;  // 0 when none is set
};
int STIPEncoderGetSettings(const StipEncoder* encoder, StipEncoderSettings* out);

}  // extern "C"

LIBRARY_EXPORTS_END
