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

// How long a client consumes once let in: one visit.
constexpr int CONSUME_SECONDS = 15;

// A client's three announcements, each a line ANNOUNCEMENT made with its pid
// and one of them: it wants to enter, it is let in and consumes, it leaves.
constexpr const char *ANNOUNCEMENT = "Klient %d %s!\n";
constexpr const char *WANTS_TO_ENTER = "chce wejsc";
constexpr const char *CONSUMES = "konsumuje";
constexpr const char *LEAVES = "ucieka";

// Applied alone, with no IPC_NOWAIT (a down waits). As given they carry no
// SEM_UNDO (a unit taken or given stays so when the process ends);
// semaphore_down and semaphore_up add it where a guard is wanted.
extern const sembuf down_op;
extern const sembuf up_op;

// A guard is a unit that the kernel adds back to a set when the process ends
// in any way, SIGKILL and crashes included: the set's SEM_UNDO adjustment for
// this process, +1 while the process holds a unit that belongs to the set, 0
// otherwise, so that no unit is lost and none is given back twice.

// Returns the id of the set under key, creating it with the starting value if
// there is none. A set it made and could not start is removed again. On
// failure returns -1 with errno set.
int join_semaphore(key_t key, int initial);

// Takes one unit, waiting while there is none; a wait broken by SIGSTOP and
// SIGCONT is resumed. flags is 0, or SEM_UNDO to take the unit with its guard.
// Returns 0 once the unit is taken, or -1 with errno set. Returns -1 with errno
// EINTR, having taken nothing, once *cancel is set (a signal handler sets it,
// and its signal breaks the wait); cancel may be null.
int semaphore_down(int semid, short flags, const volatile sig_atomic_t *cancel);

// Adds one unit. flags is 0, or SEM_UNDO to give back a guarded unit and drop
// its guard in the same step. Returns 0, or -1 with errno set.
int semaphore_up(int semid, short flags);

// guard_unit gives the process a guard on the set without changing its value;
// drop_guard takes it away, again without changing the value. try_guard does
// both in one call, and so proves, before anything is taken, that the set
// lets this process guard a unit on it: alter permission, the kernel's limits
// on operations per call and on undo entries. Each is one semop. Return 0, or
// -1 with errno set (ERANGE when the value is at the system's maximum, 32767).
int guard_unit(int semid);
int drop_guard(int semid);
int try_guard(int semid);
