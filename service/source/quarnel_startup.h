// The service's start-up in order, the undo of every earlier step on failure, and the exit status.
#pragma once

#include "platform/result.h"

// Brings the camera up, runs the main loop, and tears down; the failing step's code, or 0 when
// the loop was stopped.
Result RunQuarnel();

// The process exit status of a start-up result. 0 stays 0. A failure exits with the code's low
// byte (0x80200005 exits 5; a small positive device code exits as itself); a failure whose low
// byte is 0 (0x80000000, 0x80200000, ...) exits 255, so that no failure ever exits 0.
int ExitStatusFor(Result result);

// The SIGPIPE handler: logs the signal and returns, so a peer that closes never ends the process.
void sig_pipe_handle(int signal_number);
