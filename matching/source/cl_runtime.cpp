// OpenCL set-up: platform and device inventory, context, queues, the built kernel program, and the
// report-and-exit of a failed OpenCL step.
#include "cl_runtime.h"

#include <algorithm>
#include <iostream>

#include "cl_platform_choice.h"

#include "sgm_opencl_source.h"

cl::Context context;
cl::Program program;
std::vector<cl::CommandQueue> commandQueues;
std::vector<std::string> sourceFileNames{"sgm_opencl.cl"};

namespace {

constexpr unsigned kMaskBits = 64;

// Whether bit `index` (modulo 64) of a selection mask is set.
bool Selected(unsigned long mask, std::size_t index) { return (mask >> (index % kMaskBits)) & 1UL; }

// Lists every platform, prints its description and returns those the mask selects.
std::vector<cl::Platform> SelectPlatforms(unsigned long platform_mask) {
  std::vector<cl::Platform> platforms;
  cl::Platform::get(&platforms);
  // The driver loader reports "no platform" with this status; a runtime that answers with an empty
  // list gets the same report.
  if (platforms.empty()) throw cl::Error(CL_PLATFORM_NOT_FOUND_KHR, "clGetPlatformIDs");
  std::cout << "clPlatformsSize: " << platforms.size() << std::endl;
  std::vector<cl::Platform> selected;
  for (std::size_t i = 0; i < platforms.size(); ++i) {
    const cl::Platform& platform = platforms[i];
    std::cout << "clPlatformCount      : " << i << std::endl;
    std::cout << "clPlatformVendor     : " << platform.getInfo<CL_PLATFORM_VENDOR>() << std::endl;
    std::cout << "clPlatformName       : " << platform.getInfo<CL_PLATFORM_NAME>() << std::endl;
    std::cout << "clPlatformVersion    : " << platform.getInfo<CL_PLATFORM_VERSION>() << std::endl;
    std::cout << "clPlatformProfile    : " << platform.getInfo<CL_PLATFORM_PROFILE>() << std::endl;
    std::cout << "clPlatformExtensions : " << platform.getInfo<CL_PLATFORM_EXTENSIONS>() << std::endl;
    if (Selected(platform_mask, i)) selected.push_back(platform);
  }
  std::cout << std::endl;
  return selected;
}

// Whether the platform offers a GPU device; the wrapper answers "no device" with an empty list or, in
// some versions, with CL_DEVICE_NOT_FOUND.
bool HasGpu(const cl::Platform& platform) {
  std::vector<cl::Device> gpus;
  try {
    platform.getDevices(CL_DEVICE_TYPE_GPU, &gpus);
  } catch (const cl::Error& error) {
    if (error.err() != CL_DEVICE_NOT_FOUND) throw;
    return false;
  }
  return !gpus.empty();
}

// The devices of the selected platforms that cl_choose_platforms ranks first: the GPU devices of the
// newest platforms with a GPU, or, without any GPU, the default-type devices of the newest platforms.
std::vector<cl::Device> DevicesOfNewestPlatforms(const std::vector<cl::Platform>& platforms) {
  std::vector<ClPlatformDescription> descriptions;
  for (const cl::Platform& platform : platforms)
    descriptions.push_back({platform.getInfo<CL_PLATFORM_VERSION>(), HasGpu(platform)});
  const ClPlatformChoice choice = cl_choose_platforms(descriptions);
  std::cout << "clPlatformVersionMax : " << choice.newest << std::endl;
  std::vector<cl::Device> devices;
  for (const std::size_t index : choice.platforms) {
    std::vector<cl::Device> platform_devices;
    platforms[index].getDevices(choice.gpu ? CL_DEVICE_TYPE_GPU : CL_DEVICE_TYPE_DEFAULT, &platform_devices);
    // The wrapper answers "no device" with an empty list; it is a failure of the device query.
    if (platform_devices.empty()) throw cl::Error(CL_DEVICE_NOT_FOUND, "clGetDeviceIDs");
    std::cout << "clPlatformDevicesSize: " << platform_devices.size() << std::endl;
    devices.insert(devices.end(), platform_devices.begin(), platform_devices.end());
  }
  std::cout << std::endl;
  return devices;
}

// Prints every device and returns those the mask selects (availability is reported only).
std::vector<cl::Device> ChooseDevices(const std::vector<cl::Device>& devices, unsigned long device_mask) {
  std::cout << "clDevicesSize: " << devices.size() << std::endl;
  std::vector<cl::Device> chosen;
  for (std::size_t j = 0; j < devices.size(); ++j) {
    const cl::Device& device = devices[j];
    std::cout << "clDeviceCount            : " << j << std::endl;
    std::cout << "clDeviceName             : " << device.getInfo<CL_DEVICE_NAME>() << std::endl;
    std::cout << "clDeviceMaxWorkItemSizes : [";
    for (const auto size : device.getInfo<CL_DEVICE_MAX_WORK_ITEM_SIZES>()) std::cout << " " << size;
    std::cout << " ]" << std::endl;
    std::cout << "clDeviceMaxWorkGroupSize : " << device.getInfo<CL_DEVICE_MAX_WORK_GROUP_SIZE>() << std::endl;
    std::cout << "clDeviceAvailable        : " << (device.getInfo<CL_DEVICE_AVAILABLE>() ? 1 : 0) << std::endl;
    if (Selected(device_mask, j)) chosen.push_back(device);
  }
  std::cout << std::endl;
  std::cout << "clValidDevicesSize: " << chosen.size() << std::endl;
  return chosen;
}

// Builds the program for the chosen devices; a failed build prints the first device's build log.
void BuildProgram(const std::vector<cl::Device>& devices) {
  try {
    program.build(devices);
  } catch (const cl::Error& error) {
    if (error.err() != CL_BUILD_PROGRAM_FAILURE) throw;
    std::cout << program.getBuildInfo<CL_PROGRAM_BUILD_LOG>(devices.front()) << std::endl;
    throw;
  }
}

// Whether the context, queues and program of an earlier set-up already serve exactly these devices with a program
// built from this source. A repeated set-up then keeps them: rebuilding an identical program costs time, and
// every build leaves the runtime's compiler allocations behind in the heap.
bool CurrentObjectsServe(const std::vector<cl::Device>& chosen, const std::string& source) {
  if (context() == nullptr || program() == nullptr || commandQueues.size() != chosen.size()) return false;
  auto same = [](const cl::Device& a, const cl::Device& b) { return a() == b(); };
  try {
    const std::vector<cl::Device> devices = context.getInfo<CL_CONTEXT_DEVICES>();
    if (!std::equal(devices.begin(), devices.end(), chosen.begin(), chosen.end(), same)) return false;
    for (std::size_t i = 0; i < chosen.size(); ++i) {
      if (commandQueues[i].getInfo<CL_QUEUE_CONTEXT>()() != context() ||
          commandQueues[i].getInfo<CL_QUEUE_DEVICE>()() != chosen[i]())
        return false;
    }
    if (program.getInfo<CL_PROGRAM_CONTEXT>()() != context()) return false;
    for (const cl::Device& device : chosen) {
      if (program.getBuildInfo<CL_PROGRAM_BUILD_STATUS>(device) != CL_BUILD_SUCCESS) return false;
    }
    return program.getInfo<CL_PROGRAM_SOURCE>() == source;
  } catch (const cl::Error&) {
    return false;  // objects the runtime no longer answers for are made anew
  }
}

}  // namespace

