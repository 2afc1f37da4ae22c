// Helpers of the end-to-end tests: ports, board root, the service as a child process, the client run.
#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "test_support/board_root.h"
#include "test_support/loopback.h"

namespace {

// Below the kernel's ephemeral range, so ports handed out for outgoing connections never collide.
constexpr unsigned kFirstCandidatePort = 20000;
constexpr unsigned kCandidatePortSpan = 12000;
constexpr unsigned kPortsPerService = 5;
constexpr int kPortPickAttempts = 200;

constexpr int kServingWaitSeconds = 60;  // start-up under the sanitizers on a loaded machine
constexpr int kTerminateWaitSeconds = 20;
constexpr auto kPollInterval = std::chrono::milliseconds(50);
constexpr int kTcpListenState = 0x0A;
constexpr int kOnePageBytes = 4096;
constexpr int kUdpUnconnectedState = 0x07;

constexpr char kConfigurationName[] = "default_video_stereo_server_configuration.xml";
constexpr char kBoardConfigurationFolder[] = "/system/etc/";
constexpr char kUserConfigurationName[] = "user_video_stereo_server_configuration.xml";

using Clock = std::chrono::steady_clock;

using test_support::PortFree;

// True when /proc/net/`table` lists a socket on local `port` in `state` (this network namespace).
bool SocketInState(const char* table, unsigned port, int state) {
  std::ifstream in(std::string("/proc/net/") + table);
  std::string line;
  std::getline(in, line);  // column heads
  while (std::getline(in, line)) {
    unsigned slot = 0;
    unsigned address = 0;
    unsigned local_port = 0;
    unsigned remote_address = 0;
    unsigned remote_port = 0;
    unsigned socket_state = 0;
    if (std::sscanf(line.c_str(), " %u: %x:%x %x:%x %x", &slot, &address, &local_port, &remote_address,
                    &remote_port, &socket_state) == 6 &&
        local_port == port && static_cast<int>(socket_state) == state) {
      return true;
    }
  }
  return false;
}

bool Serving(const ServicePorts& ports) {
  return SocketInState("tcp", ports.norb_image(), kTcpListenState) &&
         SocketInState("tcp", ports.yrd_image(), kTcpListenState) &&
         SocketInState("tcp", ports.control(), kTcpListenState) &&
         SocketInState("udp", ports.broadcast(), kUdpUnconnectedState);
}

// The heartbeat socket opens as the last step of start-up, after the camera pipeline has started.
bool StartedUp(const ServicePorts& ports) { return SocketInState("udp", ports.local_heartbeat(), kUdpUnconnectedState); }

// Forks and runs `program` in `work_folder` with its output in `output_path` (its standard error on
// `error_fd` instead when that is not -1, and its standard output on `output_fd` when that is not
// -1); the child's pid.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, const std::string& work_folder,
            const std::string& output_path, const std::string& board_root, int error_fd = -1, int output_fd = -1) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child != 0) return child;
  // Ends with the test even when the test itself is killed (a time-out), so nothing is left running.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int output = output_fd >= 0 ? output_fd : open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0 || dup2(output, STDOUT_FILENO) < 0 || dup2(error_fd < 0 ? output : error_fd, STDERR_FILENO) < 0) {
    _exit(126);
  }
  if (chdir(work_folder.c_str()) != 0) _exit(126);
  if (!board_root.empty()) setenv("BOARD_ROOT", board_root.c_str(), 1);
  execv(program.c_str(), argv.data());
  _exit(127);
}

// Waits up to `seconds` for the child to end; its wait status, or -1 while it still runs.
int WaitFor(pid_t child, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    const pid_t ended = waitpid(child, &status, WNOHANG);
    if (ended == child) return status;
    if (ended < 0 || Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(kPollInterval);
  }
}

void KillAndReap(pid_t child) {
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
}

}  // namespace

ServicePorts PickFreeServicePorts() {
  std::mt19937 random(static_cast<unsigned>(getpid()) ^
                      static_cast<unsigned>(Clock::now().time_since_epoch().count()));
  std::uniform_int_distribution<unsigned> pick(0, kCandidatePortSpan / kPortsPerService - 1);
  for (int attempt = 0; attempt < kPortPickAttempts; ++attempt) {
    ServicePorts ports;
    ports.base = kFirstCandidatePort + pick(random) * kPortsPerService;
    if (PortFree(SOCK_STREAM, ports.norb_image()) && PortFree(SOCK_STREAM, ports.yrd_image()) &&
        PortFree(SOCK_STREAM, ports.control()) && PortFree(SOCK_DGRAM, ports.broadcast()) &&
        PortFree(SOCK_DGRAM, ports.local_heartbeat())) {
      return ports;
    }
  }
  return ServicePorts{};
}

