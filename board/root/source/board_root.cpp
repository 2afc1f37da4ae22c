// Board root: maps the board's absolute paths under one folder of this machine.
#include "board/board_root.h"

#include <cstdlib>

namespace board {

std::string Root() {
  const char* env = std::getenv("BOARD_ROOT");
  if (env != nullptr && env[0] != '\0') return env;
  return BOARD_ROOT_DEFAULT;
}

std::string MapPath(const std::string& board_path) {
  if (board_path.empty() || board_path[0] != '/') return board_path;
  std::string root = Root();
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + board_path;
}

}  // namespace board
