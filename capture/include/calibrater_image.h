// Calibration of the stereo sensor module: reading its calibration file into remap index tables,
// the per-frame remap of colour and grey images, and the parameter getters.
#pragma once
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

// Result codes of the calibration functions.
enum CalibraterResult {
  CALIBRATER_OK = 0,
  CALIBRATER_FILE_NOT_FOUND = 2,   // calibration (or parameter) file missing or not readable as YAML
  CALIBRATER_BAD_CAMERA = 3,       // camera number other than 0 or 1, or no table for that camera
  CALIBRATER_TYPE_A_DYNAMIC = 6,   // sensor type a where a dynamic calibration is asked for
  CALIBRATER_OUT_OF_MEMORY = 7,
  CALIBRATER_BAD_DATA = 8,         // unknown sensor type, bad map shape or size, coordinate beyond the frame
  CALIBRATER_NO_FRAME_RATE = 10,   // frame rate not found in its text
};

// Paths are paths of this machine: callers map board paths with board::MapPath first.
extern "C" {

// Reads the whole calibration file with the disparity offset `offset` on the left grey map.
int CalibraterImageInit(const char* path, float offset);
// Frees the six tables and clears their sizes; the parameters stay.
void CalibraterImageUnInit();
// Reads the scalar parameters (all but the depth size).
int ReadCalibraterFileConfig(const char* path);
// Builds the four colour tables. On failure the tables held before stay.
int CalibraterImageYUVInit(const char* path);
// Builds both grey tables with `offset` added to the file's left y values; callable at any time,
// also while frames are remapped. On failure the tables held before stay.
int CalibraterImageGrayInit(const char* path, float offset);

void CalibraterImageGetYUVHeightAndWidth(int* height, int* width);
void CalibraterImageGetDepthHeightAndWidth(int* height, int* width);
int CalibraterImageGetZUQType();
float CalibraterImageGetBaseline();
int CalibraterImageGetFocalLength();
int CalibraterImageGetDisparityShift();
int CalibraterImageGetDisparityRange();
int CalibraterImageGetFrameRate(int* rate);

// The getters under their second names.
int ZUQGetZUQType();
void ZUQGetGetDepthImageHeightAndWidth(int* height, int* width);
void ZUQGetGetYuvImageHeightAndWidth(int* height, int* width);
float ZUQGetBaseline();
int ZUQGetFocalLength();
int ZUQGetDisparityShift();
int ZUQGetDisparityRange();
int ZUQGetFrameRate(int* rate);

// Low-level table helpers over integer maps of map_height x map_width entries.
int CalibraterImageMallocMapMem(int y_entries, int vu_entries);
void CalibraterImagefreeMapMem();
int CalibraterImageCheckAxis(int* left_x, int* left_y, int* right_x, int* right_y);
int CalibraterImageYTable(int* left_x, int* left_y, int* right_x, int* right_y);
int CalibraterImageVUTable(int* left_x, int* left_y, int* right_x, int* right_y);

// One camera's NV21 frame (y: 640 x 480, vu: 240 rows of 320 V,U pairs) into a 460,800-byte I420
// image, through the colour tables (remap true) or only re-arranged. Zeroes y[0], vu[0], vu[1].
int CalibraterYUVImageProcess(unsigned char* y, unsigned char* vu, unsigned char* dst, int camera, bool remap);
// One camera's Y plane into the depth-size grey image through its grey table. Zeroes y[0].
int CalibraterImageProcess(unsigned char* y, unsigned char* dst, int camera);

}  // extern "C"

LIBRARY_EXPORTS_END
