// A run contained: the counterpart is a student's program, so it and the
// clients run without the real root's power, with no network but a loopback
// of their own, able to write only in a scratch directory of the run, and the
// counterpart within limits that a correct one never comes near
// (docs/demo.md has them, measured).
#pragma once

#include "control_group.hpp"

#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// The counterpart's limits.
constexpr long COUNTERPART_TASKS = 64;            // processes and threads at once
constexpr long COUNTERPART_RESIDENT_MIB = 256;    // memory in use, its processes together
constexpr long COUNTERPART_MEMORY_MAX_MIB = 512;  // the kernel's bound on that, where it counts
                                                  // it: what grows faster than the looks see
constexpr long COUNTERPART_ADDRESS_MIB = 1024;    // address space, each of its processes
constexpr long COUNTERPART_FILES = 256;           // open files, each of its processes: what it
                                                  // holds in pipes and sockets is bounded by them
constexpr double COUNTERPART_CPU_SHARE = 0.25;    // of one CPU over the run's length,
constexpr double COUNTERPART_CPU_MIN_SECONDS = 5; // and never less than this
constexpr long COUNTERPART_OUTPUT_KIB_PER_SECOND = 8, COUNTERPART_OUTPUT_MIN_KIB = 256;
constexpr long SCRATCH_MIB = 64; // the scratch directory's size, a memory file system
// The whole environment of a contained program but HOME and TMPDIR, its
// scratch directory, and LANG.
constexpr const char *RUN_PATH = "/usr/local/bin:/usr/bin:/bin";

// The run's scratch directory, its programs' working directory: a memory
// file system mounted over /tmp for the run alone, gone with the run.
constexpr const char *SCRATCH = "/tmp";

struct Containment {
    uid_t uid = 0;    // where the demo is the real root: whom the programs run as
    rlim_t tasks = 0; // RLIMIT_NPROC for the counterpart (the clients count too)
    rlim_t cpu_seconds = 0;
    ControlGroup group; // the counterpart's, where one could be made
};

// From now on, every process this one starts runs contained (through
// contain_process), and this one has a mount, a network and an IPC
// namespace of its own: every mount read-only but the scratch directory,
// the system's /tmp and terminals out of sight, and System V IPC within
// limits that hold no more than a few MiB. Where this process is the real
// root, the programs run as a user id of the run's
// own, chosen at random from a range no system gives out; otherwise as this
// process's user, without any capability. Each of programs is copied into a
// read-only directory of the scratch, where that user reaches it wherever it
// lay, and its path is replaced by its copy's. Each must be a regular file,
// or a student's folder, copied whole by that user (copy_tree.hpp); the
// first ours, the project's own, are read with this process's rights, the
// rest, a student's, with the rights of the user that runs them. Returns
// 0, or -1 once it has said on standard error, in one line, what failed.
int contain_run(Containment *c, std::vector<std::string> *programs, size_t ours, long clients,
                double seconds);

// In a new process, before its exec: standard input from /dev/null and no
// other descriptor past the exec, the limits (the counterpart's when
// counterpart), the user, no capability, no new privileges, the scratch as
// working directory, a fresh environment (RUN_PATH), and for the counterpart
// a PID namespace of its own and a filter of the system calls that reach
// past its run. There the process becomes a relay that ends as the
// counterpart's first process ends, and that process's grandchild goes on to
// the exec. On failure says so on standard error and exits with status 126.
void contain_process(const Containment &c, bool counterpart);

// Copies what is left to read of in to out. Returns 0, or -1 with errno set.
int copy_all(int in, int out);

// The counterpart's CPU time over a run of seconds.
double counterpart_cpu_seconds(double seconds);

// The counterpart's output shown over a run of seconds, in bytes.
long counterpart_output_bytes(double seconds);
