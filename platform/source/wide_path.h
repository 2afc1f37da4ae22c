// Conversion of wide-character paths into the fixed path buffer the file class uses.
#pragma once

#include <cstddef>

// Size of the narrow path buffer; a converted path must fit with its terminator.
constexpr std::size_t kWidePathBufferBytes = 512;

// Converts path into buffer; false when it does not convert or would not fit whole.
bool ConvertWidePath(const wchar_t* path, char (&buffer)[kWidePathBufferBytes]);
