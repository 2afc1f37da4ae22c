// A board root holding the three LED driver files, read back as the colour the LEDs show.
#include "test_support/led_driver_files.h"

#include <stdlib.h>

#include <filesystem>
#include <utility>

#include "test_support/file_text.h"

namespace test_support {

LedDriverFiles::LedDriverFiles(std::string existing_root) : root_(std::move(existing_root)) {}

LedDriverFiles::LedDriverFiles(bool with_driver_folders)
    : owned_(std::make_unique<TempFolder>("led-root")), root_(owned_->path()) {
  if (with_driver_folders) {
    for (const char* dir : {"/proc/R_LED", "/proc/G_LED", "/proc/B_LED"})
      std::filesystem::create_directories(root_ + dir);
  }
  setenv("BOARD_ROOT", root_.c_str(), 1);
}

LedDriverFiles::~LedDriverFiles() {
  if (owned_) unsetenv("BOARD_ROOT");
}

std::string LedDriverFiles::Written(char led) const {
  return ReadWholeFile(root_ + "/proc/" + led + "_LED/" + led + "_LED");
}

bool LedDriverFiles::Lit(char led) const {
  const std::string text = Written(led);
  return !text.empty() && text.back() == '0';
}

std::string LedDriverFiles::Colour() const {
  std::string colour;
  const std::pair<char, const char*> leds[] = {{'R', "red"}, {'G', "green"}, {'B', "blue"}};
  for (const auto& [led, name] : leds) {
    if (!Lit(led)) continue;
    if (!colour.empty()) colour += "+";
    colour += name;
  }
  return colour.empty() ? "dark" : colour;
}

}  // namespace test_support
