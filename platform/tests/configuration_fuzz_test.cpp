// The reader on damaged text: every truncation and thousands of seeded random mutations, never a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "text_store.h"

namespace {
constexpr unsigned kMutationSeed = 20261208;
constexpr int kMutationCount = 6000;

// Pieces of the format that make mutations reach deep into the reader.
const char* const kTokens[] = {"<record", "</record>", "></record>", "<module", "</module>", "<configuration",
                               "</configuration>", "<cd_configurations", "</cd_configurations>", "name=", "type=",
                               "value=", "container", "integer", "double", "string", " ", ">", "<", "/", "\r\n"};

std::string Mutate(std::string text, std::mt19937& random) {
  const int edits = 1 + static_cast<int>(random() % 4);
  for (int edit = 0; edit < edits; ++edit) {
    const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
    switch (random() % 5) {
      case 0:  // flip one byte
        if (!text.empty()) text[at % text.size()] = static_cast<char>(random());
        break;
      case 1:  // insert a token
        text.insert(at, kTokens[random() % std::size(kTokens)]);
        break;
      case 2: {  // delete a range
        const std::size_t length = random() % 64;
        if (at < text.size()) text.erase(at, length);
        break;
      }
      case 3: {  // duplicate a range
        const std::size_t length = random() % 256;
        if (at < text.size()) text.insert(at, text.substr(at, length));
        break;
      }
      default: {  // move a range elsewhere
        const std::size_t length = random() % 128;
        if (at < text.size()) {
          const std::string piece = text.substr(at, length);
          text.erase(at, length);
          text.insert(text.empty() ? 0 : random() % (text.size() + 1), piece);
        }
        break;
      }
    }
  }
  return text;
}

// Whatever loaded must write a text that loads again.
void ExpectSavedTextLoads(TextStore& store, const std::string& input) {
  const std::string saved = store.SavedText();
  TextStore again;
  EXPECT_EQ(again.LoadText(saved), RESULT_OK) << "input:\n" << input << "\nsaved:\n" << saved;
}
}  // namespace

TEST(ConfigurationReaderRobustness, EveryTruncationOfTheGoldenText) {
  const std::string golden = GoldenText();
  const std::size_t root_close = golden.find("</cd_configurations>");
  ASSERT_NE(root_close, std::string::npos);
  for (std::size_t length = 0; length <= golden.size(); ++length) {
    TextStore store;
    const Result result = store.LoadText(golden.substr(0, length));
    if (length == 0) {
      EXPECT_EQ(result, RESULT_NOT_READY);
    } else if (length < root_close + std::strlen("</cd_configurations>")) {
      EXPECT_EQ(result, RESULT_BAD_FORMAT) << length;
      EXPECT_EQ(store.GetConfigurationCount(), 0u);
    } else {
      EXPECT_EQ(result, RESULT_OK) << length;
      EXPECT_EQ(store.GetConfigurationCount(), 2u);
    }
  }
}

TEST(ConfigurationReaderRobustness, EverySuffixOfTheGoldenText) {
  const std::string golden = GoldenText();
  for (std::size_t start = 0; start < golden.size(); ++start) {
    TextStore store;
    const std::string input = golden.substr(start);
    if (store.LoadText(input) == RESULT_OK) ExpectSavedTextLoads(store, input);
  }
}

TEST(ConfigurationReaderRobustness, SeededRandomMutations) {
  std::mt19937 random(kMutationSeed);
  const std::string golden = GoldenText();
  int loaded = 0;
  for (int round = 0; round < kMutationCount; ++round) {
    const std::string input = Mutate(golden, random);
    TextStore store;
    const Result result = store.LoadText(input);
    ASSERT_TRUE(result == RESULT_OK || result == RESULT_BAD_FORMAT) << result;
    if (result == RESULT_OK) {
      ++loaded;
      ExpectSavedTextLoads(store, input);
    }
  }
  // The mutations must leave most texts readable, or they would not exercise the inner readers.
  EXPECT_GT(loaded, kMutationCount / 2);
}
