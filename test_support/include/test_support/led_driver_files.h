// A board root holding the three LED driver files, read back as the colour the LEDs show.
#pragma once

#include <memory>
#include <string>

#include "test_support/temp_folder.h"

namespace test_support {

class LedDriverFiles {
 public:
  // Reads the driver files of a board root that someone else laid out and removes.
  explicit LedDriverFiles(std::string existing_root);
  // Makes a fresh board root with the driver folders (the files appear when the LEDs open);
  // BOARD_ROOT points at it while it lives.
  explicit LedDriverFiles(bool with_driver_folders = true);
  ~LedDriverFiles();
  LedDriverFiles(const LedDriverFiles&) = delete;
  LedDriverFiles& operator=(const LedDriverFiles&) = delete;

  const std::string& root() const { return root_; }

  // Everything written to one driver file so far ("R", "G" or "B").
  std::string Written(char led) const;
  // An LED is lit when the last character written to its file is '0' (active low).
  bool Lit(char led) const;
  // The colour shown: "dark", or the lit LEDs among "red", "green", "blue" joined by '+'.
  std::string Colour() const;

 private:
  std::unique_ptr<TempFolder> owned_;
  std::string root_;
};

}  // namespace test_support
