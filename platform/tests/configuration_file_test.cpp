// Configuration files: seeding the user file, keeping an existing one, loading, atomic saving, handles.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "durable_file.h"
#include "platform/file_configuration_manager.h"
#include "text_store.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

using test_support::ReadWholeFile;
using test_support::TempFolder;
using test_support::WriteWholeFile;

namespace {
const char kDefaultText[] =
    "<cd_configurations name=daemon>\r\n"
    "  <configuration name=default_configuration>\r\n"
    "    <module name=common_config>\r\n"
    "      <record name=port type=integer value=7000></record>\r\n"
    "      <record name=label type=string value=shipped></record>\r\n"
    "    </module>\r\n"
    "  </configuration>\r\n"
    "</cd_configurations>\r\n";

class ConfigurationFiles : public ::testing::Test {
 protected:
  std::string DefaultPath() const { return directory_.File("default.xml"); }
  std::string UserPath() const { return directory_.File("user.xml"); }

  Result OpenAndLoad(FileConfigurationManager& store) {
    const Result opened = store.Open(DefaultPath().c_str(), UserPath().c_str());
    return opened != RESULT_OK ? opened : store.Load();
  }

  std::int32_t Port(FileConfigurationManager& store) {
    std::int32_t port = 0;
    std::uint32_t length = 0;
    EXPECT_EQ(store.GetValue("", "common_config", "port", RECORD_TYPE_INTEGER, &port, &length), RESULT_OK);
    return port;
  }

  std::vector<std::string> DirectoryEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory_.path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder directory_;
};

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

// A file whose reads and writes move at most a few bytes at a time, as pipes and full disks do.
class TrickleFile : public LinuxFile {
 public:
  explicit TrickleFile(std::size_t step) : step_(step) {}
  Result Read(void* buffer, std::size_t size, std::size_t* count) override {
    return LinuxFile::Read(buffer, std::min(size, step_), count);
  }
  Result Write(const void* data, std::size_t length, std::size_t* count) override {
    if (step_ == 0) {
      *count = 0;
      return RESULT_OK;
    }
    return LinuxFile::Write(data, std::min(length, step_), count);
  }

 private:
  std::size_t step_;
};
}  // namespace

TEST_F(ConfigurationFiles, FirstStartSeedsTheUserFileWithTheDefaultText) {
  WriteWholeFile(DefaultPath(), kDefaultText);
  const mode_t previous = umask(022);
  FileConfigurationManager store;
  ASSERT_EQ(OpenAndLoad(store), RESULT_OK);
  umask(previous);
  EXPECT_EQ(Port(store), 7000);
  EXPECT_EQ(ReadWholeFile(UserPath()), kDefaultText);
  EXPECT_EQ(ModeOf(UserPath()), 0644u);
  EXPECT_EQ(DirectoryEntries(), (std::vector<std::string>{"default.xml", "user.xml"}));  // no temporary left
  EXPECT_EQ(store.Close(), RESULT_OK);
}

TEST_F(ConfigurationFiles, SecondStartReadsTheExistingUserFileWithOrWithoutTheDefault) {
  WriteWholeFile(DefaultPath(), kDefaultText);
  std::string user = kDefaultText;
  user.replace(user.find("7000"), 4, "7100");
  WriteWholeFile(UserPath(), user);
  FileConfigurationManager store;
  ASSERT_EQ(OpenAndLoad(store), RESULT_OK);
  EXPECT_EQ(Port(store), 7100);
  EXPECT_EQ(ReadWholeFile(DefaultPath()), kDefaultText);
  // The user file alone is enough.
  std::filesystem::remove(DefaultPath());
  FileConfigurationManager without_default;
  ASSERT_EQ(OpenAndLoad(without_default), RESULT_OK);
  EXPECT_EQ(Port(without_default), 7100);
}

TEST_F(ConfigurationFiles, BothFilesMissingFailsWithOpenCode) {
  FileConfigurationManager store;
  EXPECT_EQ(store.Open(DefaultPath().c_str(), UserPath().c_str()), RESULT_FILE_OPEN);
  EXPECT_EQ(store.Load(), RESULT_NOT_READY);
  EXPECT_FALSE(std::filesystem::exists(UserPath()));
}

TEST_F(ConfigurationFiles, SeedingNeverReplacesAnExistingUserPath) {
  // The user path exists but cannot be opened: a link to nowhere. Seeding must leave it alone.
  WriteWholeFile(DefaultPath(), kDefaultText);
  ASSERT_EQ(symlink("nowhere", UserPath().c_str()), 0);
  FileConfigurationManager store;
  EXPECT_EQ(store.Open(DefaultPath().c_str(), UserPath().c_str()), RESULT_FILE_CREATE);
  EXPECT_TRUE(std::filesystem::is_symlink(UserPath()));
  EXPECT_EQ(std::filesystem::read_symlink(UserPath()), "nowhere");
  EXPECT_FALSE(std::filesystem::exists(TemporaryPathFor(UserPath())));
}

