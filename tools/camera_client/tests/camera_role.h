// A camera role in the test process for the client tests: free ports, start on a chosen address,
// and a control callback answering the camera's six commands with known values.
#pragma once

#include <cstdint>
#include <string>

#include "pelarin/qeltm.h"

namespace camera_client_test {

constexpr char kLoopback[] = "127.0.0.1";
// What the test camera answers.
constexpr char kVersionText[] = "zuq     :1.1.0.20190705\r\nnetwork :2.1.213002\r\nfirmware:test\r\n";
constexpr char kVersionLine[] = "reply version: version=zuq     :1.1.0.20190705 | network :2.1.213002 | firmware:test";
constexpr char kMacText[] = "0a1b2c3d4e5f";
constexpr unsigned kDirection = 2;
constexpr int kRefusedShiftStep = 99;  // the shift step the camera refuses (result 66)
constexpr unsigned kTimeMicros = 250000;

// Starts the camera role bound to `bind_address`, announcing `own_address` to discovery, on a base
// port whose next three ports are free; 0 when no ports could be had.
uint16_t StartCameraRole(const char* bind_address, const char* own_address);
// The control callback of the test camera.
int CameraControl(const char* payload, int length, void* context, tagACKMsgPara* reply);
// A log function that drops the library's lines.
int DropLog(const char* tag, const char* format, ...);

// True when `output` holds `line` as a whole line.
bool HasLine(const std::string& output, const std::string& line);

}  // namespace camera_client_test