std::string ServiceConfiguration(const ServicePorts& ports, const std::string& server_address, unsigned daemon_port) {
  std::string text = ShippedConfiguration();
  text = WithValue(text, "server_addr", server_address);
  text = WithValue(text, "server_port", std::to_string(ports.base));
  text = WithValue(text, "local_heartbeat_socket_port", std::to_string(ports.local_heartbeat()));
  text = WithValue(text, "daemon_listen_socket_port", std::to_string(daemon_port));
  return text;
}

TestBoardRoot::TestBoardRoot(const std::string& configuration_text) {
  const std::string configuration = folder_.File(kConfigurationName);
  WriteWholeFile(configuration, configuration_text);
  ok_ = !folder_.path().empty() &&
        test_support::LayOutBoardRoot(folder_.path(),
                                      {configuration + "=" + kBoardConfigurationFolder + kConfigurationName,
                                       std::string(SIM_CALIBRATION_FILE) + "=/system/etc/sim_module_calibration.yml",
                                       std::string(SIM_CAMERA_SETTINGS_FILE) + "=/system/etc/sim_camera.conf"});
}

std::string TestBoardRoot::UserConfigurationPath() const {
  return File(std::string(kBoardConfigurationFolder) + kUserConfigurationName);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) KillAndReap(pid_);
  CloseErrorPipe();
}

bool ServiceProcess::Start(const std::string& board_root, const std::string& work_folder, ServiceOutput output) {
  output_path_ = work_folder + "/quarnel-output.txt";
  int pipe_ends[2] = {-1, -1};
  const bool to_pipe = output != ServiceOutput::kFile;
  if (to_pipe && pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
  const bool one_page = output == ServiceOutput::kAllToOnePagePipe;
  if (one_page && fcntl(pipe_ends[1], F_SETPIPE_SZ, kOnePageBytes) <= 0) return false;
  pid_ = Spawn(QUARNEL_PROGRAM, {}, work_folder, output_path_, board_root, pipe_ends[1], one_page ? pipe_ends[1] : -1);
  if (to_pipe) {
    close(pipe_ends[1]);
    fcntl(pipe_ends[0], F_SETFL, fcntl(pipe_ends[0], F_GETFL) | O_NONBLOCK);  // the reader's end only
  }
  error_pipe_ = pipe_ends[0];
  return pid_ > 0;
}

std::string ServiceProcess::ReadErrorPipe() {
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while (error_pipe_ >= 0 && (got = read(error_pipe_, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

int ServiceProcess::QueuedInPipe() const {
  int queued = 0;
  return error_pipe_ >= 0 && ioctl(error_pipe_, FIONREAD, &queued) == 0 ? queued : 0;
}

void ServiceProcess::CloseErrorPipe() {
  if (error_pipe_ >= 0) close(error_pipe_);
  error_pipe_ = -1;
}

bool ServiceProcess::WaitUntilServing(const ServicePorts& ports) {
  const auto deadline = Clock::now() + std::chrono::seconds(kServingWaitSeconds);
  while (Clock::now() < deadline) {
    if (!StillRunning()) return false;
    if (Serving(ports) && StartedUp(ports)) return true;
    std::this_thread::sleep_for(kPollInterval);
  }
  return false;
}

bool ServiceProcess::StillRunning() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

int ServiceProcess::Terminate() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int status = WaitFor(pid_, kTerminateWaitSeconds);
  if (status == -1) {
    KillAndReap(pid_);
    pid_ = -1;
    return -1;
  }
  pid_ = -1;
  return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

std::string ServiceProcess::Output() const { return ReadWholeFile(output_path_); }

ProgramRun RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& work_folder, int limit_seconds) {
  const std::string output_path = work_folder + "/" + std::to_string(getpid()) + "-run-output.txt";
  ProgramRun run;
  const pid_t child = Spawn(program, arguments, work_folder, output_path, "");
  if (child < 0) return run;
  const int status = WaitFor(child, limit_seconds);
  if (status == -1) {
    KillAndReap(child);
  } else if (WIFEXITED(status)) {
    run.exit_status = WEXITSTATUS(status);
  }
  run.output = ReadWholeFile(output_path);
  return run;
}

std::vector<std::string> FakeCalls(const std::string& board_root, const std::string& command, int wait_seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(wait_seconds);
  for (;;) {
    std::vector<std::string> calls;
    std::istringstream lines(ReadWholeFile(board_root + "/fake-calls.log"));
    std::string line;
    while (std::getline(lines, line)) {
      if (line.compare(0, command.size(), command) == 0) calls.push_back(line);
    }
    if (!calls.empty() || Clock::now() >= deadline) return calls;
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::string DateArgument(long seconds) {
  const time_t when = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&when, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d%02d%02d%02d%04d.%02d", local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_year + 1900, local.tm_sec);
  return text;
}
