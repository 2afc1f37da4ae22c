// Crash catcher stand-in: reports fatal signals with a backtrace before the process dies.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Installs handlers for the fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS,
// SIGTRAP): each writes "fennick: fatal signal N (NAME) in process P" and a backtrace to standard
// error and to "/data/core/fennick-P.txt" of the board root when that folder exists, then lets
// the signal end the process as it would have. Returns 0, or -1 when a handler could not be set.
int fennick(void);

#ifdef __cplusplus
}
#endif
