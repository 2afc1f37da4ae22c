// Runs the camera_client program as a child process with its standard output captured.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace camera_client_test {

class ClientProcess {
 public:
  // Starts the program with `args`; its standard error goes to `stderr_path`.
  ClientProcess(const std::vector<std::string>& args, const std::string& stderr_path);
  ~ClientProcess();
  bool started() const { return pid_ > 0; }
  void Signal(int signal) const;
  // Reads the output until the program ends; false (and the program killed) at the deadline.
  bool Wait(std::chrono::seconds deadline);
  int exit_status() const { return exit_status_; }
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int exit_status_ = -1;
  std::string output_;
};

}  // namespace camera_client_test
