// The descriptor budget of the servers: the process's descriptor limit, raised where the hard
// limit allows, less a reserve for everything else the process opens, shared between the servers
// that run.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>

#include "pelarin/socket.h"

namespace {

std::atomic<uint32_t> g_servers_running{0};

}  // namespace

extern "C" {

int SocketRaiseDescriptorLimit(void) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return SocketGetErrorCode();
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, kDescriptorLimitWanted);
  if (limit.rlim_cur >= wanted) return kQeltOk;
  limit.rlim_cur = wanted;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 ? kQeltOk : SocketGetErrorCode();
}

uint32_t SocketServerShare(void) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  // Read afresh each time: a limit changed while the servers run is followed.
  const uint64_t total = std::min<uint64_t>(limit.rlim_cur, uint64_t{kMaxClientsPerServer} * 64);
  const uint64_t reserve = std::max<uint64_t>(kDescriptorReserveMin, total / kDescriptorReserveFraction);
  const uint64_t servers = std::max<uint32_t>(1, g_servers_running.load(std::memory_order_relaxed));
  const uint64_t share = total > reserve ? (total - reserve) / servers : 0;
  return static_cast<uint32_t>(std::clamp<uint64_t>(share, 1, kMaxClientsPerServer));
}

uint32_t SocketServersRunning(void) { return g_servers_running.load(std::memory_order_relaxed); }

void SocketNoteServerRunning(int running) {
  if (running != 0) {
    g_servers_running.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  uint32_t now = g_servers_running.load(std::memory_order_relaxed);
  while (now > 0 && !g_servers_running.compare_exchange_weak(now, now - 1, std::memory_order_relaxed)) {
  }
}

}  // extern "C"
