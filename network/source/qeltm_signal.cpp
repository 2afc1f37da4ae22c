// SIGINT handling: the handler only writes the signal number into a pipe; a watcher thread
// logs it, stops the library's threads and closes the image and control connections.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "pelarin/proxy.h"
#include "pelarin/qeltm.h"
#include "qeltm_internal.h"

namespace {

constexpr unsigned char kStopWatcher = 0;
std::atomic<int> g_pipe_write{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the pipe end without locking");
int g_pipe_read = -1;
std::thread g_watcher;

void Watch(int read_fd) {
  unsigned char signal_number = 0;
  while (read(read_fd, &signal_number, 1) == 1 && signal_number != kStopWatcher) {
    Qeltmlog(2, "Caught signal %d\n", signal_number);
    // The server threads use the tables being closed: stop them first (an interrupt ends the
    // service anyway).
    StopAllProxyProcess();
    STIPCloseAllSession();
    SCDPCloseAllSession();
  }
}

}  // namespace

namespace qeltm {

void SignalWatcherStop() {
  if (!g_watcher.joinable()) return;
  const int write_fd = g_pipe_write.exchange(-1);
  const unsigned char stop = kStopWatcher;
  if (write(write_fd, &stop, 1) != 1) Qeltmlog(2, "[QELTM]Signal watcher stop failed, errno=%d\n", errno);
  g_watcher.join();
  close(write_fd);
  close(g_pipe_read);
  g_pipe_read = -1;
}

}  // namespace qeltm

extern "C" {

void QELTMHandler(int signal) {
  const int saved_errno = errno;
  const int fd = g_pipe_write.load();
  const unsigned char number = static_cast<unsigned char>(signal);
  if (fd >= 0 && write(fd, &number, 1) != 1) {
    // Nothing that is safe here can report it.
  }
  errno = saved_errno;
}

int QELTMSignalInit(void) {
  if (!g_watcher.joinable()) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return kQeltOtherError;
    // A full pipe must never block the handler.
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    g_pipe_read = fds[0];
    g_pipe_write.store(fds[1]);
    g_watcher = std::thread(Watch, fds[0]);
  }
  struct sigaction action;
  memset(&action, 0, sizeof(action));
  action.sa_handler = QELTMHandler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  return kQeltOk;
}

}  // extern "C"
