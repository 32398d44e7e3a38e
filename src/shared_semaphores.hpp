// The two System V semaphores that clients and their doorkeeper share, and
// the operations on them.
//
// Each semaphore is a set of one member (member 0) found by a fixed key. The
// sets outlive every process: whoever finds a set missing creates it with its
// starting value, everyone else attaches and leaves the value alone.
#pragma once

#include <csignal>
#include <sys/sem.h>
#include <sys/types.h>

constexpr key_t FREE_SEM_KEY = 66268;  // 0x102DC
constexpr key_t ENTRY_SEM_KEY = 66267; // 0x102DB
constexpr int FREE_SEM_INITIAL = 5;
constexpr int ENTRY_SEM_INITIAL = 0;
constexpr int SEM_MODE = 0644;

// Applied alone, with no IPC_NOWAIT (a down waits) and no SEM_UNDO (a unit
// taken or given stays taken or given when the process ends).
extern const sembuf down_op;
extern const sembuf up_op;

// Returns the id of the set under key, creating it with the starting value if
// there is none. On failure returns -1 with errno set.
int join_semaphore(key_t key, int initial);

// Takes one unit, waiting while there is none; a wait broken by stop and
// continue is resumed. Returns 0 once the unit is taken, or -1 with errno set.
// Returns -1 with errno EINTR, having taken nothing, once a stop signal has
// been caught (see install_stop_handlers).
int semaphore_down(int semid);

// Adds one unit. Returns 0, or -1 with errno set.
int semaphore_up(int semid);

// "free" or "entry", for messages.
const char *semaphore_name(key_t key);

// Writes "<program>: <what> the <name> semaphore (key <k>): <reason>" to
// standard error and exits with status 1.
[[noreturn]] void die_on_semaphore(const char *program, const char *what, key_t key, int err);

// The number of the termination signal (SIGINT, SIGTERM, SIGHUP or SIGPIPE)
// caught so far, or 0. The handlers only record it and make sure a blocking
// wait is interrupted; the program decides how to end.
extern volatile sig_atomic_t stop_signal;

// Catches the termination signals as described above. Returns 0, or -1 with
// errno set.
int install_stop_handlers();

// Takes one unit for program, or ends the process: by the caught stop signal
// if one came before a unit was taken, else with a message and status 1.
void lower_or_end(const char *program, int semid, key_t key);

// Starts a program that uses both semaphores: catches the stop signals, then
// joins the free semaphore and the entry semaphore, in that order. On failure
// says why on standard error and exits with status 1.
void start_up(const char *program, int *free_sem, int *entry_sem);

// Ends the program after standard output could not be written: by the signal
// if the reader went away (SIGPIPE), else with a message and status 1.
[[noreturn]] void die_on_output(const char *program, int err);

// Ends the process as stop_signal ends a process by default, so that the
// parent sees the signal in the exit status.
[[noreturn]] void end_by_stop_signal();
