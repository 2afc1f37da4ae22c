// Waits with a deadline for what another thread or process delivers.
#pragma once

#include <chrono>
#include <functional>

namespace test_support {

// Generous: what another thread does at once on an idle machine may take long under sanitizers.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(30);

// Polls `condition` until it holds (true) or `deadline` has passed (false).
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = kPatience,
               std::chrono::milliseconds poll = std::chrono::milliseconds(10));

}  // namespace test_support
