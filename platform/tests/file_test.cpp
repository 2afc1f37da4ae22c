// LinuxFile over POSIX files: creation, access modes, reads and writes, seeking, sizes and wide paths.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

using test_support::ReadWholeFile;
using test_support::TempFolder;
using test_support::WriteWholeFile;

namespace {
// Sets the umask for one test and restores it.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(umask(mask)) {}
  ~ScopedUmask() { umask(previous_); }

 private:
  mode_t previous_;
};

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 0777;
}

std::wstring Widen(const std::string& narrow) { return std::wstring(narrow.begin(), narrow.end()); }
}  // namespace

TEST(FileCreate, ExistingPathFailsAndIsLeftUntouched) {
  TempFolder directory;
  const std::string path = directory.File("exists");
  WriteWholeFile(path, "keep me");
  LinuxFile file;
  EXPECT_EQ(file.Create(path, kFileAccessReadWrite, kFilePermissionRead | kFilePermissionWrite), RESULT_FILE_CREATE);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(ReadWholeFile(path), "keep me");
}

// Permission bits map to all three classes (under a zero umask) and the access mode is enforced.
TEST(FileCreate, PermissionBitsMapToAllThreeClassesAndTheAccessModeHolds) {
  TempFolder directory;
  ScopedUmask zero(0);
  const struct {
    const char* name;
    int access, permission;
    mode_t mode;
    Result read, write;
  } cases[] = {
      {"write-only", kFileAccessWrite, kFilePermissionRead | kFilePermissionWrite, 0666, RESULT_FILE_READ, RESULT_OK},
      {"read-only", kFileAccessRead, kFilePermissionRead | kFilePermissionExecute, 0555, RESULT_OK, RESULT_FILE_WRITE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LinuxFile file;
    ASSERT_EQ(file.Create(directory.File(c.name), c.access, c.permission), RESULT_OK);
    EXPECT_EQ(ModeOf(directory.File(c.name)), c.mode);
    char byte = 0;
    std::size_t count = 0;
    EXPECT_EQ(file.Read(&byte, 1, &count), c.read);
    EXPECT_EQ(file.Write("ab", 2, &count), c.write);
    if (c.write == RESULT_OK) {
      EXPECT_EQ(count, 2u);
    }
    EXPECT_EQ(file.Close(), RESULT_OK);
  }
}

TEST(FileOpen, MissingFileFailsWithOpenCode) {
  TempFolder directory;
  LinuxFile file;
  EXPECT_EQ(file.Open(directory.File("missing"), kFileAccessRead, 0), RESULT_FILE_OPEN);
  EXPECT_EQ(file.Open(static_cast<const char*>(nullptr), kFileAccessRead, 0), RESULT_FILE_OPEN);
}

TEST(FileOpen, UnknownAccessValueOpensReadOnly) {
  TempFolder directory;
  const std::string path = directory.File("data");
  WriteWholeFile(path, "abc");
  LinuxFile file;
  ASSERT_EQ(file.Open(path, 4, 0), RESULT_OK);  // low two bits are 0
  std::size_t count = 0;
  EXPECT_EQ(file.Write("z", 1, &count), RESULT_FILE_WRITE);
  char buffer[8] = {};
  EXPECT_EQ(file.Read(buffer, sizeof(buffer), &count), RESULT_OK);
  EXPECT_EQ(std::string(buffer, count), "abc");
  file.Close();
}

TEST(FileReadWrite, ReadReportsZeroAtEndOfFile) {
  TempFolder directory;
  const std::string path = directory.File("data");
  WriteWholeFile(path, "xy");
  LinuxFile file;
  ASSERT_EQ(file.Open(path, kFileAccessRead, 0), RESULT_OK);
  char buffer[4];
  std::size_t count = 99;
  EXPECT_EQ(file.Read(buffer, sizeof(buffer), &count), RESULT_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(file.Read(buffer, sizeof(buffer), &count), RESULT_OK);
  EXPECT_EQ(count, 0u);
  file.Close();
}

TEST(FileSeek, OriginsAndUnknownOriginFromStart) {
  TempFolder directory;
  const std::string path = directory.File("data");
  WriteWholeFile(path, "0123456789");
  LinuxFile file;
  ASSERT_EQ(file.Open(path, kFileAccessRead, 0), RESULT_OK);
  char byte = 0;
  std::size_t count = 0;
  ASSERT_EQ(file.Seek(kFileSeekEnd, -2), RESULT_OK);
  file.Read(&byte, 1, &count);
  EXPECT_EQ(byte, '8');
  ASSERT_EQ(file.Seek(kFileSeekCurrent, -3), RESULT_OK);
  file.Read(&byte, 1, &count);
  EXPECT_EQ(byte, '6');
  ASSERT_EQ(file.Seek(5, 3), RESULT_OK);  // origin 5 counts from the start
  file.Read(&byte, 1, &count);
  EXPECT_EQ(byte, '3');
  EXPECT_EQ(file.Seek(kFileSeekStart, -1), RESULT_FILE_SEEK);
  file.Close();
}

TEST(FileSize, SizeOfOpenFileAndZeroWhenClosed) {
  TempFolder directory;
  const std::string path = directory.File("data");
  WriteWholeFile(path, std::string(1237, 'q'));
  LinuxFile file;
  EXPECT_EQ(file.GetSize(), 0u);
  ASSERT_EQ(file.Open(path, kFileAccessRead, 0), RESULT_OK);
  EXPECT_EQ(file.GetSize(), 1237u);
  file.Close();
  EXPECT_EQ(file.GetSize(), 0u);
}

TEST(FileTruncate, ByDescriptorAndByPath) {
  TempFolder directory;
  const std::string path = directory.File("data");
  WriteWholeFile(path, "0123456789");
  LinuxFile file;
  ASSERT_EQ(file.Open(path, kFileAccessReadWrite, 0), RESULT_OK);
  EXPECT_EQ(file.Truncate(4), RESULT_OK);
  EXPECT_EQ(file.Sync(), RESULT_OK);
  file.Close();
  EXPECT_EQ(ReadWholeFile(path), "0123");
  EXPECT_EQ(LinuxFile::Truncate(path.c_str(), 1), RESULT_OK);
  EXPECT_EQ(ReadWholeFile(path), "0");
  EXPECT_EQ(LinuxFile::Truncate(directory.File("missing").c_str(), 0), RESULT_FAILED);
  EXPECT_EQ(LinuxFile::Truncate(Widen(path).c_str(), 0), RESULT_OK);
  EXPECT_EQ(ReadWholeFile(path), "");
}

TEST(FileClose, DescriptorIsForgottenAfterAnyCloseAttempt) {
  TempFolder directory;
  LinuxFile file;
  ASSERT_EQ(file.Create(directory.File("c"), kFileAccessWrite, kFilePermissionWrite), RESULT_OK);
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Close(), RESULT_OK);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Close(), RESULT_FILE_CLOSE);
  EXPECT_EQ(file.Sync(), RESULT_FAILED);
}

