// Whole-file reads and writes for tests that check what a program wrote or hand it an input.
#pragma once

#include <string>

namespace test_support {

// The file's bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
// Replaces the file's contents with `text`.
void WriteWholeFile(const std::string& path, const std::string& text);
// Writes a shell script running `body` and makes it executable by its owner.
void WriteScript(const std::string& path, const std::string& body);

}  // namespace test_support
