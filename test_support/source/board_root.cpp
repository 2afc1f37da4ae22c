// Board roots laid out by the board's make-root script, as the programs and stand-ins expect them.
#include "test_support/board_root.h"

#include <cstdlib>

namespace test_support {

bool LayOutBoardRoot(const std::string& root, const std::vector<std::string>& extras) {
  std::string command = std::string(MAKE_ROOT_SCRIPT) + " '" + root + "'";
  for (const std::string& extra : extras) command += " '" + extra + "'";
  command += " > /dev/null";
  return std::system(command.c_str()) == 0;
}

}  // namespace test_support
