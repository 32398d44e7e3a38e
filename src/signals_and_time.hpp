// Signals and time: catching the signals that end a program (SIGINT, SIGTERM,
// SIGHUP, SIGPIPE) so that it can give back what it holds first, the
// monotonic clock's deadlines, waking a blocked call at one, sleeping until
// one, holding back terminal stops, and ending by a caught signal afterwards.
#pragma once

#include <csignal>
#include <ctime>

// The number of the termination signal caught so far, or 0. The handlers only
// record it and make sure that a blocking wait is broken; the program decides
// how to end.
extern volatile sig_atomic_t termination_signal;

// Installs the handlers, and unblocks the signals they catch, which a parent
// may have left blocked (a mask survives exec). A termination signal that is
// ignored when the program starts (nohup, or a shell's background job) stays
// ignored. SIGALRM, which breaks blocked calls, is caught and does nothing
// else; SIGXFSZ is ignored, so that a write past the file-size limit fails
// with EFBIG instead of ending the program. Returns 0, or -1 with errno set.
int catch_termination_signals();

// The monotonic clock's time seconds from now.
timespec seconds_from_now(int seconds);
bool is_past(const timespec &deadline);

// wake_at breaks whatever call blocks at deadline (monotonic) with a SIGALRM,
// and again every 0.1 s after it until stop_waking, so that a call that
// begins to block after the deadline (the process stopped meanwhile) is
// broken too. catch_termination_signals makes its timer; make_wake_timer
// makes it alone, for a program without the handlers, and returns 0, or -1
// with errno set.
void wake_at(const timespec &deadline);
void stop_waking();
int make_wake_timer();

// Blocks SIGTTOU, by which a terminal stops a background job that writes
// (stty tostop), or lets it through again.
void hold_terminal_stops(bool hold);

// Sleeps until deadline on the monotonic clock, resuming after stop and
// continue and after any other signal, and cut short by a termination signal.
// Returns 0 then, or the error for which the system refused the sleep.
int sleep_until_signalled(const timespec &deadline);

// Ends the process as termination_signal ends a process by default, so that
// the parent sees the signal in the exit status.
[[noreturn]] void end_by_termination_signal();
