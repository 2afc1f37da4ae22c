// Command 204: the offset arithmetic, the device's refusal kept, and the user file rewritten whole.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "camera_start.h"
#include "configuration_loaders.h"
#include "disparity_shift.h"
#include "service_test_support.h"

namespace {

// A device that keeps an offset and can be told to refuse new ones.
struct FakeDevice {
  double offset = 0.0;
  int selector = 1;
  bool refuse = false;
  Result GetDisparityOffset(double* out_offset, int* out_selector) {
    *out_offset = offset;
    *out_selector = selector;
    return RESULT_OK;
  }
  Result SetDisparityOffset(double new_offset, int new_selector) {
    if (refuse) return RESULT_INVALID_ARGUMENT;
    offset = new_offset;
    selector = new_selector;
    return RESULT_OK;
  }
};

TEST(DisparityOffsetStep, OneTenthAboveZeroStaysPositive) {
  const DisparityOffset next = NextDisparityOffset({0.0, 1}, 1);
  EXPECT_DOUBLE_EQ(next.offset, 0.10000000149011612);
  EXPECT_EQ(next.selector, 1);
  EXPECT_EQ(DisparityReplyValue(next.offset), 1u);
}

TEST(DisparityOffsetStep, NegativeStepFlipsToSelectorZero) {
  const DisparityOffset next = NextDisparityOffset({0.0, 1}, -3);
  EXPECT_DOUBLE_EQ(next.offset, 0.30000001192092896);
  EXPECT_EQ(next.selector, 0);
  EXPECT_EQ(DisparityReplyValue(next.offset), 3u);
}

TEST(DisparityOffsetStep, ZeroIsNotAboveTheThreshold) {
  const DisparityOffset next = NextDisparityOffset({0.0, 1}, 0);
  EXPECT_EQ(next.offset, 0.0);
  EXPECT_TRUE(std::signbit(next.offset));
  EXPECT_EQ(next.selector, 0);
  EXPECT_EQ(DisparityReplyValue(next.offset), 0u);
}

TEST(DisparityOffsetStep, ReplyTruncatesTowardsZero) {
  const DisparityOffset next = NextDisparityOffset({0.2, 0}, 1);
  EXPECT_DOUBLE_EQ(next.offset, 0.09999999850988389);
  EXPECT_EQ(next.selector, 0);
  EXPECT_EQ(DisparityReplyValue(next.offset), 0u);
}

class DisparityShiftSave : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = OpenStore(folder_, ShippedConfiguration());
    ASSERT_NE(store_.Get(), nullptr);
  }
  std::string UserFile() const { return ReadWholeFile(folder_.File("user.xml")); }

  TempFolder folder_;
  FileConfigurationManagerPtr store_;
  FakeDevice device_;
};

TEST_F(DisparityShiftSave, AcceptedStepRewritesBothKeysInTheUserFile) {
  std::uint32_t reply = 0;
  ASSERT_EQ(QeltSetDisparityShift(&device_, store_.Get(), -3, &reply), RESULT_OK);
  EXPECT_EQ(reply, 3u);
  EXPECT_EQ(device_.selector, 0);
  const std::string user = UserFile();
  EXPECT_NE(user.find("name=shift_offset type=double value=0.300000"), std::string::npos) << user;
  EXPECT_NE(user.find("name=shift_opt type=integer value=0"), std::string::npos) << user;
  for (const auto& entry : std::filesystem::directory_iterator(folder_.path())) {
    EXPECT_EQ(entry.path().extension(), ".xml") << "left behind: " << entry.path();
  }

  // The next start reads the saved values.
  FileConfigurationManagerPtr reopened(NewObject<FileConfigurationManager>());
  ASSERT_EQ(reopened->Open(folder_.File("default.xml").c_str(), folder_.File("user.xml").c_str()), RESULT_OK);
  ASSERT_EQ(reopened->Load(), RESULT_OK);
  double offset = 0.0;
  std::uint32_t length = sizeof(offset);
  ASSERT_EQ(reopened->GetValue("default_configuration", "stream_center", "shift_offset", RECORD_TYPE_DOUBLE,
                               &offset, &length),
            RESULT_OK);
  EXPECT_NEAR(offset, 0.3, 1e-6);
}

TEST_F(DisparityShiftSave, SavingTheShippedFileChangesOnlyTheTwoLinesItSets) {
  std::string expected = ShippedConfiguration();
  ASSERT_EQ(UserFile(), expected);  // seeded byte for byte
  for (const auto& line : {std::make_pair("shift_offset type=double value=0.000000", "shift_offset type=double value=0.300000"),
                           std::make_pair("shift_opt type=integer value=1", "shift_opt type=integer value=0")}) {
    ASSERT_NE(expected.find(std::string(line.first) + "></record>\r\n"), std::string::npos) << "CR LF line ends";
    expected.replace(expected.find(line.first), std::strlen(line.first), line.second);
  }
  std::uint32_t reply = 0;
  ASSERT_EQ(QeltSetDisparityShift(&device_, store_.Get(), -3, &reply), RESULT_OK);
  EXPECT_EQ(UserFile(), expected);
}

