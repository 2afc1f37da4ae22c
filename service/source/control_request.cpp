// Reading the control request's big-endian words within the payload's length.
#include "control_request.h"

namespace {

std::uint32_t BigEndianWordAt(const char* payload, std::size_t word_index) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(payload) + word_index * kControlWordBytes;
  return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

constexpr std::size_t kCommandWordIndex = 1;
constexpr std::size_t kFirstDataWordIndex = kControlHeaderWords;
constexpr std::size_t kSecondDataWordIndex = kControlHeaderWords + 1;

}  // namespace

std::size_t DataWordsOf(std::uint32_t command) {
  switch (command) {
    case kCommandSetSystemTime:
      return 2;
    case kCommandUpgradeControl:
    case kCommandDisparityShift:
      return 1;
    default:
      return 0;
  }
}

bool ParseControlRequest(const char* payload, int length, ControlRequest* request) {
  if (payload == nullptr || request == nullptr || length < 0) return false;
  const std::size_t available = static_cast<std::size_t>(length);
  if (available < kControlHeaderWords * kControlWordBytes) return false;
  request->kind = BigEndianWordAt(payload, 0);
  request->command = BigEndianWordAt(payload, kCommandWordIndex);
  const std::size_t data_words = DataWordsOf(request->command);
  if (available < (kControlHeaderWords + data_words) * kControlWordBytes) return false;
  request->first_data_word = data_words >= 1 ? BigEndianWordAt(payload, kFirstDataWordIndex) : 0;
  request->second_data_word = data_words >= 2 ? BigEndianWordAt(payload, kSecondDataWordIndex) : 0;
  return true;
}
