// Log lines of the camera access and capture modules: standard output, "%s %s %d" heads.
#pragma once

#include <cstdio>

// Prints one line and flushes it, so lines of the HAL's threads and the caller keep their order.
#define CAPTURE_LOG(...)          \
  do {                            \
    std::printf(__VA_ARGS__);     \
    std::fflush(stdout);          \
  } while (0)
