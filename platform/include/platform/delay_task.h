// Delay tasks: a function with one, two or three pointer arguments, due at a monotonic time.
#pragma once

#include <cstdint>
#include <tuple>

#include "platform/result.h"

class BaseDelayTask {
 public:
  explicit BaseDelayTask(std::uint64_t due_us) : due_us_(due_us) {}
  virtual ~BaseDelayTask();
  // Runs the task function with its arguments; 0.
  virtual Result Execute() = 0;
  // Runs the release function, when there is one, with the same arguments; 0.
  virtual Result Release() = 0;

  // 0 when now is not earlier than the due time, RESULT_FAILED otherwise.
  Result IsDue(std::uint64_t now_us) const { return now_us >= due_us_ ? RESULT_OK : RESULT_FAILED; }
  std::uint64_t due_time() const { return due_us_; }
  void set_due_time(std::uint64_t due_us) { due_us_ = due_us; }

  bool operator>(const BaseDelayTask& other) const { return due_us_ > other.due_us_; }
  bool operator<(const BaseDelayTask& other) const { return due_us_ < other.due_us_; }
  bool operator==(const BaseDelayTask& other) const { return due_us_ == other.due_us_; }
  bool operator>=(const BaseDelayTask& other) const { return due_us_ >= other.due_us_; }
  bool operator<=(const BaseDelayTask& other) const { return due_us_ <= other.due_us_; }

 private:
  std::uint64_t due_us_;
};

// A task whose function and release function take the same pointer arguments.
template <typename... Arguments>
class ParameterDelayTask : public BaseDelayTask {
 public:
  typedef void (*Function)(Arguments...);

  ParameterDelayTask(std::uint64_t due_us, Function task, Function release, Arguments... arguments)
      : BaseDelayTask(due_us), task_(task), release_(release), arguments_(arguments...) {}

  Result Execute() override {
    if (task_ != nullptr) std::apply(task_, arguments_);
    return RESULT_OK;
  }
  Result Release() override {
    if (release_ != nullptr) std::apply(release_, arguments_);
    return RESULT_OK;
  }

 private:
  Function task_;
  Function release_;
  std::tuple<Arguments...> arguments_;
};

typedef ParameterDelayTask<void*> OneParameterDelayTask;
typedef ParameterDelayTask<void*, void*> TwoParameterDelayTask;
typedef ParameterDelayTask<void*, void*, void*> ThreeParameterDelayTask;
