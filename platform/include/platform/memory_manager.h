// The process-wide memory manager in front of every allocation, and small time and string helpers.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/result.h"

// One instance per process; every allocation of the library and the programs is preceded by a call
// to Instance(), so that a program can route allocation through its own manager.
class BaseMemoryManager {
 public:
  virtual ~BaseMemoryManager();

  // The process-wide instance, set up on first use under a thread-safe guard and never destroyed.
  static BaseMemoryManager* Instance();

  // Non-throwing allocation of size bytes; null on failure.
  void* Allocate(std::size_t size);
  // Releases a block from Allocate; null is ignored.
  void Free(void* block);

 protected:
  BaseMemoryManager() = default;
};

// Creates an object with non-throwing new after touching the manager, as the house rule asks.
template <typename T, typename... Args>
T* NewObject(Args&&... args) {
  BaseMemoryManager::Instance();
  return new (std::nothrow) T(std::forward<Args>(args)...);
}

// Deletes an object made by NewObject (null is ignored).
template <typename T>
void DeleteObject(T* object) {
  BaseMemoryManager::Instance();
  delete object;
}

// Deleter that lets standard owners release through the manager.
template <typename T>
struct ManagedDeleter {
  void operator()(T* object) const { DeleteObject(object); }
};
template <typename T>
using ManagedPtr = std::unique_ptr<T, ManagedDeleter<T>>;

// Reads the monotonic clock into seconds and microseconds (nanoseconds / 1000, truncated); 0.
Result GetMonotonicTime(timeval* out);
// Seconds x 1000000 + microseconds.
std::uint64_t TimevalToMicroseconds(const timeval* t);
// A copy of a NUL-terminated text (empty for null).
std::string StringFromChars(const char* text);
// Converts at most max bytes of a wide text with wcstombs; empty on allocation or conversion failure.
std::string StringFromWideChars(const wchar_t* wide_text, std::size_t max);
// The time-out that LinuxMutex::Lock takes as waiting without limit.
std::uint32_t InfiniteTimeout();
