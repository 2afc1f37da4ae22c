// Whole-file reads and writes for tests that check what a program wrote or hand it an input.
#include "test_support/file_text.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace test_support {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void WriteScript(const std::string& path, const std::string& body) {
  WriteWholeFile(path, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

}  // namespace test_support
