// Start-up, taking a unit, and the one-line failures of klient and doorkeeper.
#include "program_steps.hpp"

#include "shared_semaphores.hpp"
#include "termination_signal.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void start_up(const char *program, int *free_sem, int *entry_sem) {
    if (catch_termination_signals() == -1) {
        fprintf(stderr, "%s: cannot catch termination signals: %s\n", program, strerror(errno));
        exit(1);
    }
    if ((*free_sem = join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL)) == -1)
        die_on_semaphore(program, "cannot join", FREE_SEM_KEY, errno);
    if ((*entry_sem = join_semaphore(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL)) == -1)
        die_on_semaphore(program, "cannot join", ENTRY_SEM_KEY, errno);
}

void lower_or_end(const char *program, int semid, key_t key, short flags) {
    if (semaphore_down(semid, flags) == 0)
        return;
    if (termination_signal != 0)
        end_by_termination_signal(); // nothing taken, nothing to give back
    die_on_semaphore(program, "cannot lower", key, errno);
}

void die_on_semaphore(const char *program, const char *what, key_t key, int err) {
    const char *name = key == FREE_SEM_KEY ? "free" : key == ENTRY_SEM_KEY ? "entry" : "shared";
    fprintf(stderr, "%s: %s the %s semaphore (key %d): %s\n", program, what, name,
            static_cast<int>(key), strerror(err));
    exit(1);
}

void die_on_output(const char *program, int err) {
    if (termination_signal != 0)
        end_by_termination_signal();
    fprintf(stderr, "%s: cannot write to standard output: %s\n", program, strerror(err));
    exit(1);
}
