// A fresh temporary folder that lives as long as its owner and is removed with its contents.
#include "test_support/temp_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace test_support {

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a temporary folder " << pattern << ": " << std::strerror(errno);
    return;
  }
  path_ = pattern;
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace test_support
