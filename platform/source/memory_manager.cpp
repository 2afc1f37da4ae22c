// The process-wide memory manager and the small time and string helpers.
#include "platform/memory_manager.h"

#include <time.h>

#include <cstdlib>
#include <vector>

namespace {
constexpr std::uint64_t kMicrosecondsPerSecond = 1000000u;
constexpr long kNanosecondsPerMicrosecond = 1000;
constexpr std::uint32_t kInfiniteTimeout = 0xFFFFFFFFu;

// The manager itself holds nothing; this concrete type only makes it constructible.
class ProcessMemoryManager : public BaseMemoryManager {};
}  // namespace

BaseMemoryManager::~BaseMemoryManager() = default;

BaseMemoryManager* BaseMemoryManager::Instance() {
  // A function-local static is set up exactly once, even when threads race to the first call.
  static ProcessMemoryManager* instance = new ProcessMemoryManager();
  return instance;
}

void* BaseMemoryManager::Allocate(std::size_t size) { return new (std::nothrow) unsigned char[size]; }

void BaseMemoryManager::Free(void* block) { delete[] static_cast<unsigned char*>(block); }

Result GetMonotonicTime(timeval* out) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  out->tv_sec = now.tv_sec;
  out->tv_usec = now.tv_nsec / kNanosecondsPerMicrosecond;
  return RESULT_OK;
}

std::uint64_t TimevalToMicroseconds(const timeval* t) {
  return static_cast<std::uint64_t>(t->tv_sec) * kMicrosecondsPerSecond + static_cast<std::uint64_t>(t->tv_usec);
}

std::string StringFromChars(const char* text) { return text == nullptr ? std::string() : std::string(text); }

std::string StringFromWideChars(const wchar_t* wide_text, std::size_t max) {
  if (wide_text == nullptr) return std::string();
  char* buffer = static_cast<char*>(BaseMemoryManager::Instance()->Allocate(max + 1));
  if (buffer == nullptr) return std::string();
  std::string converted;
  const std::size_t written = std::wcstombs(buffer, wide_text, max);
  if (written != static_cast<std::size_t>(-1)) {
    buffer[written < max ? written : max] = '\0';
    converted = buffer;
  }
  BaseMemoryManager::Instance()->Free(buffer);
  return converted;
}

std::uint32_t InfiniteTimeout() { return kInfiniteTimeout; }
