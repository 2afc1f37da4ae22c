// Test support: a test program re-run inside a network namespace of its own with a veth pair.
#include "test_support/namespace_runner.h"

#include <net/if.h>
#include <unistd.h>

#include <cstdio>

namespace namespace_runner {
namespace {

constexpr size_t kChunkBytes = 4096;
constexpr size_t kPathBytes = 4096;

}  // namespace

bool Inside(const Layout& layout) { return if_nametoindex(layout.peer_interface) != 0; }

std::string RunCapturing(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return output;
  }
  char chunk[kChunkBytes];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  *status = pclose(pipe);
  return output;
}

Outcome RunSelfInside(const Layout& layout, const std::string& filter, std::string* output, int* status) {
  RunCapturing("unshare -rn true", status);
  if (*status != 0) return Outcome::kUnshareRefused;
  const std::string pair = std::string("ip link add eth0 type veth peer name ") + layout.peer_interface;
  RunCapturing("unshare -rn " + pair, status);
  if (*status != 0) return Outcome::kVethRefused;
  char self[kPathBytes] = {};
  if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
    *status = -1;
    return Outcome::kUnshareRefused;
  }
  const std::string broadcast = std::string("/24 broadcast ") + layout.broadcast_address + " dev ";
  const std::string setup = "ip link set lo up && " + pair + " && ip addr add " + layout.device_address + broadcast +
                            "eth0 && ip addr add " + layout.peer_address + broadcast + layout.peer_interface +
                            " && ip link set eth0 up && ip link set " + layout.peer_interface + " up";
  *output = RunCapturing("unshare -rn sh -c '" + setup + " && exec \"" + self + "\" --gtest_filter=" + filter + "'",
                         status);
  return Outcome::kRan;
}

const char* SkipReason(Outcome outcome) {
  return outcome == Outcome::kUnshareRefused ? "unshare -rn is not permitted here: broadcast discovery not tested"
                                             : "a veth pair cannot be made in a user network namespace here";
}

}  // namespace namespace_runner
