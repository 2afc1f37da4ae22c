// camera_client: finds or addresses a camera, sends control commands, receives its colour and
// disparity stream for a while, writes PNG files and prints what arrived.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "camera_link.h"
#include "client_options.h"
#include "control_commands.h"
#include "discovery.h"
#include "image_receiver.h"

// Pictures go through OpenCV: its writer takes GDAL's driver lock, its pool is TBB's and its core
// sets up shared objects on first use; the thread sanitizer cannot see their own synchronisation
// (uninstrumented), and that code is not ours.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "deadlock:libgdal.so\nrace:libtbb.so\nrace:libopencv_core.so\n";
}
#endif

namespace camera_client {
namespace {

constexpr auto kStreamPoll = std::chrono::milliseconds(20);
constexpr char kClosedBeforeFirstImage[] =
    "the camera closed the connection before the first image (the port may be full; see the camera's log)";
// The simulated camera's frame clock, on which its scene moves.
constexpr int kSceneFrameRate = 20;

std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) { g_stop.store(true); }

void InstallStopSignals() {
  struct sigaction action{};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The library's log lines go to standard error, so standard output holds only the results.
int LogToStandardError(const char*, const char*, ...) __attribute__((format(printf, 2, 3)));
int LogToStandardError(const char*, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  return 0;
}

// Sends the commands in order; true when every one was answered.
bool RunCommands(const CameraLink& link, const std::vector<CommandRequest>& commands) {
  bool all_answered = true;
  for (const CommandRequest& command : commands) {
    if (g_stop.load()) return false;
    const CommandOutcome outcome = RunCommand(link.address(), command);
    printf("%s\n", outcome.line.c_str());
    fflush(stdout);
    all_answered &= outcome.answered;
  }
  return all_answered;
}

// Streams for `seconds` or until interrupted or the camera goes; true when the stream ran clean.
bool Stream(CameraLink& link, const ClientOptions& options) {
  std::error_code error;
  std::filesystem::create_directories(options.out_dir, error);
  if (error) {
    fprintf(stderr, "camera_client: cannot create %s: %s\n", options.out_dir.c_str(), error.message().c_str());
    return false;
  }
  ReceiverSettings settings;
  settings.out_dir = options.out_dir;
  settings.png_every = options.png_every;
  settings.scene_check = options.scene_check;
  settings.scene_frame_rate = kSceneFrameRate;
  ImageReceiver receiver(settings);
  QELTMRegisterRecvImageFunc(ImageReceiver::OnImage, link.channel(), &receiver);

  bool camera_gone = false;
  receiver.StreamRequested(WallClockMicros());
  const int start_rc = link.StartStream();
  if (start_rc != kQeltOk) {
    fprintf(stderr, "camera_client: stream start request failed rc=%d\n", start_rc);
  } else {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    while (!g_stop.load() && std::chrono::steady_clock::now() < end) {
      if (!link.StreamConnected()) {
        camera_gone = true;  // said below, with whether any image came first
        break;
      }
      std::this_thread::sleep_for(kStreamPoll);
    }
    if (!camera_gone) link.StopStream();
  }
  // Disconnecting stops the receive channel, so the summary below sees no more images.
  link.Disconnect();
  receiver.Finish();
  const StreamSummary summary = receiver.Summary();
  // A camera that serves a port to its cap of streaming clients closes a newcomer at once.
  const bool no_image = summary.colour.frames() == 0 && summary.disparity.frames() == 0;
  if ((camera_gone || start_rc != kQeltOk) && no_image) {
    fprintf(stderr, "camera_client: %s\n", kClosedBeforeFirstImage);
  } else if (camera_gone) {
    fprintf(stderr, "camera_client: the camera closed the image stream\n");
  }
  printf("%s", SummaryLines(summary, options.scene_check).c_str());
  fflush(stdout);
  return start_rc == kQeltOk && !camera_gone && summary.colour.frames() > 0 && summary.disparity.frames() > 0 &&
         summary.decode_errors == 0;
}

int Run(const ClientOptions& options) {
  const CameraPorts ports = PortsFromBase(options.base_port);
  const int role_rc = StartClientRole(ports);
  if (role_rc != kQeltOk) {
    fprintf(stderr, "camera_client: cannot start the image client role rc=%d\n", role_rc);
    return kExitFailure;
  }
  std::string address = options.address;
  if (options.discover_seconds >= 0) {
    const std::vector<FoundCamera> cameras = DiscoverCameras(options.discover_seconds, g_stop);
    for (const FoundCamera& camera : cameras) printf("device %s type %u\n", camera.address.c_str(), camera.device_type);
    fflush(stdout);
    if (cameras.empty()) {
      fprintf(stderr, "camera_client: no camera answered within %d s\n", options.discover_seconds);
      StopClientRole();
      return kExitNoCamera;
    }
    address = cameras.front().address;
  }

  int status = kExitOk;
  {
    CameraLink link(address, ports);
    const int connect_rc = link.Connect();
    if (connect_rc != kQeltOk) {
      fprintf(stderr, "camera_client: cannot connect to %s (image port %u, control port %u) rc=%d\n", address.c_str(),
              ports.image, ports.control, connect_rc);
      status = kExitFailure;
    } else {
      if (!RunCommands(link, options.commands)) status = kExitFailure;
      if (options.seconds > 0 && !Stream(link, options)) status = kExitFailure;
    }
  }
  StopClientRole();
  return status;
}

}  // namespace
}  // namespace camera_client

int main(int argc, char** argv) {
  using namespace camera_client;
  ClientOptions options;
  std::string error;
  if (!ParseClientOptions(argc, argv, &options, &error)) {
    fprintf(stderr, "camera_client: %s\n%s", error.c_str(), UsageText());
    return kExitBadArguments;
  }
  InstallStopSignals();
  QELTMRegisterLogImageFunc(LogToStandardError);
  return Run(options);
}
