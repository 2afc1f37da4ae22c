// Whole-buffer reads and writes, and the crash-safe ways of putting a file in place.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/file.h"

// Writes all of data, looping over short writes; RESULT_FILE_WRITE when the file takes no more.
Result WriteWholeBuffer(LinuxFile* file, std::string_view data);
// Reads until size bytes or end of file, looping over short reads; *total is what arrived.
Result ReadWholeFile(LinuxFile* file, char* buffer, std::size_t size, std::size_t* total);
// The temporary file beside path that a replacement is written to first.
std::string TemporaryPathFor(const std::string& path);

// Replaces path with data: a temporary file beside it gets all of data and an fsync, takes the old
// file's mode, is renamed over path, and the folder is synced. At no moment is path empty or partial.
// A path that is a symbolic link is resolved first: the link's target is replaced and the link stays.
// On success file holds the new file open for writing.
Result ReplaceFileAtomically(LinuxFile* file, const std::string& named_path, std::string_view data);

// Creates path holding data unless it exists (RESULT_FILE_CREATE then): the complete, synced
// temporary file is linked into place, so path never appears partly written.
// On success file holds the new file open for reading and writing, at its start.
Result CreateFileAtomically(LinuxFile* file, const std::string& path, std::string_view data);
