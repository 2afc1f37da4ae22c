// Process class: an abstract base and the Linux class that reports the process identity.
#pragma once

#include <cstdint>

#include "platform/result.h"

class BaseProcess {
 public:
  virtual ~BaseProcess();
  virtual Result Create();
  virtual Result Destroy();
  virtual Result Start();
  virtual Result Stop();
  static std::int64_t GetCurrentProcessId();
};

// Starting processes is not provided; the class gives the calling process's id.
class LinuxProcess : public BaseProcess {
 public:
  ~LinuxProcess() override;
  static std::int64_t GetCurrentProcessId();
};
