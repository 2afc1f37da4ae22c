// Rebuilds of the grey remap tables on their own thread, coalesced to the latest offset asked for.
#include "grey_table_rebuilder.h"

#include <pthread.h>

#include <utility>

namespace {
constexpr const char* kThreadName = "GreyTables";
}  // namespace

GreyTableRebuilder::GreyTableRebuilder(Rebuild rebuild) : rebuild_(std::move(rebuild)) {}

GreyTableRebuilder::~GreyTableRebuilder() { Stop(); }

void GreyTableRebuilder::Request(const std::string& path, float offset) {
  std::lock_guard<std::mutex> starting(lifecycle_);
  std::lock_guard<std::mutex> lock(mutex_);
  pending_ = true;
  pending_path_ = path;
  pending_offset_ = offset;
  if (!thread_.joinable()) {
    stopping_ = false;
    thread_ = std::thread(&GreyTableRebuilder::Run, this);
  }
  changed_.notify_all();
}

bool GreyTableRebuilder::WaitUntilIdle(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return !pending_ && !building_; });
}

void GreyTableRebuilder::Stop() {
  std::lock_guard<std::mutex> ending_now(lifecycle_);
  std::thread ending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    pending_ = false;
    ending = std::move(thread_);
    changed_.notify_all();
  }
  if (ending.joinable()) ending.join();
}

bool GreyTableRebuilder::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}

unsigned long GreyTableRebuilder::completed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return completed_;
}

unsigned long GreyTableRebuilder::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

void GreyTableRebuilder::Run() {
  pthread_setname_np(pthread_self(), kThreadName);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return pending_ || stopping_; });
    if (stopping_) return;
    const std::string path = std::move(pending_path_);
    const float offset = pending_offset_;
    pending_ = false;
    building_ = true;
    lock.unlock();
    const int result = rebuild_(path, offset);
    lock.lock();
    building_ = false;
    ++completed_;
    if (result != 0) ++failed_;
    changed_.notify_all();
  }
}