TEST_F(DisparityShiftSave, RefusedOffsetKeepsTheOldOneAndSavesNothing) {
  const std::string before = UserFile();
  device_.offset = 0.5;
  device_.refuse = true;
  std::uint32_t reply = 0;
  EXPECT_NE(QeltSetDisparityShift(&device_, store_.Get(), 1, &reply), RESULT_OK);
  EXPECT_EQ(reply, 0u);
  EXPECT_EQ(device_.offset, 0.5);
  EXPECT_EQ(device_.selector, 1);
  EXPECT_EQ(UserFile(), before);
}

TEST_F(DisparityShiftSave, AnOffsetTheCommandTakesIsOneTheNextStartLoads) {
  const std::string shipped = UserFile();
  std::uint32_t reply = 0;
  // 3000 tenths: 300 rows, beyond the range; nothing changes.
  EXPECT_EQ(QeltSetDisparityShift(&device_, store_.Get(), 3000, &reply), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(reply, 0u);
  EXPECT_EQ(device_.offset, 0.0);
  EXPECT_EQ(UserFile(), shipped);

  ASSERT_EQ(QeltSetDisparityShift(&device_, store_.Get(), 2560, &reply), RESULT_OK);
  EXPECT_EQ(reply, 2560u);
  EXPECT_EQ(device_.offset, kDisparityOffsetLimitRows);
  FileConfigurationManagerPtr reopened(NewObject<FileConfigurationManager>());
  ASSERT_EQ(reopened->Open(folder_.File("default.xml").c_str(), folder_.File("user.xml").c_str()), RESULT_OK);
  ASSERT_EQ(reopened->Load(), RESULT_OK);
  tagVideoDeviceParameterSet video = {};
  ASSERT_EQ(LoadVideoDeviceConfiguration(reopened, &video), RESULT_OK);
  EXPECT_EQ(video.shift_offset, kDisparityOffsetLimitRows);

  const std::string at_limit = UserFile();
  EXPECT_EQ(QeltSetDisparityShift(&device_, store_.Get(), 1, &reply), RESULT_INVALID_ARGUMENT);
  EXPECT_EQ(device_.offset, kDisparityOffsetLimitRows);
  EXPECT_EQ(UserFile(), at_limit);
}

TEST_F(DisparityShiftSave, FailedSaveIsAFailureAndLeavesDeviceStoreAndFileAsTheyWere) {
  const std::string before = UserFile();
  // A folder where the replacement's temporary file goes: the user file cannot be replaced.
  const std::string blocker = folder_.File("user.xml.tmp");
  ASSERT_TRUE(std::filesystem::create_directory(blocker));
  std::uint32_t reply = 0;
  EXPECT_NE(QeltSetDisparityShift(&device_, store_.Get(), 5, &reply), RESULT_OK);
  EXPECT_EQ(reply, 0u);
  EXPECT_EQ(device_.offset, 0.0);
  EXPECT_EQ(device_.selector, 1);
  EXPECT_EQ(UserFile(), before);
  DisparityOffset held = {-1.0, -1};
  ASSERT_EQ(ReadSavedDisparityOffset(store_.Get(), &held), RESULT_OK);
  EXPECT_EQ(held.offset, 0.0) << "the store holds the saved offset again";
  EXPECT_EQ(held.selector, 1);

  std::filesystem::remove(blocker);
  ASSERT_EQ(QeltSetDisparityShift(&device_, store_.Get(), 2, &reply), RESULT_OK);
  EXPECT_EQ(reply, 2u);
  EXPECT_NE(UserFile().find("name=shift_offset type=double value=0.200000"), std::string::npos) << UserFile();
}

TEST_F(DisparityShiftSave, MissingRecordSavesNothingAndRepliesZero) {
  TempFolder folder;
  FileConfigurationManagerPtr store = OpenStore(folder, WithoutRecord(ShippedConfiguration(), "shift_opt"));
  ASSERT_NE(store.Get(), nullptr);
  const std::string before = ReadWholeFile(folder.File("user.xml"));
  std::uint32_t reply = 0;
  EXPECT_NE(QeltSetDisparityShift(&device_, store.Get(), 1, &reply), RESULT_OK);
  EXPECT_EQ(reply, 0u);
  EXPECT_EQ(ReadWholeFile(folder.File("user.xml")), before);
}

TEST_F(DisparityShiftSave, DeviceThatIsNotRunningRefusesAndNothingIsSaved) {
  const std::string before = UserFile();
  StereoVideoDeivce device;
  ServiceContext context = {&device, nullptr, store_.Get()};
  std::uint32_t reply = 0;
  EXPECT_NE(QeltSetDisparityShift(&context, 1, &reply), RESULT_OK);
  EXPECT_EQ(reply, 0u);
  EXPECT_EQ(UserFile(), before);
}

}  // namespace
