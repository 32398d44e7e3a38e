// Telling a free set that its maker never started.
#include "unstarted_set.hpp"

#include "signals_and_time.hpp"

#include <ctime>
#include <sys/sem.h>

// At 0, never changed by a semop, and either never operated on or with
// nothing ever passed on through the entry set. The kernel keeps, for member
// 0, the last process that changed it (GETPID): 0 for a new set, set by every
// semop that succeeds, by SETVAL and SETALL, and at an exit only when that exit
// undoes an adjustment. From a PID namespace that cannot see that process it
// reads 0 as well, so the last-operation times break the tie: a drained set
// was raised to its starting value by a semop, and its units were passed on
// to the entry set. An exit stamps sem_otime on every set the process holds
// an undo entry for, even with nothing to undo, as a doorkeeper that only
// waited on the free set does; nothing takes units from the entry set with
// SEM_UNDO, so its sem_otime shows a unit passed on.
static bool looks_unstarted(int free_sem, int entry_sem, semid_ds *free_ds) {
    semid_ds entry_ds = {};
    if (semctl(free_sem, 0, IPC_STAT, free_ds) == -1 ||
        semctl(entry_sem, 0, IPC_STAT, &entry_ds) == -1)
        return false;
    return semctl(free_sem, 0, GETVAL) == 0 && semctl(free_sem, 0, GETPID) == 0 &&
           (free_ds->sem_otime == 0 || entry_ds.sem_otime == 0);
}

bool stays_unstarted(int free_sem, int entry_sem) {
    semid_ds ds;
    // Bounded on the monotonic clock too, should the wall clock jump back.
    const timespec give_up = seconds_from_now(START_GRACE_SECONDS + 1);
    while (termination_signal == 0 && looks_unstarted(free_sem, entry_sem, &ds)) {
        if (time(nullptr) - ds.sem_ctime >= START_GRACE_SECONDS || is_past(give_up))
            return true;
        const timespec step = {0, 10000000};
        nanosleep(&step, nullptr); // a signal only cuts one step short
    }
    return false;
}
