// klient: one client of the simulation. It announces that it wants to enter,
// waits on the entry semaphore until its doorkeeper lets it in, consumes for
// CONSUME_SECONDS, gives a unit back to the free semaphore, announces that it
// leaves, and starts again, without end.
//
// On a termination signal a client that waits ends at once and one that
// consumes gives its unit back first; on any other death the kernel gives it
// back, except in the gaps marked where they are (in visit, and in
// join_semaphore). A call that fails while the client holds a unit gives the
// unit back first.
#include "lines_and_failures.hpp"
#include "shared_semaphores.hpp"
#include "signals_and_time.hpp"
#include "start_up.hpp"

#include <cerrno>
#include <ctime>
#include <sys/sem.h>
#include <unistd.h>

static void announce_or_end(const char *what) {
    if (int error = print_line(ANNOUNCEMENT, static_cast<int>(getpid()), what))
        die_on_output(error);
}

// With the guard (undo SEM_UNDO), this one call gives the unit back and drops
// the guard, so the unit can never come back twice.
static void give_back(int free_sem, short undo) {
    stop_waking(); // the visit's alarm: nothing held is left for it to bound
    if (semaphore_up(free_sem, undo) == -1)
        die_holding("cannot raise", FREE_SEM_KEY, free_sem, errno,
                    undo == SEM_UNDO ? HOLDS_GUARDED : HOLDS_UNGUARDED);
    hold_terminal_stops(false);
}

// One visit: the unit is taken, guarded, announced, held CONSUME_SECONDS at
// most, whatever holds up the output meanwhile, and given back.
static void visit(int free_sem, int entry_sem) {
    lower_or_end(entry_sem, ENTRY_SEM_KEY, 0);
    const timespec ends = seconds_from_now(CONSUME_SECONDS);
    // The unit is held from here until the free semaphore is raised. The
    // guard makes the kernel give it back if the client dies in any way.
    // Only the gap between these two calls stays open: the unit comes from
    // one set and goes back to another, and no single call spans two sets. A
    // guard on the entry set instead would only move the gap.
    short undo = SEM_UNDO;
    if (guard_unit(free_sem) == -1) {
        // At the maximum value there is no room for a guard: go on without
        // one, and the raise below reports the error. Start-up proved that
        // the guard works, but the set may have changed since.
        if (errno != ERANGE)
            die_giving_back(free_sem, "cannot guard a unit on", FREE_SEM_KEY, free_sem, errno);
        undo = 0;
    }
    // While it holds a unit, a background client writes even if the terminal
    // asks background jobs to stop for that (stty tostop): a stopped client
    // would hold its unit for as long as it stays stopped. Its other lines
    // obey.
    hold_terminal_stops(true);
    // A line held up past the end of the visit (a full pipe, a terminal
    // stopped with Ctrl-S) is broken off by the visit's alarm, which repeats
    // until the unit is back, so a write that begins after it came (the
    // client stopped meanwhile) is broken off too: the unit goes back then,
    // and the line waits for the output holding nothing.
    wake_at(ends);
    Line consumes;
    make_line(&consumes, ANNOUNCEMENT, static_cast<int>(getpid()), CONSUMES);
    int error = write_line(&consumes, &ends);
    bool holding = error != ETIMEDOUT;
    if (!holding) {
        give_back(free_sem, undo);
        error = write_line(&consumes, nullptr);
    }
    // A sleep the system refuses (a seccomp policy, say) ends the visit and
    // the program: visits of no length would flood the output.
    int slept = error == 0 && holding ? sleep_until_signalled(ends) : 0;
    if (holding)
        give_back(free_sem, undo);
    if (slept != 0)
        die_on_call("cannot sleep through the visit (its unit is back on the free semaphore)",
                    slept);
    if (error != 0)
        die_on_output(error);
    announce_or_end(LEAVES);
}

int main() {
    int free_sem, entry_sem;
    start_up("klient", &free_sem, &entry_sem);
    for (;;) {
        if (termination_signal != 0)
            end_by_termination_signal();
        announce_or_end(WANTS_TO_ENTER);
        visit(free_sem, entry_sem);
    }
}
