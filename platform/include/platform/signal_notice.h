// A line about a signal written from inside its handler, with async-signal-safe calls only.
#pragma once

// Writes `text` followed by `number` in decimal and a newline to `fd` with write(2) alone, keeping
// errno. When `fd` is itself a broken pipe, the SIGPIPE that this write raises is discarded, so a
// SIGPIPE handler that reports through it runs once per broken write of the program and never
// again for its own.
void WriteSignalNotice(int fd, const char* text, int number);
