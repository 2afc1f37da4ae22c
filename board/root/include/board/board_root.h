// Board root: the folder that stands in for the board's file system on this machine.
#pragma once

#include <string>

namespace board {

// The board root: $BOARD_ROOT when set, else the folder fixed when the project was configured.
// This is the only place that reads the environment.
std::string Root();

// Maps an absolute board path ("/data/log", "/system/etc/x.yml") under the board root.
// Relative paths are returned unchanged: they already name a place on this machine.
std::string MapPath(const std::string& board_path);

}  // namespace board
