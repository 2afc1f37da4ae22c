// Test support: re-runs the calling test program inside a network namespace of its own
// (unshare -rn) with a veth pair, "eth0" (the interface the library broadcasts on) and a peer,
// so that broadcasts never leave the test.
#pragma once

#include <string>

namespace namespace_runner {

// Addresses of the namespace's two interfaces on one /24.
struct Layout {
  const char* peer_interface;  // its presence tells a run inside the namespace
  const char* device_address;  // on eth0
  const char* peer_address;
  const char* broadcast_address;
};

enum class Outcome { kRan, kUnshareRefused, kVethRefused };

// True inside the namespace that RunSelfInside made with `layout`.
bool Inside(const Layout& layout);

// Runs `command` through the shell; its standard output and error together.
std::string RunCapturing(const std::string& command, int* status);

// Runs this test program with --gtest_filter=`filter` inside a new namespace laid out as `layout`;
// its output and exit status come back when the namespace could be made.
Outcome RunSelfInside(const Layout& layout, const std::string& filter, std::string* output, int* status);

// The reason to give GTEST_SKIP for an outcome other than kRan.
const char* SkipReason(Outcome outcome);

}  // namespace namespace_runner
