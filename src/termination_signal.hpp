// Catching the signals that end a program (SIGINT, SIGTERM, SIGHUP, SIGPIPE)
// so that it can give back what it holds first, sleeping until one comes, and
// ending by them afterwards.
#pragma once

#include <csignal>

// The number of the termination signal caught so far, or 0. The handlers only
// record it and make sure that a blocking wait is broken; the program decides
// how to end.
extern volatile sig_atomic_t termination_signal;

// Installs the handlers. Returns 0, or -1 with errno set.
int catch_termination_signals();

// Sleeps seconds on the monotonic clock, resuming after stop and continue,
// and cut short by a termination signal.
void sleep_until_signalled(int seconds);

// Ends the process as termination_signal ends a process by default, so that
// the parent sees the signal in the exit status.
[[noreturn]] void end_by_termination_signal();
