// Test fakes for the log and the exposure step, recording what the video device asks of them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct ExposureStepCall {
  int width;
  int height;
  std::vector<unsigned char> left;
  std::vector<unsigned char> right;
};

class RecordingFakes {
 public:
  static RecordingFakes& Get();

  void Reset();
  std::vector<std::string> LogLines();
  std::vector<ExposureStepCall> ExposureSteps();
  void SetExposureResult(bool ok);

  // Called by the fakes.
  void AddLogLine(std::string line);
  bool RecordExposureStep(ExposureStepCall call);

 private:
  std::mutex mutex_;
  std::vector<std::string> log_lines_;
  std::vector<ExposureStepCall> exposure_steps_;
  bool exposure_result_ = true;
};
