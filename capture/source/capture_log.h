// Log lines of the camera access and capture modules: standard output with "%s %s %d" heads, and
// the logging library's lines with "[%s, %s, %d]" heads.
#pragma once

#include <cstdio>

// Prints one line and flushes it, so lines of the HAL's threads and the caller keep their order.
#define CAPTURE_LOG(...)          \
  do {                            \
    std::printf(__VA_ARGS__);     \
    std::fflush(stdout);          \
  } while (0)

// One line headed "<source> <function> <line> ": `source` is the file's source name, `function`
// the name the line reports.
#define CAPTURE_LOG_IN(source, function, format, ...) \
  CAPTURE_LOG("%s %s %d " format, source, function, __LINE__, ##__VA_ARGS__)

// The same head for the file's own `kSource` and the calling function.
#define CAPTURE_LOG_HERE(format, ...) CAPTURE_LOG_IN(kSource, __func__, format, ##__VA_ARGS__)

// A logging-library line under `tag`, headed "[<source>, <function>, <line>] " with the file's
// `kSource`.
#define CAPTURE_PRINT_LOG_IN(tag, function, format, ...) \
  _PrintLog(tag, "[%s, %s, %d] " format, kSource, function, __LINE__, ##__VA_ARGS__)