TEST(FileWidePath, PathLongerThanTheBufferFailsInsteadOfNamingAnotherFileAndAFullOneWorks) {
  TempFolder directory;
  // Build a path whose first 511 bytes name an existing file: cutting it would open that file.
  std::string folder = directory.path();
  while (folder.size() < 400) {
    folder += "/" + std::string(100, 'd');
    mkdir(folder.c_str(), 0700);
  }
  const std::string victim = folder + "/" + std::string(511 - folder.size() - 1, 'v');
  ASSERT_EQ(victim.size(), 511u);
  WriteWholeFile(victim, "other file");
  const std::wstring longer = Widen(victim + "tail");
  LinuxFile file;
  EXPECT_EQ(file.Open(longer.c_str(), kFileAccessRead, 0), RESULT_FILE_OPEN);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Create(longer.c_str(), kFileAccessWrite, kFilePermissionWrite), RESULT_FILE_CREATE);
  EXPECT_EQ(LinuxFile::Truncate(longer.c_str(), 0), RESULT_FAILED);
  EXPECT_EQ(ReadWholeFile(victim), "other file");
  // Exactly 511 bytes still fit with the terminator, to open and to create.
  EXPECT_EQ(file.Open(Widen(victim).c_str(), kFileAccessRead, 0), RESULT_OK);
  file.Close();
  std::string sibling = victim;
  sibling.back() = 's';
  EXPECT_EQ(file.Create(Widen(sibling).c_str(), kFileAccessWrite, kFilePermissionWrite), RESULT_OK);
  file.Close();
  EXPECT_TRUE(std::filesystem::exists(sibling));
}
