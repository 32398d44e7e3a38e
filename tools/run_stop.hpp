// Ending a run's programs: the counterpart beyond its limits, and every
// program at the stop, each thing that did not end as asked a fault.
#pragma once

#include "run_record.hpp"

#include <csignal>

// Kills every process of the counterpart with SIGKILL, and waits for them.
// Returns how many there were besides its first.
int kill_counterpart(Run &run);

// Holds the counterpart to its limits. Its processes are only reported at
// their limit, where the system refuses it more; beyond its memory or CPU
// time it is killed, and the run ends.
void watch_resources(Run &run, double now);

// How many of the counterpart's processes the kernel has killed at its
// memory limit; -1 where it does not count them.
long memory_limit_kills(const Run &run);

// Ends the counterpart with sig, sent to its process group; then whatever
// of it still runs after the grace is a fault, and is killed.
void stop_counterpart(Run &run, int sig);

// Ends every living client with sig, reading their last lines, and waits for
// them. A stopped client that was inside is cut short: the clients are
// frozen first, so that the lines read by then show exactly who is inside
// when the stop is sent. A client that ended by itself first, or did not end
// by sig, failed.
void stop_clients(Run &run, int sig);
