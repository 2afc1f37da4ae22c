// Log entry point of the board's logging library, as the video device calls it, and the head of
// the device's lines.
#pragma once

extern "C" void _PrintLog(const char* tag, const char* format, ...);

// One line under the file's `kLogTag`, headed "[<source>, <function>, <line>] " with the file's
// `kSourceName`.
#define DEVICE_LOG(format, ...) \
  _PrintLog(kLogTag, "[%s, %s, %d] " format, kSourceName, __func__, __LINE__, ##__VA_ARGS__)
