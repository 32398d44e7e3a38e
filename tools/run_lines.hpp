// The lines of a run's programs, read as they come, and their ends, taken
// as they happen: each passed through and noted in the run's record.
#pragma once

#include "run_record.hpp"

#include <cstddef>
#include <functional>

// Writes an event of the program index to the event log, if there is one.
void log_event(const Run &run, size_t index, const char *event, double when);

// Reads the lines that come within timeout_ms, or every one written so far.
void read_lines(Run &run, int timeout_ms);
void drain(Run &run);

// The program index has ended, as event says ("stopped", "killed", ...).
void ended(Run &run, size_t index, const char *event);

// The program index ended with status, not by the demo: the counterpart
// stopped letting clients in, or a client failed. Its last lines are read
// first.
void ended_by_itself(Run &run, size_t index, int status);

// Takes the status of every process that has ended: the demo's own, each as
// what the demo did to it (or by itself), and any other, which it adopted.
void reap(Run &run);

bool counterpart_alive(const Run &run);

// Waits until done() holds or seconds have passed, reading lines and taking
// statuses meanwhile. Returns done().
bool await(Run &run, double seconds, const std::function<bool()> &done);
