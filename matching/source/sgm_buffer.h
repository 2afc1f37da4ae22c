// The matcher's large buffers, mapped straight from the system: a re-initialisation with other image sizes or
// disparity ranges returns them whole, where the C library's heap would keep the old sizes as holes that new
// sizes do not fit. And the release of such holes that others (the OpenCL runtime's device buffers) leave.
#pragma once

#include <cstddef>
#include <limits>
#include <new>

// `bytes` of zeroed memory, aligned to a cache line; throws std::bad_alloc when the system refuses.
void* sgm_map_buffer(std::size_t bytes);
// Returns a buffer of sgm_map_buffer to the system; null is ignored.
void sgm_unmap_buffer(void* buffer);

// `count` zeroed elements of T.
template <typename T>
T* sgm_map_array(std::size_t count) {
  if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
  return static_cast<T*>(sgm_map_buffer(count * sizeof(T)));
}

// Unmaps an array of sgm_map_array and nulls its pointer; harmless on null.
template <typename T>
void sgm_unmap_array(T*& array) {
  sgm_unmap_buffer(array);
  array = nullptr;
}

// Hands the pages that the C library's heap holds free back to the system. The OpenCL runtime allocates device
// buffers in that heap; those a new set-up replaced with buffers of other sizes would stay resident as holes.
void sgm_release_free_heap();
