// Parsing of the camera's frame-rate setting text.
#pragma once

namespace calibrater {

// The rate in a "key=value;" setting: the digits after the last '=' up to the first ';'.
// 0 and the rate, or 10 (rate 0) when '=' or ';' is missing or ';' comes first.
int ParseFrameRate(const char* text, int* rate);

}  // namespace calibrater
