// Crash safety of saving: a child saving over and over is killed at random moments, and the user
// file must always load with one of the two values the child alternates between.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "file_contents.h"
#include "platform/file_configuration_manager.h"
#include "test_directory.h"

namespace {
constexpr int kKills = 320;
constexpr unsigned kSeed = 4242;
constexpr int kMaxKillDelayUs = 20000;
// Large values make each save long enough for kills to land inside the write.
constexpr std::size_t kValueBytes = 48 * 1024;

std::string ValueText(char fill) { return std::string(kValueBytes, fill); }

std::string ConfigurationText(const std::string& value) {
  return "<cd_configurations name=crash>\r\n  <configuration name=default_configuration>\r\n"
         "    <module name=m>\r\n      <record name=payload type=string value=" +
         value + "></record>\r\n    </module>\r\n  </configuration>\r\n</cd_configurations>\r\n";
}

// The child: load, then save the two values in turn until killed.
[[noreturn]] void SaveForever(const std::string& default_path, const std::string& user_path) {
  FileConfigurationManager store;
  if (store.Open(default_path.c_str(), user_path.c_str()) != RESULT_OK || store.Load() != RESULT_OK) _exit(2);
  const std::string values[] = {ValueText('A'), ValueText('B')};
  for (unsigned round = 0;; ++round) {
    const std::string& value = values[round % 2];
    store.SetValue("", "m", "payload", RECORD_TYPE_STRING, value.data(), static_cast<std::uint32_t>(value.size()));
    if (store.Save() != RESULT_OK) _exit(3);
    store.Sync();
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
  TestDirectory directory;
  const std::string default_path = directory.File("default.xml");
  const std::string user_path = directory.File("user.xml");
  WriteFileBytes(default_path, ConfigurationText(ValueText('A')));
  std::mt19937 random(kSeed);
  int seen_a = 0;
  int seen_b = 0;
  for (int kill_number = 0; kill_number < kKills; ++kill_number) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) SaveForever(default_path, user_path);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % kMaxKillDelayUs));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself with " << WEXITSTATUS(status);
    const char value = LoadedValue(default_path, user_path);
    ASSERT_NE(value, '?') << "after kill " << kill_number;
    (value == 'A' ? seen_a : seen_b) += 1;
  }
  // Both values turn up, so the kills did land while saves were going on.
  EXPECT_GT(seen_b, 0);
  RecordProperty("kills", kKills);
  std::printf("kills=%d loaded_A=%d loaded_B=%d\n", kKills, seen_a, seen_b);
}
