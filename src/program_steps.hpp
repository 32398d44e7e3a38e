// The steps that klient and doorkeeper share: starting up, taking a unit or
// ending, and failing with one line on standard error. Each line starts with
// the program's name, as err(3) gives it.
#pragma once

#include <sys/types.h>

// Catches the termination signals, then joins the free semaphore and the
// entry semaphore, in that order. On failure says why and exits with status 1.
// Warns on standard error of a set that was made but never started.
void start_up(int *free_sem, int *entry_sem);

// Takes one unit (flags as for semaphore_down), or ends the process: by the
// caught termination signal if one came before a unit was taken, else with a
// message and status 1.
void lower_or_end(int semid, key_t key, short flags);

// Writes "<program>: <what> the <name> semaphore (key <k>): <reason of error>"
// to standard error and exits with status 1.
[[noreturn]] void die_on_semaphore(const char *what, key_t key, int error);

// Ends the program after standard output could not be written: by the signal
// if one was caught (SIGPIPE when the reader went away), else with a message
// and status 1.
[[noreturn]] void die_on_output(int error);
