// Crash catcher stand-in: fatal-signal handlers that log a backtrace, then re-raise.
#include "board/fennick.h"

#include "board/board_root.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

namespace {

constexpr std::array<int, 7> kFatalSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP};
constexpr int kMaxFrames = 64;
constexpr size_t kAlternateStackBytes = 64 * 1024;  // room to report a stack overflow
constexpr size_t kPathBytes = 4096;
constexpr size_t kNumberDigits = 24;

// Everything the handler needs is prepared at install time: it may only use async-safe calls.
char crash_folder[kPathBytes];
alignas(16) char alternate_stack[kAlternateStackBytes];

// Writes the decimal digits of `number` and returns their count.
size_t FormatNumber(long number, char* out) {
  char digits[kNumberDigits];
  size_t count = 0;
  bool negative = number < 0;
  unsigned long magnitude = negative ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t length = 0;
  if (negative) out[length++] = '-';
  while (count > 0) out[length++] = digits[--count];
  return length;
}

void Append(char* buffer, size_t* used, size_t capacity, const char* text) {
  size_t length = std::strlen(text);
  if (*used + length >= capacity) length = capacity - 1 - *used;
  std::memcpy(buffer + *used, text, length);
  *used += length;
  buffer[*used] = '\0';
}

void AppendNumber(char* buffer, size_t* used, size_t capacity, long number) {
  char digits[kNumberDigits + 1];
  digits[FormatNumber(number, digits)] = '\0';
  Append(buffer, used, capacity, digits);
}

void Report(int fd, const char* head, void* const* frames, int count) {
  if (fd < 0) return;
  ssize_t ignored = write(fd, head, std::strlen(head));
  (void)ignored;
  backtrace_symbols_fd(frames, count, fd);
}

void OnFatalSignal(int signal_number) {
  int saved_errno = errno;
  char head[256];
  size_t used = 0;
  head[0] = '\0';
  Append(head, &used, sizeof head, "fennick: fatal signal ");
  AppendNumber(head, &used, sizeof head, signal_number);
  Append(head, &used, sizeof head, " (");
  const char* name = sigabbrev_np(signal_number);
  Append(head, &used, sizeof head, name != nullptr ? name : "?");
  Append(head, &used, sizeof head, ") in process ");
  AppendNumber(head, &used, sizeof head, static_cast<long>(getpid()));
  Append(head, &used, sizeof head, "\nbacktrace:\n");

  void* frames[kMaxFrames];
  int count = backtrace(frames, kMaxFrames);
  Report(STDERR_FILENO, head, frames, count);

  char path[kPathBytes + 64];
  size_t path_used = 0;
  path[0] = '\0';
  Append(path, &path_used, sizeof path, crash_folder);
  Append(path, &path_used, sizeof path, "/fennick-");
  AppendNumber(path, &path_used, sizeof path, static_cast<long>(getpid()));
  Append(path, &path_used, sizeof path, ".txt");
  int file = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  Report(file, head, frames, count);
  if (file >= 0) close(file);

  // The handler was reset on entry: the signal now takes its ordinary course.
  errno = saved_errno;
  raise(signal_number);
}

}  // namespace

extern "C" int fennick(void) {
  std::string folder = board::MapPath("/data/core");
  std::strncpy(crash_folder, folder.c_str(), sizeof crash_folder - 1);

  // backtrace() loads its unwinder on first use; do that now, outside any handler.
  void* warm_up[1];
  backtrace(warm_up, 1);

  stack_t stack{};
  stack.ss_sp = alternate_stack;
  stack.ss_size = sizeof alternate_stack;
  sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_handler = OnFatalSignal;
  action.sa_flags = SA_RESETHAND | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  int result = 0;
  for (int signal_number : kFatalSignals) {
    if (sigaction(signal_number, &action, nullptr) != 0) result = -1;
  }
  return result;
}
