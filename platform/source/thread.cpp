// LinuxThread: detached POSIX threads running an entry function with its argument.
#include "platform/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "platform/memory_manager.h"

namespace {
#ifdef PLATFORM_WATCHDOG_COPY
// What the watchdog's trampoline runs; a heap copy, so the thread object may go away at once.
struct ThreadStartRecord {
  ThreadEntryFunction entry;
  void* argument;
};
#endif

// Starts a detached thread with the given stack size (0: the default).
Result StartDetached(pthread_t* thread_id, std::size_t stack_size, ThreadEntryFunction entry, void* argument) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return RESULT_THREAD_ATTR_INIT;
  Result result = RESULT_OK;
  if (pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) != 0 ||
      (stack_size != 0 && pthread_attr_setstacksize(&attributes, stack_size) != 0)) {
    result = RESULT_THREAD_ATTR_SET;
  } else if (pthread_create(thread_id, &attributes, entry, argument) != 0) {
    result = RESULT_THREAD_CREATE;
  }
  pthread_attr_destroy(&attributes);
  return result;
}
}  // namespace

LinuxThread::LinuxThread() : thread_id_(0), stack_size_(0), entry_(nullptr), argument_(nullptr) {}

LinuxThread::~LinuxThread() = default;

Result LinuxThread::Create(const char*, std::size_t stack_size, ThreadEntryFunction entry, void* argument) {
  stack_size_ = stack_size;
  entry_ = entry;
  argument_ = argument;
  return RESULT_OK;
}

Result LinuxThread::Destroy() { return RESULT_OK; }

#ifdef PLATFORM_WATCHDOG_COPY
void* LinuxThread::ThreadEntry(void* start_record) {
  ThreadStartRecord* record = static_cast<ThreadStartRecord*>(start_record);
  const ThreadEntryFunction entry = record->entry;
  void* argument = record->argument;
  DeleteObject(record);
  return entry(argument);
}

Result LinuxThread::Start() {
  if (entry_ == nullptr) return RESULT_INVALID_ARGUMENT;
  ThreadStartRecord* record = NewObject<ThreadStartRecord>(ThreadStartRecord{entry_, argument_});
  if (record == nullptr) return RESULT_OUT_OF_MEMORY;
  const Result result = StartDetached(&thread_id_, stack_size_, &LinuxThread::ThreadEntry, record);
  if (result != RESULT_OK) DeleteObject(record);
  return result;
}
#else
Result LinuxThread::Start() {
  if (entry_ == nullptr) return RESULT_INVALID_ARGUMENT;
  return StartDetached(&thread_id_, stack_size_, entry_, argument_);
}
#endif

Result LinuxThread::Suspend() { return RESULT_NOT_SUPPORTED; }

Result LinuxThread::Resume() { return RESULT_NOT_SUPPORTED; }

Result LinuxThread::Join() { return RESULT_NOT_SUPPORTED; }

std::int64_t LinuxThread::GetCurrentThreadId() { return static_cast<std::int64_t>(syscall(SYS_gettid)); }
