// Whether the network service serves: the proxy threads' pass counts compared look by look.
#include "server_progress.h"

#include "pelarin/proxy_passes.h"

bool ServerProgress::AdvancedSinceLastLook() {
  bool advanced = true;
  for (std::uint32_t thread = 0; thread < kProxyThreadCount; ++thread) {
    std::uint64_t passes = 0;
    const bool running = ProxyThreadPasses(thread, &passes) == kProxyRunning;
    if (running && seen_running_[thread] && passes == last_passes_[thread]) advanced = false;
    seen_running_[thread] = running;
    last_passes_[thread] = passes;
  }
  return advanced;
}
