// Status codes returned by the video device: the class library's codes as plain ints.
#pragma once

#include "platform/result.h"

constexpr int kResultOk = static_cast<int>(RESULT_OK);
constexpr int kResultFailed = static_cast<int>(RESULT_FAILED);
constexpr int kResultOutOfMemory = static_cast<int>(RESULT_OUT_OF_MEMORY);
