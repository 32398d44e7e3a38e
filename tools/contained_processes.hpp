// The processes of a contained program, as /proc shows them: finding every
// one below the demo, what they use together, and signalling them.
#pragma once

#include "control_group.hpp"

#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

struct Seen {
    pid_t pid;
    std::string name; // escaped (shown_text.hpp)
    long threads;
    long memory_kib;    // its share of the pages it maps (shared ones split among
                        // those that map them), or, where /proc hides that, all
                        // its resident pages
    double cpu_seconds; // its own, and that of the children it has reaped
    bool keeper;        // the demo's: a relay it started, or the init of a PID namespace
    pid_t inside;       // its number in the PID namespace below the demo's it lies in, or 0
};

// Every process below this one that still runs but those in skip, and those
// below them: each child of this process not in skip, and every descendant
// of those. Each of relays, and each init of a PID namespace below this
// one's, is a keeper.
std::vector<Seen> processes_below(const std::set<pid_t> &skip, const std::set<pid_t> &relays);

// What processes use at once: keepers count only for the CPU time of the
// processes they reaped.
struct Usage {
    long tasks = 0; // processes and threads
    double mib = 0, cpu_seconds = 0;
};
Usage usage_of(const std::vector<Seen> &processes);

// The counterpart's processes as the run knows them: the relay of each
// counterpart started, every other child of this process (a client), and
// the counterpart's control group.
struct Family {
    std::set<pid_t> relays, others;
    const ControlGroup *group = nullptr;
};

// Every process of the counterpart's that still runs: each child of this
// process that is none of others (the demo is where orphans go), and every
// descendant of those.
std::vector<Seen> family_processes(const Family &family);

// What they use: as /proc shows them, or as the control group counts it,
// whichever is more.
Usage family_usage(const Family &family);

// The counterpart's first process, its command's, while it runs: the one
// its PID namespace's init started; 0 if there is none.
pid_t family_first(const Family &family);

// Kills every process of the counterpart with SIGKILL: the group of leader
// (0: none left to reach), each other one found, and its control group.
// Returns how many processes besides the leader and the keepers there were.
int kill_family(const Family &family, pid_t leader);

// Sends sig to target, a process (or, negative, a process group); one that
// has ended meanwhile is no failure, any other is said on standard error.
void send_signal(pid_t target, int sig);
