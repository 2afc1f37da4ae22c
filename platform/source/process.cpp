// LinuxProcess: the identity of the calling process.
#include "platform/process.h"

#include <unistd.h>

std::int64_t BaseProcess::GetCurrentProcessId() { return LinuxProcess::GetCurrentProcessId(); }

LinuxProcess::~LinuxProcess() = default;

std::int64_t LinuxProcess::GetCurrentProcessId() { return static_cast<std::int64_t>(getpid()); }
