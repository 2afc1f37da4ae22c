// A configuration store without files, for tests of the text format and the tree.
#pragma once

#include <string>

#include "file_contents.h"
#include "platform/configuration_manager.h"

class TextStore : public ConfigurationManager {
 public:
  Result Close() override { return RESULT_OK; }
  Result Sync() override { return RESULT_OK; }

  Result LoadText(const std::string& text) {
    const Result set = SetText(text.data(), text.size());
    return set != RESULT_OK ? set : Load();
  }
  std::string SavedText() {
    return Save() == RESULT_OK ? text() : std::string("<save failed>");
  }
};

inline std::string GoldenText() { return ReadFileBytes(std::string(PLATFORM_TEST_DATA_DIR) + "/golden_configuration.xml"); }
