// Buffers mapped from the system, each with its mapped length just ahead of its data; free heap pages returned.
#include "sgm_buffer.h"

#include <sys/mman.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

// Under the address sanitizer the buffers come from its allocator instead, which checks every access at their ends.
#if defined(__SANITIZE_ADDRESS__)
#define SGM_BUFFERS_ON_CHECKED_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SGM_BUFFERS_ON_CHECKED_HEAP 1
#endif
#endif

namespace {

// A cache line: the data's alignment, and the room ahead of a mapping's data that holds its length.
constexpr std::size_t kLineBytes = 64;

}  // namespace

#if defined(SGM_BUFFERS_ON_CHECKED_HEAP)

void* sgm_map_buffer(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max() - kLineBytes) throw std::bad_alloc();
  const std::size_t rounded = (bytes + kLineBytes - 1) / kLineBytes * kLineBytes;
  void* buffer = std::aligned_alloc(kLineBytes, rounded == 0 ? kLineBytes : rounded);
  if (buffer == nullptr) throw std::bad_alloc();
  std::memset(buffer, 0, bytes);
  return buffer;
}

void sgm_unmap_buffer(void* buffer) { std::free(buffer); }

#else

void* sgm_map_buffer(std::size_t bytes) {
  if (bytes > std::numeric_limits<std::size_t>::max() - kLineBytes) throw std::bad_alloc();
  const std::size_t length = bytes + kLineBytes;
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  *static_cast<std::size_t*>(mapped) = length;
  return static_cast<unsigned char*>(mapped) + kLineBytes;
}

void sgm_unmap_buffer(void* buffer) {
  if (buffer == nullptr) return;
  void* mapped = static_cast<unsigned char*>(buffer) - kLineBytes;
  munmap(mapped, *static_cast<std::size_t*>(mapped));
}

#endif

// Under the address sanitizer its own allocator serves every allocation; the C library's heap holds nothing to return.
void sgm_release_free_heap() {
#if defined(__GLIBC__) && !defined(SGM_BUFFERS_ON_CHECKED_HEAP)
  malloc_trim(0);
#endif
}
