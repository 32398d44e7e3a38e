// Start-up, taking a unit, and the one-line failures of klient and doorkeeper.
#include "program_steps.hpp"

#include "shared_semaphores.hpp"
#include "termination_signal.hpp"

#include <cerrno>
#include <err.h>

static const char *semaphore_name(key_t key) {
    return key == FREE_SEM_KEY ? "free" : key == ENTRY_SEM_KEY ? "entry" : "shared";
}

// Joins the set or dies. A set left at 0 by a maker that died before starting
// it would make everyone wait for ever without a word: say so, and go on, since
// a counterpart may still raise it.
static int join_or_die(key_t key, int initial) {
    int semid = join_semaphore(key, initial);
    if (semid == -1)
        die_on_semaphore("cannot join", key, errno);
    if (never_started(semid, initial))
        warnx("the %s semaphore (key %d) was made but never given its starting value: its maker "
              "ended first; remove it (ipcrm -S %d) and start again",
              semaphore_name(key), static_cast<int>(key), static_cast<int>(key));
    return semid;
}

void start_up(int *free_sem, int *entry_sem) {
    if (catch_termination_signals() == -1)
        err(1, "cannot catch termination signals");
    *free_sem = join_or_die(FREE_SEM_KEY, FREE_SEM_INITIAL);
    *entry_sem = join_or_die(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL);
}

void lower_or_end(int semid, key_t key, short flags) {
    if (semaphore_down(semid, flags) == 0)
        return;
    if (termination_signal != 0)
        end_by_termination_signal(); // nothing taken, nothing to give back
    die_on_semaphore("cannot lower", key, errno);
}

void die_on_semaphore(const char *what, key_t key, int error) {
    errno = error;
    err(1, "%s the %s semaphore (key %d)", what, semaphore_name(key), static_cast<int>(key));
}

void die_on_output(int error) {
    if (termination_signal != 0)
        end_by_termination_signal();
    errno = error;
    err(1, "cannot write to standard output");
}
