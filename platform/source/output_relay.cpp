// The output relay: the program's own pipes in place of outputs that could block, drained by one
// thread that writes whole lines on without waiting and counts those it has to drop.
#include "platform/output_relay.h"

#include "output_relay_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <system_error>

namespace {

// Room in each relay pipe: what the program may write while the relay thread is not running.
constexpr int kRelayPipeBytes = 1 << 20;
constexpr std::size_t kReadChunkBytes = 64 * 1024;
// At exit the lines written last get this long to reach the relay.
constexpr auto kExitDrainLimit = std::chrono::milliseconds(1000);
constexpr const char* kThreadName = "OutputRelay";

using relay_detail::CanBlock;
using relay_detail::CloseIfOpen;
using relay_detail::OpenOutputFor;

}  // namespace

OutputRelay::OutputRelay() = default;

OutputRelay::~OutputRelay() { Stop(); }

Result OutputRelay::Start(const std::vector<int>& fds, DroppedOutputReport report) {
  if (thread_.joinable()) return RESULT_NOT_READY;
  int wake[2] = {-1, -1};
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) return RESULT_FAILED;
  wake_read_ = wake[0];
  wake_write_ = wake[1];
  report_ = report;
  for (const int fd : fds) {
    if (!CanBlock(fd)) continue;
    std::unique_ptr<Stream> stream(new (std::nothrow) Stream());
    int ends[2] = {-1, -1};
    if (stream == nullptr || pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) continue;
    stream->fd = fd;
    stream->read_end = ends[0];
    stream->saved = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    stream->output = OpenOutputFor(fd, &stream->kind);
    fcntl(ends[1], F_SETPIPE_SZ, kRelayPipeBytes);  // a smaller pipe only drops sooner
    // dup2 leaves the new descriptor inheritable: the programs this one starts write to the pipe too.
    if (stream->saved < 0 || stream->output < 0 || dup2(ends[1], fd) < 0) {
      CloseIfOpen(stream->saved);
      CloseIfOpen(stream->output);
      CloseIfOpen(stream->read_end);
      close(ends[1]);
      continue;
    }
    close(ends[1]);
    streams_.push_back(std::move(stream));
  }
  try {
    thread_ = std::thread(&OutputRelay::Run, this);
  } catch (const std::system_error&) {
    Stop();
    return RESULT_THREAD_CREATE;
  }
  return RESULT_OK;
}

bool OutputRelay::Relays(int fd) const {
  for (const auto& stream : streams_) {
    if (stream->fd == fd) return true;
  }
  return false;
}

bool OutputRelay::Drain(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) return true;
  const std::uint64_t ticket = ++drain_asked_;
  lock.unlock();
  Wake();
  lock.lock();
  return drained_.wait_for(lock, limit, [&] { return drain_done_ >= ticket; });
}

std::uint64_t OutputRelay::dropped_lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void OutputRelay::Stop() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_asked_ = true;
    }
    Wake();
    thread_.join();
  }
  for (const auto& stream : streams_) {
    if (stream->saved >= 0) dup2(stream->saved, stream->fd);
    CloseIfOpen(stream->saved);
    CloseIfOpen(stream->read_end);
    CloseIfOpen(stream->output);
  }
  streams_.clear();
  CloseIfOpen(wake_read_);
  CloseIfOpen(wake_write_);
}

void OutputRelay::Wake() {
  const char byte = 0;
  const ssize_t ignored = write(wake_write_, &byte, 1);  // a full wake pipe already wakes the thread
  (void)ignored;
}

void OutputRelay::Run() {
  // A broken output is seen as EPIPE here; the program's own SIGPIPE handler never hears of it.
  sigset_t broken_pipe;
  sigemptyset(&broken_pipe);
  sigaddset(&broken_pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
  pthread_setname_np(pthread_self(), kThreadName);

  std::vector<pollfd> waits;
  std::string chunk(kReadChunkBytes, '\0');
  for (;;) {
    waits.assign(1, pollfd{wake_read_, POLLIN, 0});
    for (const auto& stream : streams_) {
      if (!stream->ended) waits.push_back(pollfd{stream->read_end, POLLIN, 0});
      if (!stream->broken && (stream->dropped > 0 || !stream->unfinished.empty()))
        waits.push_back(pollfd{stream->output, POLLOUT, 0});
    }
    if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) break;
    while (read(wake_read_, chunk.data(), chunk.size()) > 0) {
    }
    std::uint64_t asked = 0;
    bool stop = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      asked = drain_asked_;
      stop = stop_asked_;
    }
    std::uint64_t dropped_now = 0;
    for (const auto& stream : streams_) {
      if (!stream->broken) stream->Resume(report_);
      while (!stream->ended) {
        const ssize_t got = read(stream->read_end, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;  // empty for now
        if (got == 0) stream->ended = true;
        stream->partial.append(chunk.data(), static_cast<std::size_t>(got));
        dropped_now += stream->HandLines(report_);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    dropped_ += dropped_now;
    drain_done_ = asked;
    drained_.notify_all();
    if (stop) break;
  }
}

namespace {

OutputRelay* g_program_relay = nullptr;

void DrainProgramRelay() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (g_program_relay != nullptr) g_program_relay->Drain(kExitDrainLimit);
}

}  // namespace

Result StartProgramOutputRelay(DroppedOutputReport report) {
  if (g_program_relay != nullptr) return RESULT_NOT_READY;
  // Never destroyed: the relay runs until the process ends, exit handlers included.
  g_program_relay = new (std::nothrow) OutputRelay();
  if (g_program_relay == nullptr) return RESULT_OUT_OF_MEMORY;
  const Result result = g_program_relay->Start({STDOUT_FILENO, STDERR_FILENO}, report);
  if (result != RESULT_OK) return result;
  if (g_program_relay->Relays(STDOUT_FILENO)) std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::atexit(DrainProgramRelay);
  return RESULT_OK;
}
