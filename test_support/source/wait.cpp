// Waits with a deadline for what another thread or process delivers.
#include "test_support/wait.h"

#include <thread>

namespace test_support {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline,
               std::chrono::milliseconds poll) {
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace test_support
