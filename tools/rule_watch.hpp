// Judging a run by the rules every counterpart must keep, from what the demo
// sees as it sees it: the clients' lines, each with the time it was read, and
// the semaphores' values. At most FREE_SEM_INITIAL clients are inside at
// once; free + entry + inside never rises above FREE_SEM_INITIAL (no unit
// invented); while units are free and clients wait, someone is let in.
//
// Counts from lines run behind the semaphores: a leaver gives its unit back
// just before it says "ucieka", and that line can be read after the next
// entrant's "konsumuje". So a breach counts only once it has lasted longer
// than LATE_LINE_SECONDS, far longer than any line was measured late, and far
// shorter than a real breach, which lasts a whole visit.
#pragma once

#include <cstddef>
#include <map>
#include <vector>

constexpr double LATE_LINE_SECONDS = 1;

// A stretch of time during which a rule was breached.
struct Breach {
    double since = -1; // -1: none going on
    double seconds = 0;
    int most = 0;    // the most inside, units, or units free while it lasted
    int waiting = 0; // for a stall: the most clients waiting
};

struct RuleWatch {
    Breach over_limit, over_units, stall;   // going on now
    std::vector<Breach> limit_broken;       // every over_limit that counted
    Breach worst_units, worst_stall;        // the longest that counted
    std::map<size_t, double> waiting_since; // by client
    double last_entry = -1, last_seen = 0;
    double longest_wait = 0, inside_seconds = 0; // figures, not judged
    int inside = 0;
};

void watch_start(RuleWatch *watch, double now);

// A client announced that it wants to enter, or that it consumes, or it ended.
void watch_wants(RuleWatch *watch, size_t client, double when);
void watch_enters(RuleWatch *watch, size_t client, double when);
void watch_gone(RuleWatch *watch, size_t client, double when);

// What is seen at now: clients inside by their lines, and free + entry (or
// -1 if a set is missing).
void watch_seen(RuleWatch *watch, double now, int inside, int free_and_entry);

// The run is over: closes every breach still going on.
void watch_end(RuleWatch *watch, double now);
