// Test helper: a temporary board root holding the three LED driver files, read back as a colour.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

class LedDriverFiles {
 public:
  // Reads the driver files of a board root that someone else laid out and removes.
  explicit LedDriverFiles(std::string existing_root) : root_(std::move(existing_root)), owned_(false) {}
  // Makes a fresh board root with the driver folders (the files appear when the LEDs open).
  explicit LedDriverFiles(bool with_driver_folders = true) : owned_(true) {
    char pattern[] = "/tmp/led-root-XXXXXX";
    root_ = mkdtemp(pattern);
    if (with_driver_folders) {
      for (const char* dir : {"/proc/R_LED", "/proc/G_LED", "/proc/B_LED"})
        std::filesystem::create_directories(root_ + dir);
    }
    setenv("BOARD_ROOT", root_.c_str(), 1);
  }
  ~LedDriverFiles() {
    if (!owned_) return;
    unsetenv("BOARD_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  LedDriverFiles(const LedDriverFiles&) = delete;
  LedDriverFiles& operator=(const LedDriverFiles&) = delete;

  const std::string& root() const { return root_; }

  // Everything written to one driver file so far ("R", "G" or "B").
  std::string Written(char led) const {
    std::ifstream in(root_ + "/proc/" + led + "_LED/" + led + "_LED");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // An LED is lit when the last character written to its file is '0' (active low).
  bool Lit(char led) const {
    const std::string text = Written(led);
    return !text.empty() && text.back() == '0';
  }

  // The colour shown: "dark", or the lit LEDs among "red", "green", "blue" joined by '+'.
  std::string Colour() const {
    std::string colour;
    const std::pair<char, const char*> leds[] = {{'R', "red"}, {'G', "green"}, {'B', "blue"}};
    for (const auto& [led, name] : leds) {
      if (!Lit(led)) continue;
      if (!colour.empty()) colour += "+";
      colour += name;
    }
    return colour.empty() ? "dark" : colour;
  }

 private:
  std::string root_;
  bool owned_;
};
