// Board roots laid out by the board's make-root script, as the programs and stand-ins expect them.
#include "test_support/board_root.h"

#include <stdlib.h>

namespace test_support {

bool LayOutBoardRoot(const std::string& root, const std::vector<std::string>& extras) {
  std::string command = std::string(MAKE_ROOT_SCRIPT) + " '" + root + "'";
  for (const std::string& extra : extras) command += " '" + extra + "'";
  command += " > /dev/null";
  return std::system(command.c_str()) == 0;
}

BoardRoot::BoardRoot(const std::vector<std::string>& extras, const std::string& prefix) : folder_(prefix) {
  if (path().empty()) return;
  ok_ = LayOutBoardRoot(path(), extras);
  setenv("BOARD_ROOT", path().c_str(), 1);
}

BoardRoot::~BoardRoot() { unsetenv("BOARD_ROOT"); }

}  // namespace test_support
