// Status LEDs: the colour read back from the driver files under a temporary board root.
#include "status_led.h"

#include <gtest/gtest.h>

#include <filesystem>
#include "test_support/led_driver_files.h"

using test_support::LedDriverFiles;


namespace {

size_t OpenDescriptorCount() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

class StatusLed : public ::testing::Test {
 protected:
  void TearDown() override { CloseAllLED(); }
  LedDriverFiles files_;
};

// The files are read while the handles are open: every write must already have reached its file.
TEST_F(StatusLed, EachSetterLightsOrDimsItsOwnLedOnly) {
  OpenAllLED();
  SetRedLedOn();
  EXPECT_EQ(files_.Colour(), "red");
  EXPECT_EQ(files_.Written('G'), "");
  SetRedLedOff();
  SetGreenLedOn();
  EXPECT_EQ(files_.Colour(), "green");
  SetGreenLedOff();
  SetBlueLedOn();
  EXPECT_EQ(files_.Colour(), "blue");
  SetBlueLedOff();
  EXPECT_EQ(files_.Colour(), "dark");
  EXPECT_EQ(files_.Written('R'), "01");
  EXPECT_EQ(files_.Written('G'), "01");
  EXPECT_EQ(files_.Written('B'), "01");
}

TEST_F(StatusLed, AllOffWritesOneCharacterIntoEachFile) {
  OpenAllLED();
  SetAllLEDOff();
  EXPECT_EQ(files_.Written('R'), "1");
  EXPECT_EQ(files_.Written('G'), "1");
  EXPECT_EQ(files_.Written('B'), "1");
  SetAllLEDOn();
  EXPECT_EQ(files_.Colour(), "red+green+blue");
}

TEST_F(StatusLed, AfterCloseAllHandlesAreNullAndSettersDoNothing) {
  OpenAllLED();
  CloseAllLED();
  EXPECT_EQ(RedLedFp, nullptr);
  EXPECT_EQ(GreenLedFp, nullptr);
  EXPECT_EQ(BlueLedFp, nullptr);
  SetAllLEDOn();
  SetRedLedOn();
  EXPECT_EQ(files_.Written('R'), "");
  EXPECT_EQ(files_.Colour(), "dark");
  CloseAllLED();  // closing twice is harmless
}

TEST_F(StatusLed, ReopeningReplacesTheHandlesWithoutLeakingThem) {
  OpenAllLED();
  const size_t after_first_open = OpenDescriptorCount();
  for (int i = 0; i < 5; ++i) OpenAllLED();
  EXPECT_EQ(OpenDescriptorCount(), after_first_open);
  CloseAllLED();
  EXPECT_EQ(OpenDescriptorCount(), after_first_open - 3);
}

TEST(StatusLedWithoutDrivers, EveryFunctionReturnsWithoutEffect) {
  LedDriverFiles no_drivers(false);
  OpenAllLED();
  EXPECT_EQ(RedLedFp, nullptr);
  EXPECT_EQ(GreenLedFp, nullptr);
  EXPECT_EQ(BlueLedFp, nullptr);
  SetAllLEDOn();
  SetAllLEDOff();
  SetRedLedOn();
  SetGreenLedOn();
  SetBlueLedOn();
  CloseAllLED();
  EXPECT_FALSE(std::filesystem::exists(no_drivers.root() + "/proc"));
}

TEST(StatusLedWithoutDrivers, OneMissingDriverLeavesTheOthersWorking) {
  LedDriverFiles files;
  std::filesystem::remove_all(files.root() + "/proc/G_LED");
  OpenAllLED();
  EXPECT_EQ(GreenLedFp, nullptr);
  SetAllLEDOn();
  EXPECT_EQ(files.Colour(), "red+blue");
  CloseAllLED();
}

}  // namespace
