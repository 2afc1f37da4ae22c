// Recording fakes of the log entry point and the one-shot exposure step.
#include "recording_fakes.h"

#include <cstdarg>
#include <cstdio>

RecordingFakes& RecordingFakes::Get() {
  static RecordingFakes fakes;
  return fakes;
}

void RecordingFakes::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_lines_.clear();
  exposure_steps_.clear();
  exposure_result_ = true;
}

std::vector<std::string> RecordingFakes::LogLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_lines_;
}

std::vector<ExposureStepCall> RecordingFakes::ExposureSteps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return exposure_steps_;
}

void RecordingFakes::SetExposureResult(bool ok) {
  std::lock_guard<std::mutex> lock(mutex_);
  exposure_result_ = ok;
}

void RecordingFakes::AddLogLine(std::string line) {
  std::lock_guard<std::mutex> lock(mutex_);
  log_lines_.push_back(std::move(line));
}

bool RecordingFakes::RecordExposureStep(ExposureStepCall call) {
  std::lock_guard<std::mutex> lock(mutex_);
  exposure_steps_.push_back(std::move(call));
  return exposure_result_;
}

extern "C" void _PrintLog(const char* tag, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  RecordingFakes::Get().AddLogLine(std::string(tag) + ": " + text);
}

extern "C" bool cam_exposure_process(int width, int height, unsigned char* left, unsigned char* right) {
  const size_t size = static_cast<size_t>(width) * height;
  return RecordingFakes::Get().RecordExposureStep(
      {width, height, std::vector<unsigned char>(left, left + size), std::vector<unsigned char>(right, right + size)});
}
