// The record of one run, which its parts share: the programs started, what
// their lines have said, and what the counterpart used.
#pragma once

#include "chaos.hpp"
#include "child_lines.hpp"
#include "contain.hpp"
#include "contained_processes.hpp"
#include "rule_watch.hpp"
#include "run.hpp"
#include "visit_count.hpp"

#include <cstdio>
#include <map>
#include <set>
#include <string>

constexpr double STOP_GRACE_SECONDS = 3; // from SIGTERM to the end of every process it reached

struct Run {
    RunOptions options;
    const char *counterpart_name; // "doorkeeper" for ours
    Children children;            // every process started, in order
    std::map<size_t, int>
        end_signal; // the signal the demo sent each to end it: the stop, chaos, a restart, a limit
    size_t counterpart = NO_VICTIM; // the one started last
    std::set<size_t> counterparts;  // each one started, by index: the rest are clients
    FILE *event_log = nullptr;
    FILE *verdict = nullptr; // each rule broken, a line "rule<TAB>what"
    double began = 0;        // when the run began, on the monotonic clock
    VisitCount visits;       // of the clients, by index
    RuleWatch rules;
    std::map<size_t, std::string> last_other_line; // a client's, not an announcement
    int killed = 0;
    Containment containment;
    Family family;                            // the counterpart's processes, apart from the clients
    std::string doorkeeper_file, klient_file; // the copies run
    std::string counterpart_file; // what the counterpart runs: its copy, or the system's
    long output_shown = 0, output_dropped = 0; // the counterpart's, in bytes
    double output_cut_at = -1;
    bool tasks_reported = false;
    long most_tasks = 0;                       // the counterpart's, at any look
    double most_mib = 0, most_cpu_seconds = 0; // the same
    bool out_of_resources = false;             // the counterpart was killed for them: the run ends
};

inline double into_run(const Run &run, double when) {
    return when - run.began;
}
