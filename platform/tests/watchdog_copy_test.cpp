// The watchdog's copy of the platform library: thread start, file removal and value access by path.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <future>

#include "platform/file_configuration_manager.h"
#include "platform/memory_manager.h"
#include "platform/thread.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

using test_support::TempFolder;
using test_support::WriteWholeFile;

namespace {
void* ReportArgument(void* argument) {
  static_cast<std::promise<void*>*>(argument)->set_value(argument);
  return nullptr;
}
}  // namespace

TEST(WatchdogThread, StartDoesNotNeedTheThreadObjectAfterwards) {
  // The object is deleted and its memory reused before the thread may have begun.
  for (int round = 0; round < 50; ++round) {
    std::promise<void*> reported;
    std::future<void*> argument = reported.get_future();
    LinuxThread* thread = NewObject<LinuxThread>();
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(thread->Create("", 0, ReportArgument, &reported), RESULT_OK);
    ASSERT_EQ(thread->Start(), RESULT_OK);
    ASSERT_EQ(thread->Destroy(), RESULT_OK);
    DeleteObject(thread);
    LinuxThread* reuse = NewObject<LinuxThread>();
    reuse->Create("", 0, nullptr, nullptr);
    EXPECT_EQ(argument.get(), &reported);
    DeleteObject(reuse);
  }
}

TEST(WatchdogThread, RefusedStackSizeStartsNothing) {
  LinuxThread thread;
  ASSERT_EQ(thread.Create("", 1, ReportArgument, nullptr), RESULT_OK);
  EXPECT_EQ(thread.Start(), RESULT_THREAD_ATTR_SET);
}

TEST(WatchdogFileRemove, RemovesExactlyTheNamedFileWithoutAShell) {
  TempFolder directory;
  const std::string tricky = directory.File("a b; touch injected");
  WriteWholeFile(tricky, "x");
  const std::string injected = directory.File("injected");
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(directory.path());
  EXPECT_EQ(LinuxFile::Remove(tricky.c_str()), RESULT_OK);
  std::filesystem::current_path(cwd);
  EXPECT_FALSE(std::filesystem::exists(tricky));
  EXPECT_FALSE(std::filesystem::exists(injected));
  EXPECT_FALSE(std::filesystem::exists(directory.File("a")));
  EXPECT_EQ(LinuxFile::Remove(tricky.c_str()), RESULT_FAILED);
  EXPECT_EQ(LinuxFile::Remove(static_cast<const char*>(nullptr)), RESULT_FAILED);
}

TEST(WatchdogFileRemove, WidePathsAreConvertedAndTooLongOnesRefused) {
  TempFolder directory;
  const std::string path = directory.File("wide");
  WriteWholeFile(path, "x");
  EXPECT_EQ(LinuxFile::Remove(std::wstring(path.begin(), path.end()).c_str()), RESULT_OK);
  EXPECT_FALSE(std::filesystem::exists(path));
  const std::wstring too_long(600, L'w');
  EXPECT_EQ(LinuxFile::Remove(too_long.c_str()), RESULT_FAILED);
}

TEST(WatchdogSplitPath, ThreePartsWithTheRestKeepingItsSlashes) {
  char configuration[kSplitPathPartBytes];
  char module[kSplitPathPartBytes];
  char record[kSplitPathPartBytes];
  ASSERT_EQ(ConfigurationManager::SplitPath("default_configuration/common_config/process1/check_period",
                                            configuration, module, record),
            RESULT_OK);
  EXPECT_STREQ(configuration, "default_configuration");
  EXPECT_STREQ(module, "common_config");
  EXPECT_STREQ(record, "process1/check_period");
  EXPECT_EQ(ConfigurationManager::SplitPath("only/one", configuration, module, record), RESULT_FAILED);
  EXPECT_EQ(ConfigurationManager::SplitPath("none", configuration, module, record), RESULT_FAILED);
}

TEST(WatchdogSplitPath, PartsThatDoNotFitFailInsteadOfOverflowing) {
  char configuration[kSplitPathPartBytes];
  char module[kSplitPathPartBytes];
  char record[kSplitPathPartBytes];
  const std::string fits(kSplitPathPartBytes - 1, 'f');
  const std::string too_long(kSplitPathPartBytes, 'l');
  EXPECT_EQ(ConfigurationManager::SplitPath((fits + "/" + fits + "/" + fits).c_str(), configuration, module, record),
            RESULT_OK);
  EXPECT_EQ(std::strlen(record), fits.size());
  for (const std::string& path : {too_long + "/m/r", "c/" + too_long + "/r", "c/m/" + too_long}) {
    EXPECT_EQ(ConfigurationManager::SplitPath(path.c_str(), configuration, module, record), RESULT_FAILED);
  }
}

TEST(WatchdogValueAccess, TypedGettersAndSettersByNamesAndByOnePath) {
  TempFolder directory;
  WriteWholeFile(directory.File("user.xml"),
                 "<cd_configurations name=d><configuration name=default_configuration><module name=common_config>"
                 "<record name=daemon_listen_socket_addr type=string value=127.0.0.1></record>"
                 "<record name=process1 type=container>"
                 "<record name=check_period type=integer value=30></record>"
                 "<record name=scale type=double value=1.5></record></record>"
                 "</module></configuration></cd_configurations>");
  FileConfigurationManager store;
  ASSERT_EQ(store.Open(directory.File("default.xml").c_str(), directory.File("user.xml").c_str()), RESULT_OK);
  ASSERT_EQ(store.Load(), RESULT_OK);

  std::int32_t period = 0;
  EXPECT_EQ(store.GetInteger("default_configuration", "common_config", "process1/check_period", &period), RESULT_OK);
  EXPECT_EQ(period, 30);
  ASSERT_EQ(store.SetInteger("default_configuration/common_config/process1/check_period", 45), RESULT_OK);
  EXPECT_EQ(store.GetInteger("default_configuration/common_config/process1/check_period", &period), RESULT_OK);
  EXPECT_EQ(period, 45);

  double scale = 0;
  ASSERT_EQ(store.SetDouble("default_configuration", "common_config", "process1/scale", 2.25), RESULT_OK);
  EXPECT_EQ(store.GetDouble("default_configuration/common_config/process1/scale", &scale), RESULT_OK);
  EXPECT_DOUBLE_EQ(scale, 2.25);

  char address[4096] = {};
  std::uint32_t length = sizeof(address);
  ASSERT_EQ(store.GetString("default_configuration/common_config/daemon_listen_socket_addr", address, &length),
            RESULT_OK);
  EXPECT_STREQ(address, "127.0.0.1");
  ASSERT_EQ(store.SetString("default_configuration", "common_config", "daemon_listen_socket_addr", "127.0.0.2", 9),
            RESULT_OK);
  char small[4] = {};
  length = sizeof(small);
  EXPECT_EQ(store.GetString("default_configuration", "common_config", "daemon_listen_socket_addr", small, &length),
            RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.GetInteger("default_configuration/common_config", &period), RESULT_FAILED);
  EXPECT_EQ(store.GetDouble("default_configuration/common_config/process1/check_period", &scale),
            RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(store.Close(), RESULT_OK);
}
