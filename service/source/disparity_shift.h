// Command 204: moving the disparity offset by tenths and keeping it in the user configuration.
#pragma once

#include <cstdint>

#include "disparity_offset_range.h"
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
// Reads shift_offset and shift_opt as the store holds them; the first failing read's code.
Result ReadSavedDisparityOffset(FileConfigurationManager* store, DisparityOffset* offset);
// Writes shift_offset and shift_opt into the store's tree, then saves and syncs the user file
// (replaced through a temporary file and a rename). The first failing step's code, each logged.
Result SaveDisparityOffset(FileConfigurationManager* store, const DisparityOffset& offset);
// Puts `saved` back into the tree and the user file after a later step failed (logged, not returned).
void RestoreDisparityOffset(FileConfigurationManager* store, const DisparityOffset& saved);
// Saves `offset` as SaveDisparityOffset does; when that fails, the tree and the user file keep the
// offset they held before, and the failure's code is returned.
Result KeepDisparityOffset(FileConfigurationManager* store, const DisparityOffset& offset);
// RESULT_INVALID_ARGUMENT with its log line for an offset that neither the device nor the loader
// takes (DisparityOffsetInRange), else RESULT_OK.
Result CheckDisparityOffset(const DisparityOffset& offset);

// A device's status code as this program's: the 32-bit pattern kept, so 0x80000000 stays itself.
template <class Code>
Result DeviceResult(Code code) {
  return static_cast<Result>(static_cast<std::uint32_t>(code));
}

// Reads the device's offset and moves it by `step` tenths. An offset out of range is refused
// before anything changes; so is one the device refuses, and nothing is saved. Else the new offset
// is saved into the user file before this returns, so a success is only ever reported for an offset
// the file holds; a save that fails puts the device back to the offset it had (the one the file
// still holds) and returns its code. `reply_value` stays 0 on failure. The control thread waits for
// the save; a peer's burst of these is spread over the server's passes, one connection's share of
// a pass at a time, so other clients are still served between the saves.
template <class Device>
Result QeltSetDisparityShift(Device* device, FileConfigurationManager* store, std::int32_t step,
                             std::uint32_t* reply_value) {
  if (device == nullptr || store == nullptr || reply_value == nullptr) return RESULT_INVALID_ARGUMENT;
  DisparityOffset current = {0.0, 0};
  const auto code = device->GetDisparityOffset(&current.offset, &current.selector);
  if (code != 0) return DeviceResult(code);
  const DisparityOffset next = NextDisparityOffset(current, step);
  Result result = CheckDisparityOffset(next);
  if (result != RESULT_OK) return result;
  result = DeviceResult(device->SetDisparityOffset(next.offset, next.selector));
  if (result != RESULT_OK) return result;
  result = KeepDisparityOffset(store, next);
  if (result != RESULT_OK) {
    device->SetDisparityOffset(current.offset, current.selector);
    return result;
  }
  *reply_value = DisparityReplyValue(next.offset);
  return RESULT_OK;
}
