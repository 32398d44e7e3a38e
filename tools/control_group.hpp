// Control groups (cgroup v2). In a run's counterpart's the kernel counts the
// CPU time of every process that was ever in it, waited for or not, ends all
// of them at once, and, where the memory and pids controllers are given to
// the demo's own group, bounds its memory (shared memory, memfd files and
// pipe buffers too) and its processes. A grading's holds its runs' groups.
#pragma once

#include <string>

struct ControlGroup {
    int parent = -1;           // the directory it lies in, opened in the system's mount namespace:
                               // this process's own group
    std::string name;          // its name there; empty: none was made
    int procs = -1, kill = -1; // its cgroup.procs and cgroup.kill (kernels from 5.14), for writing
    int cpu = -1, memory = -1; // its cpu.stat, and memory.current where it has the controller
    int memory_events = -1;    // and its memory.events
    bool tasks = false;        // whether pids.max bounds its processes
    std::string self;          // where this process moved, below its own group, to let
                               // that one pass its controllers on
};

// Makes an empty control group below this process's own, which its user
// must be able to write (as root, or where systemd delegates it), under a
// name that starts with prefix, and passes on to the groups made below it
// every controller it has. Returns 0, or -1 with errno set.
int make_control_group(ControlGroup *g, const char *prefix);

// Makes a control group for the run's counterpart, before the run's mount
// namespace makes the hierarchy read-only, with the limits its controllers
// allow. Where it can make none, or one without the memory or pids
// controller, says in one line on standard error which limits are weaker.
void make_counterpart_group(ControlGroup *g, long memory_mib, long tasks);

// Moves the calling process into g, where g was made; else does nothing.
// Returns 0, or -1 with errno set.
int join_control_group(const ControlGroup &g);

// Moves the calling process into a new group of its own below g, where g
// was made, so that the groups it makes get the controllers g passes on;
// else does nothing. Returns 0, or -1 with errno set.
int join_new_control_group(const ControlGroup &g);

// What the kernel counts in g: the CPU time of every process that was ever
// in it, and the memory it holds, in MiB; -1 where it does not count it.
double control_group_cpu_seconds(const ControlGroup &g);
double control_group_mib(const ControlGroup &g);

// How many of g's processes the kernel has killed at its memory limit; -1
// where it does not count them.
long control_group_memory_kills(const ControlGroup &g);

// Ends every process in g with SIGKILL, where the kernel can (from 5.14).
// Returns 0, or -1 with errno set where the kernel refused.
int kill_control_group(const ControlGroup &g);

// Ends every process in g and in the groups below it, and removes them all,
// waiting at most five seconds for each one's processes to go; then moves
// this process back into its own group, where it left it.
void remove_control_group(ControlGroup *g);
