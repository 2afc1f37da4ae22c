// Output of the watchdog: whole lines to standard output without waiting for it, and to a sink
// that tests can read.
#pragma once

#include <functional>
#include <string>

// Prints one formatted line (printf rules) to standard output whole, so that lines of the action
// threads never interleave inside a line. The line is written by a writer thread of its own and
// the caller never waits for standard output: while nobody reads it, at most a bounded number of
// lines wait and later ones are dropped (and counted in a line once it is read again).
void DaemonPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Receives every printed line as well; an empty function removes the sink.
using DaemonLogSink = std::function<void(const std::string& line)>;
void SetDaemonLogSink(DaemonLogSink sink);
