// Whether the network service serves: every running proxy thread has finished a pass since the
// last look. A thread blocked inside a pass keeps its count still while the camera's frames flow.
#pragma once

#include <cstdint>

#include "pelarin/proxy.h"

class ServerProgress {
 public:
  // True when each thread that runs its loop now has a pass count other than at the last look
  // (a thread that has just started counts from its first look); remembers the counts.
  bool AdvancedSinceLastLook();

 private:
  std::uint64_t last_passes_[kProxyThreadCount] = {};
  bool seen_running_[kProxyThreadCount] = {};
};