void clInitWithSource(unsigned long platform_mask, unsigned long device_mask, const std::string& source) {
  clErrorCodesInit();
  const std::vector<cl::Platform> platforms = SelectPlatforms(platform_mask);
  const std::vector<cl::Device> chosen = ChooseDevices(DevicesOfNewestPlatforms(platforms), device_mask);

  const bool kept = CurrentObjectsServe(chosen, source);
  if (!kept) {
    context = cl::Context(chosen);
    // A repeated set-up starts a fresh queue list: the pipelines launch on element 0, which must be a
    // queue of the current context.
    commandQueues.clear();
    for (const cl::Device& device : chosen) commandQueues.emplace_back(context, device, 0);
  }
  std::cout << "clCommandQueuesSize: " << commandQueues.size() << std::endl << std::endl;
  if (kept) return;

  program = cl::Program(context, source);
  BuildProgram(chosen);
}

void clInit(unsigned long platform_mask, unsigned long device_mask) {
  clInitWithSource(platform_mask, device_mask, kSgmOpenclSource);
}

void clReportAndExit(const cl::Error& error) {
  const int status = error.err();
  std::cerr << "clError: err : " << clGetErrorCode(status) << " (" << status << ")" << std::endl;
  std::cerr << "clError: what: " << error.what() << std::endl;
  std::exit(status);
}
