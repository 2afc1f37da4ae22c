// Control payload reading: big-endian words, and payloads too short for their command refused.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "control_request.h"
#include "test_support/control_request_bytes.h"

namespace {

constexpr auto Words = &test_support::BigEndianWords<char>;

// Parses the first `length` bytes from a heap block of exactly that size, so a read past it is caught.
bool ParsePrefix(const std::vector<char>& bytes, std::size_t length, ControlRequest* request) {
  std::unique_ptr<char[]> exact(new char[length == 0 ? 1 : length]);
  std::memcpy(exact.get(), bytes.data(), length);
  return ParseControlRequest(exact.get(), static_cast<int>(length), request);
}

TEST(ControlRequest, ReadsBigEndianWords) {
  const auto bytes = Words({1, 6, 8, 0x01020304, 0xA0B0C0D0});
  ControlRequest request = {};
  ASSERT_TRUE(ParseControlRequest(bytes.data(), static_cast<int>(bytes.size()), &request));
  EXPECT_EQ(request.kind, 1u);
  EXPECT_EQ(request.command, 6u);
  EXPECT_EQ(request.first_data_word, 0x01020304u);
  EXPECT_EQ(request.second_data_word, 0xA0B0C0D0u);
}

TEST(ControlRequest, EveryPrefixShorterThanTheCommandNeedsIsRefused) {
  struct Case {
    std::uint32_t command;
    std::size_t data_words;
  };
  for (const Case& c : {Case{kCommandVersion, 0}, Case{kCommandSetSystemTime, 2}, Case{kCommandUpgradeControl, 1},
                        Case{kCommandMacAddress, 0}, Case{kCommandPassageDirection, 0},
                        Case{kCommandDisparityShift, 1}}) {
    const auto bytes = Words({1, c.command, 8, 7, 9});
    const std::size_t needed = (kControlHeaderWords + c.data_words) * kControlWordBytes;
    for (std::size_t length = 0; length < needed; ++length) {
      ControlRequest request = {};
      EXPECT_FALSE(ParsePrefix(bytes, length, &request)) << "command " << c.command << " length " << length;
    }
    ControlRequest request = {};
    EXPECT_TRUE(ParsePrefix(bytes, needed, &request)) << "command " << c.command;
  }
}

TEST(ControlRequest, NullOrNegativeLengthIsRefused) {
  const auto bytes = Words({1, 1, 0});
  ControlRequest request = {};
  EXPECT_FALSE(ParseControlRequest(nullptr, 12, &request));
  EXPECT_FALSE(ParseControlRequest(bytes.data(), -1, &request));
}

TEST(ControlRequest, CommandsWithoutDataReadNoDataWords) {
  const auto bytes = Words({3, kCommandPassageDirection, 0});
  ControlRequest request = {};
  ASSERT_TRUE(ParsePrefix(bytes, bytes.size(), &request));
  EXPECT_EQ(request.kind, 3u);
  EXPECT_EQ(request.first_data_word, 0u);
  EXPECT_EQ(request.second_data_word, 0u);
}

}  // namespace
