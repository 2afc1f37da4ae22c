// Output of the watchdog: whole lines to standard output, and to a sink that tests can read.
#pragma once

#include <functional>
#include <string>

// Prints one formatted line (printf rules) to standard output at once, flushed, so that lines of
// the action threads never interleave inside a line and a reader of a pipe sees them at once.
void DaemonPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Receives every printed line as well; an empty function removes the sink.
using DaemonLogSink = std::function<void(const std::string& line)>;
void SetDaemonLogSink(DaemonLogSink sink);
