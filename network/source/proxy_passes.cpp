// Passes of the proxy threads' loops: one counter per thread, read by the service's heartbeat.
#include "pelarin/proxy_passes.h"

#include <atomic>

#include "pelarin/proxy.h"

namespace {

std::atomic<uint64_t> g_passes[kProxyThreadCount];

}  // namespace

extern "C" {

void ProxyCountPass(uint32_t thread) {
  if (thread < kProxyThreadCount) g_passes[thread].fetch_add(1, std::memory_order_relaxed);
}

int ProxyThreadPasses(uint32_t thread, uint64_t* passes) {
  if (passes != nullptr) *passes = thread < kProxyThreadCount ? g_passes[thread].load(std::memory_order_relaxed) : 0;
  return ProxyThreadGetState(thread);
}

}  // extern "C"
