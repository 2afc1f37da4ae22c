// Helpers shared by the codec wrapper's encoder, decoder and conversion sources.
#pragma once

#include <cstddef>
#include <new>

#include "device_status.h"
#include "platform/memory_manager.h"

namespace mpp_codec {

// An owned byte area, made with non-throwing new after the memory manager.
inline unsigned char* AllocateBytes(size_t size) {
  BaseMemoryManager::Instance();
  return new (std::nothrow) unsigned char[size];
}

inline void FreeBytes(unsigned char*& bytes) {
  BaseMemoryManager::Instance();
  delete[] bytes;
  bytes = nullptr;
}

// Bytes of a 4:2:0 image whose luma plane has these dimensions: the luma plane and half as much chroma.
constexpr size_t Yuv420Bytes(size_t width, size_t height) { return width * height * 3 / 2; }

}  // namespace mpp_codec
