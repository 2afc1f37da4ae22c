// Test preload: moves the wall clock of the process it is loaded into by the whole seconds written
// in the file that WALL_CLOCK_SHIFT_FILE names (0 while the file is absent). Monotonic clocks are
// left alone, so a program keeping its deadlines on them must not notice.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

namespace {

long ShiftSeconds() {
  const char* path = std::getenv("WALL_CLOCK_SHIFT_FILE");
  if (path == nullptr) return 0;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32] = {};
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  return length > 0 ? std::strtol(text, nullptr, 10) : 0;
}

bool IsWallClock(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE || clock == CLOCK_TAI;
}

}  // namespace

extern "C" int clock_gettime(clockid_t clock, struct timespec* now) {
  const long result = syscall(SYS_clock_gettime, clock, now);
  if (result == 0 && IsWallClock(clock)) now->tv_sec += ShiftSeconds();
  return static_cast<int>(result);
}

extern "C" int gettimeofday(struct timeval* now, void* zone) {
  const long result = syscall(SYS_gettimeofday, now, zone);
  if (result == 0) now->tv_sec += ShiftSeconds();
  return static_cast<int>(result);
}

extern "C" time_t time(time_t* out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (out != nullptr) *out = now.tv_sec;
  return now.tv_sec;
}
