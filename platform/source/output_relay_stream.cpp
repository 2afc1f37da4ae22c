// One relayed stream: whole lines written to the original output without waiting for it.
#include "output_relay_stream.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// A line longer than this is handed on in pieces of this size.
constexpr std::size_t kLongestLineBytes = 64 * 1024;

bool IsSocket(int fd) {
  struct stat status {};
  return fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
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

}  // namespace

namespace relay_detail {

bool CanBlock(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return false;
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(fd) == 1;
}

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

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace relay_detail

using relay_detail::OutputKind;

ssize_t OutputRelay::Stream::WriteSome(const char* data, std::size_t length) {
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

bool OutputRelay::Stream::FinishLine() {
  while (!unfinished.empty() && !broken) {
    const ssize_t written = WriteSome(unfinished.data(), unfinished.size());
    if (written < 0) broken = true;
    if (written <= 0) break;
    unfinished.erase(0, static_cast<std::size_t>(written));
  }
  if (broken) unfinished.clear();
  return unfinished.empty() && !broken;
}

bool OutputRelay::Stream::Offer(const std::string& text) {
  const ssize_t written = WriteSome(text.data(), text.size());
  if (written < 0) broken = true;
  if (written <= 0) return false;
  unfinished.assign(text, static_cast<std::size_t>(written), std::string::npos);
  return true;
}

void OutputRelay::Stream::Resume(DroppedOutputReport report) {
  if (!FinishLine() || dropped == 0) return;
  const std::uint64_t count = dropped;
  const std::string note = "OutputRelay, " + std::to_string(count) + " lines of " + StreamName(fd) +
                           " dropped while nobody read it\n";
  if (!Offer(note)) return;
  dropped = 0;
  if (report != nullptr) report(fd, count);
}

std::uint64_t OutputRelay::Stream::HandLines(DroppedOutputReport report) {
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

bool OutputRelay::Stream::Hand(const std::string& line, DroppedOutputReport report) {
  if (!broken) Resume(report);
  if (broken || dropped > 0 || !FinishLine() || !Offer(line)) {
    if (!broken) ++dropped;
    return true;
  }
  return false;
}
