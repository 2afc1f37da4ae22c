// A line about a signal written from inside its handler: write(2) and sigaction(2) only, no
// allocation, no locks, so it is safe whatever the interrupted thread held.
#include "platform/signal_notice.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Decimal digits of an int, its sign and the newline.
constexpr int kNumberCharacters = 12;

// Setting SIGPIPE to "ignore" discards a pending one; the handler is put back at once.
void DiscardPendingBrokenPipe() {
  struct sigaction ignore = {};
  struct sigaction previous = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGPIPE, &ignore, &previous) == 0) sigaction(SIGPIPE, &previous, nullptr);
}

void WriteWhole(int fd, const char* bytes, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written < 0 && errno == EPIPE) DiscardPendingBrokenPipe();
      return;
    }
    bytes += written;
    length -= static_cast<size_t>(written);
  }
}

}  // namespace

void WriteSignalNotice(int fd, const char* text, int number) {
  const int saved_errno = errno;
  char digits[kNumberCharacters];
  int at = kNumberCharacters;
  digits[--at] = '\n';
  const bool negative = number < 0;
  // Works on the negative side so that the most negative int has no overflow.
  int rest = negative ? number : -number;
  do {
    digits[--at] = static_cast<char>('0' - rest % 10);
    rest /= 10;
  } while (rest != 0 && at > 1);
  if (negative) digits[--at] = '-';
  if (text != nullptr) WriteWhole(fd, text, std::strlen(text));
  WriteWhole(fd, digits + at, static_cast<size_t>(kNumberCharacters - at));
  errno = saved_errno;
}
