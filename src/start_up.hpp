// The steps with which klient and doorkeeper start: joining the sets, and
// then taking a unit or ending.
#pragma once

#include <sys/types.h>

// Catches the termination signals, then joins the free semaphore and the
// entry semaphore, in that order, and makes sure that a unit can be guarded on
// the free semaphore, all before anything is taken or announced. On failure
// says why and exits with status 1. A free set that looks made but never
// started is warned of on standard error and left untried: a try of the guard
// would mark it as changed, and hide it from whoever joins next.
// Its lines on standard error start with the name it was started under, or
// with name where argv[0] was empty or absent.
void start_up(const char *name, int *free_sem, int *entry_sem);

// Takes one unit (flags as for semaphore_down), or ends the process: by the
// caught termination signal if one came before a unit was taken, else with a
// message and status 1.
void lower_or_end(int semid, key_t key, short flags);
