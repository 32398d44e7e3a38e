// klient: one client of the simulation. It announces that it wants to enter,
// waits on the entry semaphore until its doorkeeper lets it in, consumes for
// CONSUME_SECONDS, gives a unit back to the free semaphore, announces that it
// leaves, and starts again, without end.
//
// Units are conserved whatever ends a client, except in two gaps that only an
// uncatchable death (SIGKILL, a crash) can hit: just after it is let in,
// before its guard is set (see main), and, in the client that makes the free
// set, just after making it, before giving it its starting value. On a
// termination signal a client that waits ends at once and one that consumes
// gives its unit back first; on any other death the kernel gives it back.
#include "program_steps.hpp"
#include "shared_semaphores.hpp"
#include "termination_signal.hpp"

#include <cerrno>
#include <cstdio>
#include <sys/sem.h>
#include <unistd.h>

constexpr int CONSUME_SECONDS = 15;
constexpr const char *WANTS_TO_ENTER = "Klient %d chce wejsc!\n";
constexpr const char *CONSUMES = "Klient %d konsumuje!\n";
constexpr const char *LEAVES = "Klient %d ucieka!\n";

// Writes one announcement with the process id and flushes it, so that it is
// seen at once on a pipe or a file and is not lost if a signal ends the
// process. Returns 0, or the reason it could not be written.
static int announce(const char *format) {
    if (printf(format, static_cast<int>(getpid())) < 0 || fflush(stdout) == EOF)
        return errno;
    return 0;
}

int main() {
    int free_sem, entry_sem;
    start_up(&free_sem, &entry_sem);

    for (;;) {
        if (termination_signal != 0)
            end_by_termination_signal();
        if (int error = announce(WANTS_TO_ENTER))
            die_on_output(error);
        lower_or_end(entry_sem, ENTRY_SEM_KEY, 0);
        // The unit is held from here until the free semaphore is raised. The
        // guard makes the kernel give it back if the client dies in any way.
        // Only the gap between these two calls stays open: the unit comes
        // from one set and goes back to another, and no single call spans two
        // sets. A guard on the entry set instead would only move the gap.
        short undo = SEM_UNDO;
        if (guard_unit(free_sem) == -1) {
            // At the maximum value there is no room for a guard: go on
            // without one, and the raise below reports the error. Any other
            // failure (the set removed, say) would only show after the visit.
            if (errno != ERANGE)
                die_on_semaphore("cannot guard a unit on", FREE_SEM_KEY, errno);
            undo = 0;
        }
        int error = announce(CONSUMES);
        if (error == 0)
            sleep_until_signalled(CONSUME_SECONDS);
        // With the guard, this one call gives the unit back and drops the
        // guard, so the unit can never come back twice.
        if (semaphore_up(free_sem, undo) == -1)
            die_on_semaphore("cannot raise", FREE_SEM_KEY, errno);
        if (error == 0)
            error = announce(LEAVES);
        if (error != 0)
            die_on_output(error);
    }
}
