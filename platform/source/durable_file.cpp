// Whole-buffer file I/O and crash-safe replacement and creation of files.
#include "durable_file.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr mode_t kPermissionBits = 07777;
constexpr int kReadWritePermission = kFilePermissionRead | kFilePermissionWrite;
// Links followed before a chain is taken for a loop, as the kernel's own limit.
constexpr int kMostLinksFollowed = 40;
constexpr std::size_t kLinkTargetBytes = 4096;

// The folder that holds path ("." for a bare name).
std::string ParentDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a rename or link inside the folder durable.
Result SyncParentDirectory(const std::string& path) {
  LinuxFile directory;
  const Result opened = directory.Open(ParentDirectory(path), kFileAccessRead, kFilePermissionRead);
  if (opened != RESULT_OK) return opened;
  const Result synced = directory.Sync();
  directory.Close();
  return synced;
}

// The file that path finally names: symbolic links followed (relative targets from the link's own
// folder), so that a replacement lands on the link's target and the link stays. The target itself
// need not exist yet. A loop or an unreadable link leaves the last name reached.
std::string FinalTarget(std::string path) {
  for (int followed = 0; followed < kMostLinksFollowed; ++followed) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    char target[kLinkTargetBytes];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return path;
    const std::string link_target(target, static_cast<std::size_t>(length));
    path = link_target[0] == '/' ? link_target : ParentDirectory(path) + "/" + link_target;
  }
  return path;
}

// Writes and syncs a fresh temporary file; on failure nothing of it is left behind.
Result WriteTemporaryFile(LinuxFile* file, const std::string& temporary, int access, std::string_view data) {
  ::unlink(temporary.c_str());  // a leftover of an interrupted earlier write
  const Result created = file->Create(temporary, access, kReadWritePermission);
  if (created != RESULT_OK) return created;
  Result result = WriteWholeBuffer(file, data);
  if (result == RESULT_OK) result = file->Sync();
  if (result != RESULT_OK) {
    file->Close();
    ::unlink(temporary.c_str());
  }
  return result;
}
}  // namespace

Result WriteWholeBuffer(LinuxFile* file, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    std::size_t written = 0;
    const Result result = file->Write(data.data() + done, data.size() - done, &written);
    if (result != RESULT_OK) return result;
    if (written == 0) return RESULT_FILE_WRITE;
    done += written;
  }
  return RESULT_OK;
}

Result ReadWholeFile(LinuxFile* file, char* buffer, std::size_t size, std::size_t* total) {
  *total = 0;
  while (*total < size) {
    std::size_t count = 0;
    const Result result = file->Read(buffer + *total, size - *total, &count);
    if (result != RESULT_OK) return result;
    if (count == 0) break;
    *total += count;
  }
  return RESULT_OK;
}

std::string TemporaryPathFor(const std::string& path) { return path + std::string(kTemporarySuffix); }

Result ReplaceFileAtomically(LinuxFile* file, const std::string& named_path, std::string_view data) {
  const std::string path = FinalTarget(named_path);
  struct stat previous {};
  const bool keep_mode = ::stat(path.c_str(), &previous) == 0;
  const std::string temporary = TemporaryPathFor(path);
  const Result written = WriteTemporaryFile(file, temporary, kFileAccessWrite, data);
  if (written != RESULT_OK) return written;
  if ((keep_mode && ::chmod(temporary.c_str(), previous.st_mode & kPermissionBits) != 0) ||
      ::rename(temporary.c_str(), path.c_str()) != 0) {
    file->Close();
    ::unlink(temporary.c_str());
    return RESULT_FILE_WRITE;
  }
  return SyncParentDirectory(path);
}

Result CreateFileAtomically(LinuxFile* file, const std::string& path, std::string_view data) {
  const std::string temporary = TemporaryPathFor(path);
  const Result written = WriteTemporaryFile(file, temporary, kFileAccessReadWrite, data);
  if (written != RESULT_OK) return written;
  // link() never replaces an existing file, which keeps a user file that appeared meanwhile.
  const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
  ::unlink(temporary.c_str());
  if (!linked) {
    file->Close();
    return RESULT_FILE_CREATE;
  }
  const Result synced = SyncParentDirectory(path);
  if (synced != RESULT_OK) return synced;
  return file->Seek(kFileSeekStart, 0);
}
