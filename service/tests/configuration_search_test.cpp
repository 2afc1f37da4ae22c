// Where the service finds its configuration: working folder, executable's folder, board folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "configuration_search.h"
#include "platform/memory_manager.h"
#include "service_test_support.h"

namespace {

// Runs the test in an empty working folder with a board root of its own (each test is its own process).
class ConfigurationSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(work_.path().empty());
    ASSERT_EQ(chdir(work_.path().c_str()), 0);
    std::filesystem::create_directories(root_.path() + "/system/etc");
    setenv("BOARD_ROOT", root_.path().c_str(), 1);
  }
  void TearDown() override {
    ASSERT_EQ(chdir("/"), 0);
    unsetenv("BOARD_ROOT");
  }
  std::string BoardFile(const char* name) const { return root_.path() + "/system/etc/" + name; }
  // The application name the store holds after opening and loading.
  static std::string OpenedName(FileConfigurationManager* store) {
    if (store->Load() != RESULT_OK) return "(no load)";
    char name[kConfigurationPathBytes] = {};
    std::uint32_t length = sizeof(name);
    if (store->GetValue("default_configuration", "common_config", "application_name", RECORD_TYPE_STRING, name,
                        &length) != RESULT_OK) {
      return "(no name)";
    }
    return name;
  }

  TempFolder work_;
  TempFolder root_;
};

TEST_F(ConfigurationSearch, WorkingFolderComesFirst) {
  WriteWholeFile(work_.File(kDefaultConfigurationFileName), WithValue(ShippedConfiguration(), "application_name", "work"));
  WriteWholeFile(BoardFile(kDefaultConfigurationFileName), WithValue(ShippedConfiguration(), "application_name", "board"));
  ManagedPtr<FileConfigurationManager> store(NewObject<FileConfigurationManager>());
  ASSERT_EQ(OpenServiceConfiguration(store.get()), RESULT_OK);
  EXPECT_EQ(OpenedName(store.get()), "work");
  // The user file is seeded beside the default it came from.
  EXPECT_TRUE(std::filesystem::exists(work_.File(kUserConfigurationFileName)));
  store->Close();
}

TEST_F(ConfigurationSearch, BoardFolderIsTriedLastAndSeedsItsUserFileThere) {
  WriteWholeFile(BoardFile(kDefaultConfigurationFileName), WithValue(ShippedConfiguration(), "application_name", "board"));
  ManagedPtr<FileConfigurationManager> store(NewObject<FileConfigurationManager>());
  testing::internal::CaptureStdout();
  ASSERT_EQ(OpenServiceConfiguration(store.get()), RESULT_OK);
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(OpenedName(store.get()), "board");
  EXPECT_TRUE(std::filesystem::exists(BoardFile(kUserConfigurationFileName)));
  EXPECT_FALSE(std::filesystem::exists(work_.File(kUserConfigurationFileName)));
  EXPECT_NE(printed.find("CurrentPath="), std::string::npos);
  EXPECT_NE(printed.find("DefaultConfiguration2=" + BoardFile(kDefaultConfigurationFileName) + "\n"), std::string::npos);
  EXPECT_NE(printed.find("UserConfiguration2=" + BoardFile(kUserConfigurationFileName) + "\n"), std::string::npos);
  store->Close();
}

TEST_F(ConfigurationSearch, NoFilesAnywhereFailsWithTheLastOpensCode) {
  ManagedPtr<FileConfigurationManager> store(NewObject<FileConfigurationManager>());
  const Result opened = OpenServiceConfiguration(store.get());
  EXPECT_NE(opened, RESULT_OK);
  EXPECT_FALSE(std::filesystem::exists(BoardFile(kUserConfigurationFileName)));
}

TEST(ExecutableDirectory, IsTheFolderOfThisProgramWithItsSlash) {
  char directory[kConfigurationPathBytes];
  ASSERT_EQ(GetExecutableDirectory(directory, sizeof(directory)), 0);
  const std::string expected = std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
  EXPECT_EQ(std::string(directory), expected);
}

TEST(ExecutableDirectory, BufferTooSmallForThePathFailsAndStaysTerminated) {
  const std::string path = std::filesystem::read_symlink("/proc/self/exe").string();
  for (std::size_t size : {std::size_t(2), path.size() / 2, path.size(), path.size() + 1}) {
    std::string buffer(size + 1, 'x');  // one guard byte past the size given
    EXPECT_EQ(GetExecutableDirectory(&buffer[0], size), -1) << size;
    EXPECT_EQ(buffer[0], '\0') << size;
    EXPECT_EQ(buffer[size], 'x') << "written past the buffer, size " << size;
  }
  std::string fits(path.size() + 2, 'x');
  EXPECT_EQ(GetExecutableDirectory(&fits[0], fits.size()), 0);
}

}  // namespace
