// LinuxFile: the file class over POSIX descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"
#include "wide_path.h"

namespace {
constexpr int kAccessBits = 3;
constexpr mode_t kModeReadAll = S_IRUSR | S_IRGRP | S_IROTH;
constexpr mode_t kModeWriteAll = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t kModeExecuteAll = S_IXUSR | S_IXGRP | S_IXOTH;

// Maps the access argument to open flags; only the low two bits count, anything else reads.
int AccessFlags(int access) {
  switch (access & kAccessBits) {
    case kFileAccessWrite:
      return O_WRONLY;
    case kFileAccessReadWrite:
      return O_RDWR;
    default:
      return O_RDONLY;
  }
}

mode_t PermissionMode(int permission) {
  mode_t mode = 0;
  if (permission & kFilePermissionRead) mode |= kModeReadAll;
  if (permission & kFilePermissionWrite) mode |= kModeWriteAll;
  if (permission & kFilePermissionExecute) mode |= kModeExecuteAll;
  return mode;
}

int SeekWhence(int origin) {
  switch (origin) {
    case kFileSeekCurrent:
      return SEEK_CUR;
    case kFileSeekEnd:
      return SEEK_END;
    default:
      return SEEK_SET;
  }
}
}  // namespace

LinuxFile::LinuxFile() : descriptor_(-1) {}

LinuxFile::~LinuxFile() = default;

Result LinuxFile::OpenWithFlags(const char* path, int flags, mode_t mode, Result failure) {
  if (path == nullptr) return failure;
  do {
    descriptor_ = ::open(path, flags | O_CLOEXEC, mode);
  } while (descriptor_ < 0 && errno == EINTR);
  return descriptor_ < 0 ? failure : RESULT_OK;
}

Result LinuxFile::Create(const char* path, int access, int permission) {
  return OpenWithFlags(path, AccessFlags(access) | O_CREAT | O_EXCL, PermissionMode(permission), RESULT_FILE_CREATE);
}

Result LinuxFile::Open(const char* path, int access, int) {
  return OpenWithFlags(path, AccessFlags(access), 0, RESULT_FILE_OPEN);
}

Result LinuxFile::Create(const std::string& path, int access, int permission) {
  return Create(path.c_str(), access, permission);
}

Result LinuxFile::Open(const std::string& path, int access, int permission) {
  return Open(path.c_str(), access, permission);
}

Result LinuxFile::Create(const wchar_t* path, int access, int permission) {
  char narrow[kWidePathBufferBytes];
  if (!ConvertWidePath(path, narrow)) return RESULT_FILE_CREATE;
  return Create(narrow, access, permission);
}

Result LinuxFile::Open(const wchar_t* path, int access, int permission) {
  char narrow[kWidePathBufferBytes];
  if (!ConvertWidePath(path, narrow)) return RESULT_FILE_OPEN;
  return Open(narrow, access, permission);
}

Result LinuxFile::Close() {
  // The descriptor is gone after close(2) returns, even with an error or EINTR: never retry it.
  const int result = ::close(descriptor_);
  descriptor_ = -1;
  return result == 0 ? RESULT_OK : RESULT_FILE_CLOSE;
}

Result LinuxFile::Read(void* buffer, std::size_t size, std::size_t* bytes_read) {
  ssize_t count;
  do {
    count = ::read(descriptor_, buffer, size);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return RESULT_FILE_READ;
  if (bytes_read != nullptr) *bytes_read = static_cast<std::size_t>(count);
  return RESULT_OK;
}

Result LinuxFile::Write(const void* data, std::size_t length, std::size_t* bytes_written) {
  ssize_t count;
  do {
    count = ::write(descriptor_, data, length);
  } while (count < 0 && errno == EINTR);
  if (count < 0) return RESULT_FILE_WRITE;
  if (bytes_written != nullptr) *bytes_written = static_cast<std::size_t>(count);
  return RESULT_OK;
}

Result LinuxFile::Seek(int origin, std::int64_t offset) {
  return ::lseek(descriptor_, static_cast<off_t>(offset), SeekWhence(origin)) < 0 ? RESULT_FILE_SEEK : RESULT_OK;
}

std::uint64_t LinuxFile::GetSize() {
  struct stat status {};
  if (::fstat(descriptor_, &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

Result LinuxFile::Sync() { return ::fsync(descriptor_) == 0 ? RESULT_OK : RESULT_FAILED; }

Result LinuxFile::Truncate(std::int64_t length) {
  return ::ftruncate(descriptor_, static_cast<off_t>(length)) == 0 ? RESULT_OK : RESULT_FAILED;
}

Result LinuxFile::Truncate(const char* path, std::int64_t length) {
  if (path == nullptr) return RESULT_FAILED;
  return ::truncate(path, static_cast<off_t>(length)) == 0 ? RESULT_OK : RESULT_FAILED;
}

Result LinuxFile::Truncate(const wchar_t* path, std::int64_t length) {
  char narrow[kWidePathBufferBytes];
  if (!ConvertWidePath(path, narrow)) return RESULT_FAILED;
  return Truncate(narrow, length);
}

#ifdef PLATFORM_WATCHDOG_COPY
Result LinuxFile::Remove(const char* path) {
  if (path == nullptr) return RESULT_FAILED;
  return ::unlink(path) == 0 ? RESULT_OK : RESULT_FAILED;
}

Result LinuxFile::Remove(const wchar_t* path) {
  char narrow[kWidePathBufferBytes];
  if (!ConvertWidePath(path, narrow)) return RESULT_FAILED;
  return Remove(narrow);
}
#endif
