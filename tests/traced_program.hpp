// A program run under ptrace, one system call at a time, for the sweep of
// every boundary.
#pragma once

#include <csignal>
#include <map>
#include <string>
#include <sys/ptrace.h>
#include <sys/types.h>

enum Change { STOPPED, ENDED, WAITING, TIMED_OUT };

// How long a traced program may take to reach its next stop, or to end once
// signalled: milliseconds, but a loaded machine may hold it back for seconds.
constexpr int STEP_MS = 10000;

// A set of SIGCHLD alone: blocked while a test traces, so that a wait for a
// change wakes as soon as it comes.
sigset_t only_sigchld();

// Waits for the traced program to stop or end, or, with waits_on, to wait on
// that set. SIGCHLD is blocked, so that sigtimedwait wakes as soon as it comes.
Change await_change(pid_t pid, int *status, key_t waits_on, int timeout_ms);

// Starts path traced, its output on /dev/null, with clock_nanosleep returning
// 0 at once so that a visit costs no time; it is stopped just after its exec.
pid_t start_traced(const char *path);

// Resumes the program up to its next system-call stop, passing on any other
// signal it gets. Returns STOPPED with info filled in, or how else it changed.
Change next_stop(pid_t pid, __ptrace_syscall_info *info, key_t waits_on);

// A set's name: "free", "entry", or its key.
std::string set_name(key_t key);

// Names a call at its entry: semaphore calls with their set and operations
// ("semop free +1 -1u", u for SEM_UNDO), the programs' own other calls by
// name, the rest (the loader's) by number. sets: each set's key by its id.
std::string describe(pid_t pid, const __ptrace_syscall_info &in, const std::map<int, key_t> &sets);
