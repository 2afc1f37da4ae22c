// A configuration store without files, for tests of the text format and the tree.
#pragma once

#include <string>

#include "platform/configuration_manager.h"
#include "test_support/file_text.h"

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

inline std::string GoldenText() { return test_support::ReadWholeFile(std::string(PLATFORM_TEST_DATA_DIR) + "/golden_configuration.xml"); }
