// Starting a run's programs, and starting them again in the place of those
// killed: at a restart, and by chaos.
#pragma once

#include "run_record.hpp"

#include <cstddef>
#include <random>

// Starts the counterpart, or a client, contained. Returns its index.
size_t start(Run &run, bool counterpart);

// Kills the counterpart with everything of it, and starts it again; why
// names the occasion in the line that says so.
void restart_counterpart(Run &run, const char *why);

// Kills one living client with SIGKILL and starts another in its place, or
// the counterpart now and then.
void kill_one(Run &run, std::mt19937 &random);
