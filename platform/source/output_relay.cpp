// The output relay: the program's own pipes in place of outputs that could block, drained by one
// thread that writes whole lines on without waiting and counts those it has to drop.
#include "platform/output_relay.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
// A line longer than this is handed on in pieces of this size.
constexpr std::size_t kLongestLineBytes = 64 * 1024;
// At exit the lines written last get this long to reach the relay.
constexpr auto kExitDrainLimit = std::chrono::milliseconds(1000);
constexpr const char* kThreadName = "OutputRelay";

// How the relay writes to an output without waiting for it.
enum class OutputKind {
  kOwnDescription,  // a description of its own, non-blocking: pipes and terminals
  kSocket,          // sends that do not wait
  kShared,          // a copy of the program's description: written only when poll says it takes a page
};

bool CanBlock(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(fd) == 1;
}

bool IsSocket(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
}

// A description of the output for the relay alone, so that the program's own (which its parent
// and children share) keeps its blocking mode.
int OpenOutputFor(int fd, OutputKind* kind) {
  if (IsSocket(fd)) {
    *kind = OutputKind::kSocket;
    return fcntl(fd, F_DUPFD_CLOEXEC, 0);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int own = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (own >= 0) {
    *kind = OutputKind::kOwnDescription;
    return own;
  }
  *kind = OutputKind::kShared;
  return fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

const char* StreamName(int fd) {
  if (fd == STDOUT_FILENO) return "standard output";
  if (fd == STDERR_FILENO) return "standard error";
  return "an output";
}

// A SIGPIPE that a write of the relay raised is taken back: the relay notes the broken output itself.
void DiscardPendingBrokenPipe() {
  sigset_t broken_pipe;
  sigemptyset(&broken_pipe);
  sigaddset(&broken_pipe, SIGPIPE);
  const timespec no_wait{0, 0};
  while (sigtimedwait(&broken_pipe, nullptr, &no_wait) == SIGPIPE) {
  }
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

struct OutputRelay::Stream {
  int fd = -1;         // the relayed descriptor number
  int saved = -1;      // the original output, put back by Stop
  int read_end = -1;   // the relay pipe, read by the relay thread
  int output = -1;     // the original output as the relay writes it
  OutputKind kind = OutputKind::kOwnDescription;
  std::string partial;     // read, not yet ended by a newline
  std::string unfinished;  // the rest of a line that the output took only in part
  std::uint64_t dropped = 0;  // lines dropped since the output last took one
  bool broken = false;        // the output is gone: everything is dropped
  bool ended = false;         // no writer is left on the relay pipe

  // Bytes the output took now (0: none, it is full), or -1 when it is gone.
  ssize_t WriteSome(const char* data, std::size_t length) {
    for (;;) {
      ssize_t written = 0;
      if (kind == OutputKind::kSocket) {
        written = send(output, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
      } else if (kind == OutputKind::kShared) {
        pollfd ready{output, POLLOUT, 0};
        if (poll(&ready, 1, 0) <= 0) return 0;
        if ((ready.revents & POLLOUT) == 0) return (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? -1 : 0;
        written = write(output, data, length < PIPE_BUF ? length : PIPE_BUF);
      } else {
        written = write(output, data, length);
      }
      if (written >= 0) return written;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      if (errno == EPIPE) DiscardPendingBrokenPipe();
      return -1;
    }
  }

  // Writes what is left of a line; true when nothing is left.
  bool FinishLine() {
    while (!unfinished.empty() && !broken) {
      const ssize_t written = WriteSome(unfinished.data(), unfinished.size());
      if (written < 0) broken = true;
      if (written <= 0) break;
      unfinished.erase(0, static_cast<std::size_t>(written));
    }
    if (broken) unfinished.clear();
    return unfinished.empty() && !broken;
  }

  // Starts writing `text`; false when the output took none of it.
  bool Offer(const std::string& text) {
    const ssize_t written = WriteSome(text.data(), text.size());
    if (written < 0) broken = true;
    if (written <= 0) return false;
    unfinished.assign(text, static_cast<std::size_t>(written), std::string::npos);
    return true;
  }

  // Once the output takes lines again: the rest of a line begun, then the line on how many were
  // dropped, then the report.
  void Resume(DroppedOutputReport report) {
    if (!FinishLine() || dropped == 0) return;
    const std::uint64_t count = dropped;
    const std::string note = "OutputRelay, " + std::to_string(count) + " lines of " + StreamName(fd) +
                             " dropped while nobody read it\n";
    if (!Offer(note)) return;
    dropped = 0;
    if (report != nullptr) report(fd, count);
  }

  // Hands on the complete lines read so far, and at the end of the pipe the rest; a line longer than
  // kLongestLineBytes goes in pieces of that size. The number of lines dropped.
  std::uint64_t HandLines(DroppedOutputReport report) {
    std::uint64_t dropped_here = 0;
    std::size_t start = 0;
    while (start < partial.size()) {
      const std::size_t newline = partial.find('\n', start);
      std::size_t end = 0;
      if (newline != std::string::npos && newline + 1 - start <= kLongestLineBytes) {
        end = newline + 1;
      } else if (partial.size() - start >= kLongestLineBytes) {
        end = start + kLongestLineBytes;
      } else if (ended) {
        end = partial.size();
      } else {
        break;
      }
      if (Hand(partial.substr(start, end - start), report)) ++dropped_here;
      start = end;
    }
    partial.erase(0, start);
    return dropped_here;
  }

  // One line (with its newline, or a piece of an overlong one); true when it was dropped.
  bool Hand(const std::string& line, DroppedOutputReport report) {
    if (!broken) Resume(report);
    if (broken || dropped > 0 || !FinishLine() || !Offer(line)) {
      if (!broken) ++dropped;
      return true;
    }
    return false;
  }
};

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
