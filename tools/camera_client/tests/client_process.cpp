// Child process runner of the client tests: posix_spawn with a pipe on standard output.
#include "client_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace camera_client_test {
namespace {
constexpr int kPollMillis = 50;
constexpr size_t kChunkBytes = 4096;
}  // namespace

ClientProcess::ClientProcess(const std::vector<std::string>& args, const std::string& stderr_path) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  out_fd_ = pipe_fds[0];
}

ClientProcess::~ClientProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
}

void ClientProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

bool ClientProcess::Wait(std::chrono::seconds deadline) {
  if (pid_ <= 0) return false;
  const auto end = std::chrono::steady_clock::now() + deadline;
  char chunk[kChunkBytes];
  for (;;) {
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, kPollMillis) > 0) {
      const ssize_t n = read(out_fd_, chunk, sizeof chunk);
      if (n > 0) {
        output_.append(chunk, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) break;  // the program closed its output: it is ending
    }
    if (std::chrono::steady_clock::now() >= end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return false;
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

}  // namespace camera_client_test
