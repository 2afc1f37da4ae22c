// File class: an abstract base declaring the operations and a Linux implementation over POSIX files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/result.h"

// Access modes (only the low two bits count; anything else reads only).
constexpr int kFileAccessRead = 1;
constexpr int kFileAccessWrite = 2;
constexpr int kFileAccessReadWrite = 3;
// Permission bits, each for owner, group and others.
constexpr int kFilePermissionRead = 1;
constexpr int kFilePermissionWrite = 2;
constexpr int kFilePermissionExecute = 4;
// Seek origins; anything else seeks from the start.
constexpr int kFileSeekStart = 0;
constexpr int kFileSeekCurrent = 1;
constexpr int kFileSeekEnd = 2;

class BaseFile {
 public:
  virtual ~BaseFile();
  virtual Result Create(const char* path, int access, int permission);
  virtual Result Open(const char* path, int access, int permission);
  virtual Result Create(const std::string& path, int access, int permission);
  virtual Result Open(const std::string& path, int access, int permission);
  virtual Result Create(const wchar_t* path, int access, int permission);
  virtual Result Open(const wchar_t* path, int access, int permission);
  virtual Result Close();
  virtual Result Read(void* buffer, std::size_t size, std::size_t* bytes_read);
  virtual Result Write(const void* data, std::size_t length, std::size_t* bytes_written);
  virtual Result Seek(int origin, std::int64_t offset);
  // The file's size in bytes; 0 when unknown.
  virtual std::uint64_t GetSize();
  virtual Result Sync();
  virtual Result Truncate(std::int64_t length);
};

class LinuxFile : public BaseFile {
 public:
  LinuxFile();
  // Does not close the descriptor: the owner calls Close first.
  ~LinuxFile() override;

  // Creates the file exclusively (it must not exist) with the permission bits as its mode.
  Result Create(const char* path, int access, int permission) override;
  // Opens an existing file; the permission is not used.
  Result Open(const char* path, int access, int permission) override;
  Result Create(const std::string& path, int access, int permission) override;
  Result Open(const std::string& path, int access, int permission) override;
  // Wide paths are converted with wcstombs; a path that does not convert or fit fails.
  Result Create(const wchar_t* path, int access, int permission) override;
  Result Open(const wchar_t* path, int access, int permission) override;
  // Closes the descriptor; it is forgotten after any attempt, successful or not.
  Result Close() override;
  // One read (repeated only when a signal interrupts it); 0 bytes at end of file.
  Result Read(void* buffer, std::size_t size, std::size_t* bytes_read) override;
  // One write (repeated only when a signal interrupts it); callers compare the count.
  Result Write(const void* data, std::size_t length, std::size_t* bytes_written) override;
  Result Seek(int origin, std::int64_t offset) override;
  std::uint64_t GetSize() override;
  Result Sync() override;
  Result Truncate(std::int64_t length) override;

  static Result Truncate(const char* path, std::int64_t length);
  static Result Truncate(const wchar_t* path, std::int64_t length);
#ifdef PLATFORM_WATCHDOG_COPY
  // Removes a file (unlink, never through the shell).
  static Result Remove(const char* path);
  static Result Remove(const wchar_t* path);
#endif

  bool IsOpen() const { return descriptor_ >= 0; }

 private:
  Result OpenWithFlags(const char* path, int flags, mode_t mode, Result failure);

  int descriptor_;
};
