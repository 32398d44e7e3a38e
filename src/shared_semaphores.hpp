// The two System V semaphores that clients and their doorkeeper share, and
// the operations on them.
//
// Each semaphore is a set of one member (member 0) found by a fixed key. The
// sets outlive every process: whoever finds a set missing creates it with its
// starting value, everyone else attaches and leaves the value alone.
#pragma once

#include <sys/sem.h>
#include <sys/types.h>

constexpr key_t FREE_SEM_KEY = 66268;  // 0x102DC
constexpr key_t ENTRY_SEM_KEY = 66267; // 0x102DB
constexpr int FREE_SEM_INITIAL = 5;
constexpr int ENTRY_SEM_INITIAL = 0;
constexpr int SEM_MODE = 0644;

// Applied alone, with no IPC_NOWAIT (a down waits). As given they carry no
// SEM_UNDO (a unit taken or given stays so when the process ends);
// semaphore_down and semaphore_up add it where a guard is wanted.
extern const sembuf down_op;
extern const sembuf up_op;

// A guard is a unit that the kernel adds back to a set when the process ends
// in any way, SIGKILL and crashes included: the set's SEM_UNDO adjustment for
// this process, +1 while the process holds a unit that belongs to the set, 0
// otherwise, so that no unit is lost and none is given back twice.
//
// guard_ops gives the process a guard on the set without changing its value
// (+1, then -1 with SEM_UNDO, in one call); drop_guard_ops takes it away, again
// without changing the value. Each pair is applied in one semop.
extern const sembuf guard_ops[2];
extern const sembuf drop_guard_ops[2];

// Returns the id of the set under key, creating it with the starting value if
// there is none. On failure returns -1 with errno set.
int join_semaphore(key_t key, int initial);

// Making a set and giving it its starting value are two calls, so a maker
// that dies between them leaves a set at 0 that nobody ever operated on.
// Returns true if the set looks so: initial is above 0, the set is at 0, no
// semop ever succeeded on it and no value was ever set on it, still after
// waiting up to START_WAIT_MS for a maker that is between its two calls.
// Returns at once in every other case.
constexpr int START_WAIT_MS = 250;
bool never_started(int semid, int initial);

// Takes one unit, waiting while there is none; a wait broken by SIGSTOP and
// SIGCONT is resumed. flags is 0, or SEM_UNDO to take the unit with its guard.
// Returns 0 once the unit is taken, or -1 with errno set. Returns -1 with errno
// EINTR, having taken nothing, once a termination signal has been caught.
int semaphore_down(int semid, short flags);

// Adds one unit. flags is 0, or SEM_UNDO to give back a guarded unit and drop
// its guard in the same step. Returns 0, or -1 with errno set.
int semaphore_up(int semid, short flags);

// Applies guard_ops or drop_guard_ops. Returns 0, or -1 with errno set
// (ERANGE when the value is at the system's maximum, 32767).
int guard_unit(int semid);
int drop_guard(int semid);
