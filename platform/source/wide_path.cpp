// Conversion of wide-character paths; a path that would be cut is refused rather than shortened.
#include "wide_path.h"

#include <cstdlib>
#include <cstring>

bool ConvertWidePath(const wchar_t* path, char (&buffer)[kWidePathBufferBytes]) {
  std::memset(buffer, 0, sizeof(buffer));
  if (path == nullptr) return false;
  const std::size_t needed = std::wcstombs(nullptr, path, 0);
  if (needed == static_cast<std::size_t>(-1) || needed >= kWidePathBufferBytes) return false;
  return std::wcstombs(buffer, path, kWidePathBufferBytes - 1) == needed;
}
