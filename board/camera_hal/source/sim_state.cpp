// Inner state of the simulated cameras: the one state object, call logs, open cameras.
#include "sim_state.h"

namespace simcam {

SimState& State() {
  static SimState* state = new SimState();  // outlives every producer thread
  return *state;
}

void Record(int camera, CallRecord record) {
  if (camera < 0 || camera >= kCameraCount) return;
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  std::vector<CallRecord>& log = state.logs[camera];
  // A camera running for hours sends a few commands a frame: the log keeps the newest calls only.
  if (log.size() >= kCallLogLimit) log.erase(log.begin(), log.begin() + kCallLogLimit / 2);
  log.push_back(std::move(record));
}

CallRecord Call(const char* name, int32_t command, int32_t arg1, int32_t arg2, std::string text) {
  CallRecord record;
  record.call = name;
  record.command = command;
  record.arg1 = arg1;
  record.arg2 = arg2;
  record.text = std::move(text);
  return record;
}

SimCamera* CameraOrNull(int index) {
  if (index < 0 || index >= kCameraCount) return nullptr;
  SimState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.cameras[index];
}

}  // namespace simcam
