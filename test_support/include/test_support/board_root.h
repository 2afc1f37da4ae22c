// Board roots laid out by the board's make-root script, as the programs and stand-ins expect them.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// Lays out a board root at `root`; each extra "file=/board/path" is copied to that board path.
// True when the script succeeded.
bool LayOutBoardRoot(const std::string& root, const std::vector<std::string>& extras = {});

}  // namespace test_support
