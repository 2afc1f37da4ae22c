// The control request's words: kind, command and the data words, read only where the payload holds them.
#pragma once

#include <cstddef>
#include <cstdint>

// Kinds of control payload the handler answers; others are not its to answer.
constexpr std::uint32_t kControlKindRequest = 1;
constexpr std::uint32_t kControlKindAlternate = 3;

// The six commands the service answers.
constexpr std::uint32_t kCommandVersion = 1;
constexpr std::uint32_t kCommandSetSystemTime = 6;
constexpr std::uint32_t kCommandUpgradeControl = 13;
constexpr std::uint32_t kCommandMacAddress = 14;
constexpr std::uint32_t kCommandPassageDirection = 202;
constexpr std::uint32_t kCommandDisparityShift = 204;

// Result of the handler for a request it answered, and for one it did not.
constexpr int kControlHandled = 0;
constexpr int kControlNotHandled = 11;

// Payload words before the data: kind, command, length.
constexpr std::size_t kControlHeaderWords = 3;
constexpr std::size_t kControlWordBytes = 4;

struct ControlRequest {
  std::uint32_t kind;
  std::uint32_t command;
  std::uint32_t first_data_word;   // 0 when the command reads none
  std::uint32_t second_data_word;  // 0 when the command reads fewer than two
};

// How many data words a command reads; 0 for commands that read none or that are unknown.
std::size_t DataWordsOf(std::uint32_t command);

// Reads the big-endian words of `payload`. False, with `request` unspecified, when the payload is
// null, the length negative, or shorter than the header and the data words the command reads:
// such a request is treated like an unknown command.
bool ParseControlRequest(const char* payload, int length, ControlRequest* request);
