// Helpers for tests that run programs against real semaphores, each test in a
// private IPC namespace so that it never sees the host's sets or another test's.
#pragma once

#include "child_lines.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <vector>

constexpr int PAUSE_SECONDS = 3;

// Each test starts in a fresh IPC namespace; every process it spawned is
// killed when it ends.
class PrivateIpc : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Starts path with its standard output and standard error each on a pipe
    // of its own; in_child runs in the new process just before it executes path.
    Child spawn(const char *path, std::vector<std::string> args = {},
                const std::function<void()> &in_child = {});
    // Runs path under strace, which holds back the return of the program's
    // nth call of one of syscalls (say "semget") for pause_seconds: the call
    // has done its work and the program has not yet seen it. Returns strace,
    // which ends as the program ends; *program is the program's pid.
    Child spawn_with_call_paused(const char *path, const char *syscalls, int nth, pid_t *program,
                                 int pause_seconds = PAUSE_SECONDS);
    Children spawned;
    std::vector<pid_t> traced; // strace's programs, which outlive a killed strace
};

// For a program about to run under strace: LeakSanitizer cannot work under
// ptrace, and would say so as the program ends. Call it in the child.
void no_leak_check();

// Waits until a program from spawn_with_call_paused is inside its pause.
void await_pause(const Child &traced);

// The longest a test waits for an event it expects, by default: far beyond
// what it takes, sanitized and beside another suite on two CPUs. Each wait
// ends as its event comes; only a failing test waits it out.
constexpr int EVENT_BOUND_MS = 15000;

// Reads one line; at end of file or after timeout_ms, what came of it ("" if nothing).
std::string read_line(int fd, int timeout_ms = EVENT_BOUND_MS);
// Reads until end of file or timeout_ms.
std::string read_rest(int fd, int timeout_ms = EVENT_BOUND_MS);
// Returns the wait status, or -1 if the process has not ended within timeout_ms.
int wait_exit(pid_t pid, int timeout_ms = EVENT_BOUND_MS);
// Polls cond every few milliseconds; false if it never held within timeout_ms.
bool eventually(const std::function<bool()> &cond, int timeout_ms = EVENT_BOUND_MS);

int sem_id(key_t key); // -1 if there is no set under key
int sem_value(key_t key);
int sem_waiting(key_t key);         // processes waiting to lower it
void sem_set(key_t key, int value); // creating the set if needed
std::string announcement(const char *what, pid_t pid);
// The client pid's three announcements, as it writes them.
std::string wants(pid_t pid);
std::string consumes(pid_t pid);
std::string leaves(pid_t pid);
double seconds_now();
