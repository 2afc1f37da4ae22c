// Status codes returned by the video device (the class library's codes).
#pragma once

#include <cstdint>

constexpr int kResultOk = 0;
constexpr int kResultFailed = static_cast<int32_t>(0x80000000u);
constexpr int kResultOutOfMemory = static_cast<int32_t>(0x80000004u);
