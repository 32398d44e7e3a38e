// doorkeeper: lets clients in, one per free unit. Without end it waits for a
// free unit (lowers the free semaphore) and then lets one client in (raises
// the entry semaphore), so that no more clients consume at once than the free
// semaphore's starting value.
//
// A unit taken but not yet passed on goes back to the free semaphore: given
// back on a termination signal, and by the kernel on any other death, except
// in the gaps marked where they are (in main, and in join_semaphore).
#include "lines_and_failures.hpp"
#include "shared_semaphores.hpp"
#include "signals_and_time.hpp"
#include "start_up.hpp"

#include <cerrno>
#include <sys/sem.h>

int main() {
    int free_sem, entry_sem;
    start_up("doorkeeper", &free_sem, &entry_sem);

    for (unsigned long admissions = 1;; admissions++) {
        // The unit is taken with its guard, so it goes back to the free
        // semaphore if the doorkeeper dies before passing it on.
        lower_or_end(free_sem, FREE_SEM_KEY, SEM_UNDO);
        if (termination_signal != 0) { // caught after taking a unit: give it back
            if (semaphore_up(free_sem, SEM_UNDO) == -1)
                die_holding("cannot give a unit back to", FREE_SEM_KEY, free_sem, errno,
                            HOLDS_GUARDED);
            end_by_termination_signal();
        }
        // Passing the unit on: the guard goes first, since keeping it past
        // the raise would let a death give the unit back twice. A death
        // between the two calls loses it; no single call spans two sets.
        if (drop_guard(free_sem) == -1)
            die_holding("cannot pass a unit on from", FREE_SEM_KEY, free_sem, errno, HOLDS_GUARDED);
        if (semaphore_up(entry_sem, 0) == -1) // the unit goes back where it came from
            die_giving_back(free_sem, "cannot raise", ENTRY_SEM_KEY, entry_sem, errno);
        if (int error = print_line("doorkeeper: let one in (admission %lu)\n", admissions))
            die_on_output(error);
    }
}