TEST_F(ConfigurationFiles, LeftoverTemporaryFileDoesNotBlockSeeding) {
  WriteWholeFile(DefaultPath(), kDefaultText);
  WriteWholeFile(TemporaryPathFor(UserPath()), "half a file");
  FileConfigurationManager store;
  ASSERT_EQ(OpenAndLoad(store), RESULT_OK);
  EXPECT_EQ(ReadWholeFile(UserPath()), kDefaultText);
  EXPECT_FALSE(std::filesystem::exists(TemporaryPathFor(UserPath())));
}

TEST_F(ConfigurationFiles, EmptyOrMissingArgumentsTooLongPathsAndNoOpenFilesAreRefused) {
  FileConfigurationManager store;
  EXPECT_EQ(store.Open(nullptr, UserPath().c_str()), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.Open(DefaultPath().c_str(), nullptr), RESULT_INVALID_ARGUMENT);
  const std::string too_long(kMaxConfigurationPathLength + 1, 'p');
  EXPECT_EQ(store.Open(DefaultPath().c_str(), too_long.c_str()), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.Sync(), RESULT_NOT_READY);
  EXPECT_EQ(store.Close(), RESULT_NOT_READY);
  // A tree set from text, without files opened, has nowhere to be saved.
  ASSERT_EQ(store.SetText(kDefaultText, std::strlen(kDefaultText)), RESULT_OK);
  ASSERT_EQ(store.ConfigurationManager::Load(), RESULT_OK);
  EXPECT_EQ(store.Save(), RESULT_NOT_READY);
}

