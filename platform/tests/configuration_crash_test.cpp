// Crash safety of saving: a child saving over and over is killed at random moments, and the user
// file must always load with one of the two values the child alternates between.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "platform/file_configuration_manager.h"
#include "test_support/file_text.h"
#include "test_support/temp_folder.h"

using test_support::TempFolder;
using test_support::WriteWholeFile;

namespace {
constexpr int kKills = 320;
constexpr unsigned kSeed = 4242;
// Large values make each save long enough for kills to land inside the write.
constexpr std::size_t kValueBytes = 48 * 1024;

std::string ValueText(char fill) { return std::string(kValueBytes, fill); }

std::string ConfigurationText(const std::string& value) {
  return "<cd_configurations name=crash>\r\n  <configuration name=default_configuration>\r\n"
         "    <module name=m>\r\n      <record name=payload type=string value=" +
         value + "></record>\r\n    </module>\r\n  </configuration>\r\n</cd_configurations>\r\n";
}

// The child: load, then save the two values in turn until killed, writing one byte to progress
// after each completed save.
[[noreturn]] void SaveForever(const std::string& default_path, const std::string& user_path, int progress) {
  FileConfigurationManager store;
  if (store.Open(default_path.c_str(), user_path.c_str()) != RESULT_OK || store.Load() != RESULT_OK) _exit(2);
  const std::string values[] = {ValueText('A'), ValueText('B')};
  for (unsigned round = 0;; ++round) {
    const std::string& value = values[round % 2];
    store.SetValue("", "m", "payload", RECORD_TYPE_STRING, value.data(), static_cast<std::uint32_t>(value.size()));
    if (store.Save() != RESULT_OK) _exit(3);
    store.Sync();
    const char saved = 1;
    if (write(progress, &saved, 1) != 1) _exit(4);
  }
}

// What the user file holds now: 'A', 'B', or '?' when it does not load with one of them.
char LoadedValue(const std::string& default_path, const std::string& user_path) {
  FileConfigurationManager store;
  if (store.Open(default_path.c_str(), user_path.c_str()) != RESULT_OK || store.Load() != RESULT_OK) return '?';
  std::string buffer(kValueBytes + 1, '\0');
  std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
  if (store.GetValue("", "m", "payload", RECORD_TYPE_STRING, &buffer[0], &length) != RESULT_OK) return '?';
  buffer.resize(length);
  if (buffer == ValueText('A')) return 'A';
  if (buffer == ValueText('B')) return 'B';
  return '?';
}
}  // namespace

TEST(ConfigurationCrashSafety, UserFileSurvivesKillsAtRandomMomentsDuringSaves) {
  TempFolder directory;
  const std::string default_path = directory.File("default.xml");
  const std::string user_path = directory.File("user.xml");
  WriteWholeFile(default_path, ConfigurationText(ValueText('A')));
  std::mt19937 random(kSeed);
  int seen_a = 0;
  int seen_b = 0;
  int inside_save = 0;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    int progress[2];
    ASSERT_EQ(pipe(progress), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(progress[0]);
      SaveForever(default_path, user_path, progress[1]);
    }
    close(progress[1]);
    // Wait for two saves, then kill at a random moment within about two more save durations.
    char byte;
    ASSERT_EQ(read(progress[0], &byte, 1), 1);
    const auto first_saved = std::chrono::steady_clock::now();
    ASSERT_EQ(read(progress[0], &byte, 1), 1);
    const auto save_duration = std::chrono::steady_clock::now() - first_saved;
    const auto span_us = std::chrono::duration_cast<std::chrono::microseconds>(2 * save_duration).count() + 1;
    std::this_thread::sleep_for(std::chrono::microseconds(random() % span_us));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    close(progress[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with " << WEXITSTATUS(status);
    // A temporary file left behind means the kill landed inside a save, before its rename.
    if (access((user_path + ".tmp").c_str(), F_OK) == 0) ++inside_save;
    const char value = LoadedValue(default_path, user_path);
    ASSERT_NE(value, '?') << "after kill " << kill_number;
    (value == 'A' ? seen_a : seen_b) += 1;
  }
  // The second save wrote B: a file still holding A was caught by a kill during a later save.
  EXPECT_GT(seen_b, 0);
  EXPECT_GT(inside_save, 0);
  std::printf("kills=%d inside_a_save=%d loaded_A=%d loaded_B=%d\n", kKills, inside_save, seen_a, seen_b);
}
