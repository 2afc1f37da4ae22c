// Command 204: moving the disparity offset by tenths and keeping it in the user configuration.
#pragma once

#include <cstdint>

#include "platform/configuration_manager.h"
#include "platform/file_configuration_manager.h"
#include "platform/result.h"

// The offset as the device takes it: a magnitude and a selector (1: positive, 0: negative).
struct DisparityOffset {
  double offset;
  int selector;
};

// The offset after `step` tenths: the signed value plus step / 10 (divided in single precision);
// above 0.05 (single precision, widened) it is positive with selector 1, else its magnitude with
// selector 0.
DisparityOffset NextDisparityOffset(DisparityOffset current, std::int32_t step);
// The reply value of command 204: the offset times ten, truncated towards zero.
std::uint32_t DisparityReplyValue(double offset);
// Writes shift_offset and shift_opt into the store's tree, then saves and syncs the user file
// (replaced through a temporary file and a rename). The first failing write's code; nothing is
// saved then.
Result SaveDisparityOffset(FileConfigurationManager* store, const DisparityOffset& offset);

// A device's status code as this program's: the 32-bit pattern kept, so 0x80000000 stays itself.
template <class Code>
Result DeviceResult(Code code) {
  return static_cast<Result>(static_cast<std::uint32_t>(code));
}

// Reads the device's offset, moves it by `step` tenths and hands it to the device. When the device
// refuses, its old offset stays, nothing is saved and its code is returned; else the new offset is
// saved and `reply_value` set. `reply_value` stays 0 on every failure.
template <class Device>
Result QeltSetDisparityShift(Device* device, FileConfigurationManager* store, std::int32_t step,
                             std::uint32_t* reply_value) {
  if (device == nullptr || store == nullptr || reply_value == nullptr) return RESULT_INVALID_ARGUMENT;
  DisparityOffset current = {0.0, 0};
  auto code = device->GetDisparityOffset(&current.offset, &current.selector);
  if (code != 0) return DeviceResult(code);
  const DisparityOffset next = NextDisparityOffset(current, step);
  code = device->SetDisparityOffset(next.offset, next.selector);
  if (code != 0) return DeviceResult(code);
  const Result result = SaveDisparityOffset(store, next);
  if (result != RESULT_OK) return result;
  *reply_value = DisparityReplyValue(next.offset);
  return RESULT_OK;
}