// A malformed default is not copied; an empty user file is not ready; an oversized one is refused
// without reading it (a sparse file).
TEST_F(ConfigurationFiles, UnusableFilesAreRefusedWithTheirCodes) {
  const struct {
    const char* what;
    std::string path, text;
    off_t size;
    Result result;
  } cases[] = {
      {"malformed default", DefaultPath(), "<cd_configurations name=broken>", 0, RESULT_BAD_FORMAT},
      {"empty user file", UserPath(), "", 0, RESULT_NOT_READY},
      {"oversized user file", UserPath(), kDefaultText, static_cast<off_t>(kMaxConfigurationTextBytes) + 1,
       RESULT_OUT_OF_MEMORY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(DefaultPath());
    std::filesystem::remove(UserPath());
    WriteWholeFile(c.path, c.text);
    if (c.size > 0) {
      ASSERT_EQ(truncate(c.path.c_str(), c.size), 0);  // sparse
    }
    FileConfigurationManager store;
    EXPECT_EQ(OpenAndLoad(store), c.result);
    EXPECT_EQ(std::filesystem::exists(UserPath()), c.path == UserPath());
  }
}

TEST_F(ConfigurationFiles, SaveWritesTheChangeAndKeepsTheFileMode) {
  WriteWholeFile(UserPath(), kDefaultText);
  ASSERT_EQ(chmod(UserPath().c_str(), 0640), 0);
  FileConfigurationManager store;
  ASSERT_EQ(OpenAndLoad(store), RESULT_OK);
  const std::int32_t port = 7200;
  ASSERT_EQ(store.SetValue("", "common_config", "port", RECORD_TYPE_INTEGER, &port, 4), RESULT_OK);
  ASSERT_EQ(store.Save(), RESULT_OK);
  ASSERT_EQ(store.Sync(), RESULT_OK);
  EXPECT_EQ(ModeOf(UserPath()), 0640u);
  EXPECT_NE(ReadWholeFile(UserPath()).find("value=7200></record>\r\n"), std::string::npos);
  EXPECT_EQ(DirectoryEntries(), (std::vector<std::string>{"user.xml"}));
  ASSERT_EQ(store.Close(), RESULT_OK);

  FileConfigurationManager reopened;
  ASSERT_EQ(OpenAndLoad(reopened), RESULT_OK);
  EXPECT_EQ(Port(reopened), 7200);
}

TEST_F(ConfigurationFiles, UserFileThatIsALinkStaysALinkAndItsTargetIsSaved) {
  std::filesystem::create_directories(directory_.File("real"));  // a relative link behind an absolute one
  WriteWholeFile(directory_.File("real/user.xml"), kDefaultText);
  std::filesystem::create_symlink("real/user.xml", directory_.File("middle.xml"));
  std::filesystem::create_symlink(directory_.File("middle.xml"), UserPath());
  FileConfigurationManager store;
  ASSERT_EQ(OpenAndLoad(store), RESULT_OK);
  const std::int32_t port = 7300;
  ASSERT_EQ(store.SetValue("", "common_config", "port", RECORD_TYPE_INTEGER, &port, 4), RESULT_OK);
  ASSERT_EQ(store.Save(), RESULT_OK);
  EXPECT_TRUE(std::filesystem::is_symlink(UserPath()) && std::filesystem::is_symlink(directory_.File("middle.xml")));
  EXPECT_NE(ReadWholeFile(directory_.File("real/user.xml")).find("value=7300></record>\r\n"), std::string::npos);
  EXPECT_EQ(DirectoryEntries(), (std::vector<std::string>{"middle.xml", "real", "user.xml"}));
}

TEST_F(ConfigurationFiles, FailedSaveLeavesTheOldFileAndTheTree) {
  const std::string folder = directory_.File("sub");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string user = folder + "/user.xml";
  WriteWholeFile(user, kDefaultText);
  FileConfigurationManager store;
  ASSERT_EQ(store.Open(DefaultPath().c_str(), user.c_str()), RESULT_OK);
  ASSERT_EQ(store.Load(), RESULT_OK);
  std::filesystem::remove_all(folder);
  EXPECT_EQ(store.Save(), RESULT_FILE_CREATE);
  EXPECT_EQ(Port(store), 7000);
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(store.Save(), RESULT_OK);  // a later save may be tried
  EXPECT_NE(ReadWholeFile(user).find("value=7000"), std::string::npos);
}

TEST_F(ConfigurationFiles, DiskFullDuringSaveIsAWriteFailureAndTheOldFileStays) {
  WriteWholeFile(UserPath(), kDefaultText);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A file size limit makes the kernel accept part of a write, then refuse: a full disk.
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    FileConfigurationManager store;
    if (OpenAndLoad(store) != RESULT_OK) _exit(2);
    const Result saved = store.Save();
    _exit(saved == RESULT_FILE_WRITE ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadWholeFile(UserPath()), kDefaultText);
  EXPECT_FALSE(std::filesystem::exists(TemporaryPathFor(UserPath())));
}

TEST(WholeFileTransfer, ShortWritesAreContinuedAndAStalledFileFails) {
  TempFolder directory;
  const std::string path = directory.File("out");
  const std::string data(1001, 'w');
  TrickleFile trickle(7);
  ASSERT_EQ(trickle.Create(path, kFileAccessWrite, kFilePermissionWrite | kFilePermissionRead), RESULT_OK);
  EXPECT_EQ(WriteWholeBuffer(&trickle, data), RESULT_OK);
  trickle.Close();
  EXPECT_EQ(ReadWholeFile(path), data);

  TrickleFile stalled(0);
  ASSERT_EQ(stalled.Open(path, kFileAccessWrite, 0), RESULT_OK);
  EXPECT_EQ(WriteWholeBuffer(&stalled, data), RESULT_FILE_WRITE);
  stalled.Close();
}

TEST(WholeFileTransfer, ShortReadsAreContinuedUntilTheSizeOrTheEnd) {
  TempFolder directory;
  const std::string path = directory.File("in");
  WriteWholeFile(path, std::string(333, 'r'));
  TrickleFile trickle(10);
  ASSERT_EQ(trickle.Open(path, kFileAccessRead, 0), RESULT_OK);
  std::string buffer(500, '\0');
  std::size_t total = 0;
  EXPECT_EQ(ReadWholeFile(&trickle, &buffer[0], buffer.size(), &total), RESULT_OK);
  EXPECT_EQ(total, 333u);
  trickle.Close();
}

TEST(WholeFileTransfer, WriteToAFullDeviceFails) {
  LinuxFile full;
  if (full.Open("/dev/full", kFileAccessWrite, 0) != RESULT_OK) GTEST_SKIP() << "/dev/full is not available";
  EXPECT_EQ(WriteWholeBuffer(&full, "data"), RESULT_FILE_WRITE);
  full.Close();
}

TEST(ConfigurationHandle, LastDroppedCopyDeletesTheStore) {
  static int destroyed = 0;
  struct CountingStore : FileConfigurationManager {
    ~CountingStore() override { ++destroyed; }
  };
  destroyed = 0;
  {
    FileConfigurationManagerPtr first(new (std::nothrow) CountingStore());
    ASSERT_NE(first.Get(), nullptr);
    EXPECT_EQ(first.UseCount(), 1u);
    {
      FileConfigurationManagerPtr second = first;
      FileConfigurationManagerPtr third;
      third = second;
      EXPECT_EQ(first.UseCount(), 3u);
      EXPECT_EQ(third.Get(), first.Get());
    }
    EXPECT_EQ(first.UseCount(), 1u);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}
