// Command 204: moving the disparity offset by tenths and keeping it in the user configuration.
#include "disparity_shift.h"

#include "platform/configuration_nodes.h"
#include "qelt_log.h"
#include "request_line_limit.h"

namespace {

constexpr const char* kLogTag = "main";
constexpr const char* kConfigurationName = "default_configuration";
constexpr const char* kModuleName = "stream_center";
constexpr const char* kShiftOffsetKey = "shift_offset";
constexpr const char* kShiftSelectorKey = "shift_opt";
constexpr float kStepsPerUnit = 10.0f;
constexpr float kPositiveThreshold = 0.05f;
constexpr double kReplyStepsPerUnit = 10.0;

// A status code as its 32-bit pattern, for the log.
unsigned Code(Result result) { return static_cast<std::uint32_t>(result); }

// Writes both keys into the tree, then saves and syncs; with `report` every step is logged.
Result WriteDisparityOffset(FileConfigurationManager* store, const DisparityOffset& offset, bool report) {
  Result result = store->SetValue(kConfigurationName, kModuleName, kShiftOffsetKey, RECORD_TYPE_DOUBLE,
                                  &offset.offset, sizeof(offset.offset));
  if (result != RESULT_OK) {
    if (report) PrintLog(kLogTag, "QeltSetDisparityShift, save %s configuration failed\n", kShiftOffsetKey);
    return result;
  }
  if (report) PrintLog(kLogTag, "%s=%f\n", kShiftOffsetKey, offset.offset);
  const std::int32_t selector = offset.selector;
  result = store->SetValue(kConfigurationName, kModuleName, kShiftSelectorKey, RECORD_TYPE_INTEGER, &selector,
                           sizeof(selector));
  if (result != RESULT_OK) {
    if (report) PrintLog(kLogTag, "QeltSetDisparityShift, save %s configuration failed\n", kShiftSelectorKey);
    return result;
  }
  if (report) PrintLog(kLogTag, "%s=%d\n", kShiftSelectorKey, offset.selector);
  result = store->Save();
  if (result != RESULT_OK) {
    if (report) PrintLog(kLogTag, "QeltSetDisparityShift, save user configuration failed, Ret=0x%08x\n", Code(result));
    return result;
  }
  result = store->Sync();
  if (result != RESULT_OK && report)
    PrintLog(kLogTag, "QeltSetDisparityShift, sync user configuration failed, Ret=0x%08x\n", Code(result));
  return result;
}

}  // namespace

DisparityOffset NextDisparityOffset(DisparityOffset current, std::int32_t step) {
  const double sign = current.selector != 0 ? 1.0 : -1.0;
  const double value = current.offset * sign + static_cast<double>(static_cast<float>(step) / kStepsPerUnit);
  if (value > static_cast<double>(kPositiveThreshold)) return {value, 1};
  return {-value, 0};
}

std::uint32_t DisparityReplyValue(double offset) {
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(offset * kReplyStepsPerUnit));
}

Result ReadSavedDisparityOffset(FileConfigurationManager* store, DisparityOffset* offset) {
  if (store == nullptr || offset == nullptr) return RESULT_INVALID_ARGUMENT;
  std::uint32_t length = sizeof(offset->offset);
  Result result = store->GetValue(kConfigurationName, kModuleName, kShiftOffsetKey, RECORD_TYPE_DOUBLE,
                                  &offset->offset, &length);
  if (result != RESULT_OK) {
    PrintLog(kLogTag, "QeltSetDisparityShift, save %s configuration failed\n", kShiftOffsetKey);
    return result;
  }
  std::int32_t selector = 0;
  length = sizeof(selector);
  result = store->GetValue(kConfigurationName, kModuleName, kShiftSelectorKey, RECORD_TYPE_INTEGER, &selector,
                           &length);
  if (result != RESULT_OK) {
    PrintLog(kLogTag, "QeltSetDisparityShift, save %s configuration failed\n", kShiftSelectorKey);
    return result;
  }
  offset->selector = selector;
  return RESULT_OK;
}

Result SaveDisparityOffset(FileConfigurationManager* store, const DisparityOffset& offset) {
  if (store == nullptr) return RESULT_INVALID_ARGUMENT;
  return WriteDisparityOffset(store, offset, true);
}

void RestoreDisparityOffset(FileConfigurationManager* store, const DisparityOffset& saved) {
  if (store == nullptr) return;
  const Result result = WriteDisparityOffset(store, saved, false);
  if (result != RESULT_OK)
    PrintLog(kLogTag, "QeltSetDisparityShift, restore %s=%f %s=%d failed, Ret=0x%08x\n", kShiftOffsetKey, saved.offset,
             kShiftSelectorKey, saved.selector, Code(result));
}

Result KeepDisparityOffset(FileConfigurationManager* store, const DisparityOffset& offset) {
  DisparityOffset saved = {0.0, 0};
  Result result = ReadSavedDisparityOffset(store, &saved);
  if (result != RESULT_OK) return result;
  result = SaveDisparityOffset(store, offset);
  if (result != RESULT_OK) RestoreDisparityOffset(store, saved);
  return result;
}

Result CheckDisparityOffset(const DisparityOffset& offset) {
  if (DisparityOffsetInRange(offset.offset)) return RESULT_OK;
  static RequestLineLimit limit(kLogTag, "QeltSetDisparityShift, %llu more refused offsets not logged\n");
  if (limit.Allow())
    PrintLog(kLogTag, "QeltSetDisparityShift, %s=%f is out of range, accepted %.0f to %.0f\n", kShiftOffsetKey,
             offset.offset, -kDisparityOffsetLimitRows, kDisparityOffsetLimitRows);
  return RESULT_INVALID_ARGUMENT;
}
