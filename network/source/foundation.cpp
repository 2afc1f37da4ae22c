// The init record copy, the identity texts and the library log.
#include "pelarin/foundation.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

extern "C" {

tagNetworkInitPara QeltmParaCfg = {};
const char QELTMVersion[] = "2.1.213002";
const char DefaultVenderName[] = "Quenlivark";
const char DefaultSeralNumber[] = "00000001";

}  // extern "C"

namespace {

// One log area: 255 characters and the terminator.
constexpr size_t kLogTextBytes = 256;
constexpr char kLogTag[] = "QELTM";

// The one callback slot; read from every library thread.
std::atomic<LogImageFunc> g_log_callback{nullptr};

void WriteLogLine(const char* format, va_list args) {
  char text[kLogTextBytes];
  vsnprintf(text, sizeof text, format, args);  // cuts to the first 255 characters
  LogImageFunc fn = g_log_callback.load(std::memory_order_acquire);
  if (fn != nullptr) {
    fn(kLogTag, "%s", text);
  } else {
    puts(text);
  }
}

}  // namespace

extern "C" {

void Qeltmlog(int /*level*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine(format, args);
  va_end(args);
}

void Socketlog(int /*level*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  WriteLogLine(format, args);
  va_end(args);
}

int SocketRegisterLogImageFunc(LogImageFunc fn) {
  g_log_callback.store(fn, std::memory_order_release);
  return kQeltOk;
}

int SocketRegisterLogFunc(LogImageFunc fn) { return SocketRegisterLogImageFunc(fn); }

}  // extern "C"
