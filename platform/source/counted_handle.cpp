// The use count shared by the copies of a counted handle.
#include "platform/counted_handle.h"

std::size_t* NewUseCount() { return NewObject<std::size_t>(1u); }

void AddUse(std::size_t* count) { ++*count; }

bool DropUse(std::size_t* count) {
  if (--*count != 0) return false;
  DeleteObject(count);
  return true;
}
