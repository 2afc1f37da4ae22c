// Logging library interface: one formatted log line per call, safe from any thread.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Logs one line under a tag; format and arguments follow printf.
void PrintLog(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The same call form, used by the shared libraries.
void _PrintLog(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif
