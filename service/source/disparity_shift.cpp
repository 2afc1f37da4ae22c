// Command 204: moving the disparity offset by tenths and keeping it in the user configuration.
#include "disparity_shift.h"

#include "platform/configuration_nodes.h"
#include "qelt_log.h"

namespace {

constexpr const char* kLogTag = "main";
constexpr const char* kConfigurationName = "default_configuration";
constexpr const char* kModuleName = "stream_center";
constexpr const char* kShiftOffsetKey = "shift_offset";
constexpr const char* kShiftSelectorKey = "shift_opt";
constexpr float kStepsPerUnit = 10.0f;
constexpr float kPositiveThreshold = 0.05f;
constexpr double kReplyStepsPerUnit = 10.0;

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

Result SaveDisparityOffset(FileConfigurationManager* store, const DisparityOffset& offset) {
  if (store == nullptr) return RESULT_INVALID_ARGUMENT;
  Result result = store->SetValue(kConfigurationName, kModuleName, kShiftOffsetKey, RECORD_TYPE_DOUBLE,
                                  &offset.offset, sizeof(offset.offset));
  if (result != RESULT_OK) {
    PrintLog(kLogTag, "QeltSetDisparityShift, save %s configuration failed\n", kShiftOffsetKey);
    return result;
  }
  PrintLog(kLogTag, "%s=%f\n", kShiftOffsetKey, offset.offset);
  const std::int32_t selector = offset.selector;
  result = store->SetValue(kConfigurationName, kModuleName, kShiftSelectorKey, RECORD_TYPE_INTEGER, &selector,
                           sizeof(selector));
  if (result != RESULT_OK) {
    PrintLog(kLogTag, "QeltSetDisparityShift, save %s configuration failed\n", kShiftSelectorKey);
    return result;
  }
  PrintLog(kLogTag, "%s=%d\n", kShiftSelectorKey, offset.selector);
  store->Save();
  store->Sync();
  return RESULT_OK;
}
