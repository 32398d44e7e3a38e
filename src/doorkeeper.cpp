// doorkeeper: lets clients in, one per free place. Without end it waits for a
// free place (lowers the free semaphore) and then lets one client in (raises
// the entry semaphore), so that no more clients consume at once than the free
// semaphore's starting value.
//
// Units are conserved whatever ends it, except in two gaps that only an
// uncatchable death (SIGKILL, a crash) can hit: between dropping the guard on
// a place and passing the place on (see main), and, if it makes the free set,
// between making it and giving it its starting value. A place taken but not
// yet passed on goes back to the free semaphore: given back on a termination
// signal, and by the kernel on any other death.
#include "program_steps.hpp"
#include "shared_semaphores.hpp"
#include "termination_signal.hpp"

#include <cerrno>
#include <sys/sem.h>

int main() {
    int free_sem, entry_sem;
    start_up(&free_sem, &entry_sem);

    for (unsigned long admissions = 1;; admissions++) {
        // The place is taken with its guard, so it goes back to the free
        // semaphore if the doorkeeper dies before passing it on.
        lower_or_end(free_sem, FREE_SEM_KEY, SEM_UNDO);
        if (termination_signal != 0) { // caught after taking a place: give it back
            if (semaphore_up(free_sem, SEM_UNDO) == -1)
                die_on_semaphore("cannot give a place back to", FREE_SEM_KEY, errno);
            end_by_termination_signal();
        }
        // Passing the place on: the guard goes first, since keeping it past
        // the raise would let a death give the place back twice. A death
        // between the two calls loses it; no single call spans two sets.
        if (drop_guard(free_sem) == -1) // exiting gives the guarded place back
            die_on_semaphore("cannot pass a place on from", FREE_SEM_KEY, errno);
        if (semaphore_up(entry_sem, 0) == -1) // the place goes back where it came from
            die_giving_back(free_sem, "cannot raise", ENTRY_SEM_KEY, errno);
        if (int error = print_line(nullptr, "doorkeeper: let one in (admission %lu)\n", admissions))
            die_on_output(error);
    }
}
