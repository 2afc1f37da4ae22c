// The heads the capture modules write before each line: "<source> <function> <line> " on standard
// output, "[<source>, <function>, <line>] " through the logging library.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "board/qelt_log_sink.h"
#include "calibrater_image.h"
#include "cam_auto_exposure.h"

namespace {

TEST(LogHead, StandardOutputLineCarriesSourceFunctionAndLineBeforeItsText) {
  const std::string missing = "/nonexistent/calibration.yml";
  testing::internal::CaptureStdout();
  CalibraterImageGrayInit(missing.c_str(), 0.0f);
  const std::string printed = testing::internal::GetCapturedStdout();
  const std::regex line("source/calibrater_image CalibraterImageGrayInit [0-9]+ ERROR Error: can not find camera "
                        "calibration file :" + missing + "\n\n");
  EXPECT_TRUE(std::regex_search(printed, line)) << printed;
}

TEST(LogHead, LoggingLibraryLineCarriesTheBracketedHeadUnderItsTag) {
  board::ClearLoggedLines();
  cam_exposure_init(nullptr, 0, 0);
  const std::regex head(R"(\[source/cam_auto_exposure, cam_exposure_init, [0-9]+\] NULL exposure configuration)");
  bool found = false;
  for (const board::LoggedLine& logged : board::LoggedLines())
    found = found || (logged.tag == "cam_auto_exposure" && std::regex_match(logged.text, head));
  EXPECT_TRUE(found);
}

}  // namespace
