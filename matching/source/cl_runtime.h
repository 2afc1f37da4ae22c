// The matcher's one OpenCL environment (context, queues, built program) and its error reporting.
#pragma once

#include <CL/opencl.hpp>

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>
#include "library_export.h"

// Process-wide OpenCL objects, empty until clInit runs; released at process exit.
LIBRARY_EXPORT extern cl::Context context;
LIBRARY_EXPORT extern cl::Program program;
LIBRARY_EXPORT extern std::vector<cl::CommandQueue> commandQueues;  // one per chosen device; pipelines use element 0
LIBRARY_EXPORT extern std::vector<std::string> sourceFileNames;     // the name recorded for the kernel source
LIBRARY_EXPORT extern std::map<int, std::string> clErrorCodes;      // OpenCL status code -> symbolic name

// Fills clErrorCodes with the 59 status codes of OpenCL 1.2.
LIBRARY_EXPORT void clErrorCodesInit();
// Sets the name stored for one status code.
LIBRARY_EXPORT void clSetErrorCode(int code, const std::string& name);
// The name stored for a status code; an unknown code gets (and returns) an empty entry.
LIBRARY_EXPORT std::string& clGetErrorCode(int code);

// Chooses platforms and devices by bit masks (bit i selects entry i, modulo 64), reports them on
// standard output, and creates the context, one queue per chosen device and the built program. A repeat
// that chooses the same devices keeps the context, queues and program of the earlier call.
// Failures raise cl::Error.
LIBRARY_EXPORT void clInit(unsigned long platform_mask, unsigned long device_mask);

// As clInit, with a given program source instead of the embedded kernel program.
void clInitWithSource(unsigned long platform_mask, unsigned long device_mask, const std::string& source);

// Reports an OpenCL failure on standard error and ends the process with its status.
[[noreturn]] void clReportAndExit(const cl::Error& error);

// Runs one OpenCL step; an OpenCL failure inside it is reported and ends the process.
template <typename Function, typename... Args>
void clCatch(Function&& function, Args&&... args) {
  try {
    std::forward<Function>(function)(std::forward<Args>(args)...);
  } catch (const cl::Error& error) {
    clReportAndExit(error);
  }
}
