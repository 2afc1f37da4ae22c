// Passes of the proxy threads' loops, counted so that the service can tell a running thread that
// has stopped making progress (a pass blocked or never ending) from one that serves.
#pragma once

#include <cstdint>
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Counts one finished pass of `thread`'s loop (called by the thread itself).
void ProxyCountPass(uint32_t thread);

// The number of passes `thread` has finished since the library was loaded, in *passes (0 for an
// unknown thread); returns the thread's state word (kProxyRunning while it runs its loop).
int ProxyThreadPasses(uint32_t thread, uint64_t* passes);

}  // extern "C"

LIBRARY_EXPORTS_END
