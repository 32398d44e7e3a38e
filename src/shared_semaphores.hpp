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

// Applied alone, with no IPC_NOWAIT (a down waits) and no SEM_UNDO (a unit
// taken or given stays taken or given when the process ends).
extern const sembuf down_op;
extern const sembuf up_op;

// Returns the id of the set under key, creating it with the starting value if
// there is none. On failure returns -1 with errno set.
int join_semaphore(key_t key, int initial);

// Takes one unit, waiting while there is none; a wait broken by SIGSTOP and
// SIGCONT is resumed. Returns 0 once the unit is taken, or -1 with errno set.
// Returns -1 with errno EINTR, having taken nothing, once a termination signal
// has been caught.
int semaphore_down(int semid);

// Adds one unit. Returns 0, or -1 with errno set.
int semaphore_up(int semid);
