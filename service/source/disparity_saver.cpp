// Saving command 204's offset: at once when alone, combined on a thread of its own in a burst.
#include "disparity_saver.h"

#include <pthread.h>

#include "qelt_log.h"

namespace {
constexpr const char* kLogTag = "main";
constexpr const char* kThreadName = "ShiftSaver";
}  // namespace

DisparityOffsetSaver::DisparityOffsetSaver(FileConfigurationManager* store, std::chrono::milliseconds spacing)
    : store_(store), spacing_(spacing) {}

DisparityOffsetSaver::~DisparityOffsetSaver() { Flush(); }

void DisparityOffsetSaver::SetRevert(Revert revert) {
  std::lock_guard<std::mutex> lock(mutex_);
  revert_ = std::move(revert);
}

Result DisparityOffsetSaver::SaveNow(const DisparityOffset& offset, DisparityOffset* saved, bool* saved_known) {
  Result result = ReadSavedDisparityOffset(store_, saved);
  *saved_known = result == RESULT_OK;
  if (result != RESULT_OK) return result;
  result = SaveDisparityOffset(store_, offset);
  if (result != RESULT_OK) {
    RestoreDisparityOffset(store_, *saved);
    return result;
  }
  *saved = offset;
  return RESULT_OK;
}

Result DisparityOffsetSaver::Save(const DisparityOffset& offset, bool* queued) {
  if (store_ == nullptr || queued == nullptr) return RESULT_INVALID_ARGUMENT;
  std::unique_lock<std::mutex> lock(mutex_);
  const bool close_on_a_save =
      saving_ || waiting_ || (saved_once_ && std::chrono::steady_clock::now() - last_save_end_ < spacing_);
  *queued = close_on_a_save;
  if (close_on_a_save) {
    waiting_ = true;
    waiting_offset_ = offset;
    if (!thread_.joinable()) {
      stopping_ = false;
      thread_ = std::thread(&DisparityOffsetSaver::Run, this);
    }
    changed_.notify_all();
    return RESULT_OK;
  }
  saving_ = true;
  lock.unlock();
  DisparityOffset saved = {0.0, 0};
  bool saved_known = false;
  const Result result = SaveNow(offset, &saved, &saved_known);
  lock.lock();
  saving_ = false;
  saved_once_ = true;
  last_save_end_ = std::chrono::steady_clock::now();
  changed_.notify_all();
  return result;
}

void DisparityOffsetSaver::Flush() {
  std::thread ending;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !waiting_ && !saving_; });
    stopping_ = true;
    ending = std::move(thread_);
    changed_.notify_all();
  }
  if (ending.joinable()) ending.join();
}

void DisparityOffsetSaver::Run() {
  pthread_setname_np(pthread_self(), kThreadName);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return (waiting_ && !saving_) || stopping_; });
    if (!waiting_) return;  // stopping with nothing left to save
    const DisparityOffset offset = waiting_offset_;
    waiting_ = false;
    saving_ = true;
    lock.unlock();
    DisparityOffset saved = {0.0, 0};
    bool saved_known = false;
    const Result result = SaveNow(offset, &saved, &saved_known);
    lock.lock();
    if (result != RESULT_OK && saved_known && !waiting_ && revert_) {
      const Revert revert = revert_;
      lock.unlock();
      PrintLog(kLogTag, "QeltSetDisparityShift, offset back to shift_offset=%f shift_opt=%d after a failed save\n",
               saved.offset, saved.selector);
      revert(saved);
      lock.lock();
    }
    saving_ = false;
    saved_once_ = true;
    last_save_end_ = std::chrono::steady_clock::now();
    changed_.notify_all();
  }
}
