// Board roots laid out by the board's make-root script, as the programs and stand-ins expect them.
#pragma once

#include <string>
#include <vector>

#include "test_support/temp_folder.h"

namespace test_support {

// Lays out a board root at `root`; each extra "file=/board/path" is copied to that board path.
// True when the script succeeded.
bool LayOutBoardRoot(const std::string& root, const std::vector<std::string>& extras = {});

// A fresh temporary board root, laid out; BOARD_ROOT points at it while it lives.
class BoardRoot {
 public:
  explicit BoardRoot(const std::vector<std::string>& extras = {}, const std::string& prefix = "board-root");
  ~BoardRoot();
  BoardRoot(const BoardRoot&) = delete;
  BoardRoot& operator=(const BoardRoot&) = delete;

  bool ok() const { return ok_; }
  const std::string& path() const { return folder_.path(); }
  // Where the board path `board_path` (starting with '/') lies in this root.
  std::string File(const std::string& board_path) const { return path() + board_path; }

 private:
  TempFolder folder_;
  bool ok_ = false;
};

}  // namespace test_support
