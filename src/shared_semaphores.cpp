// The semaphore protocol: joining a set by its key, and taking and giving units.
#include "shared_semaphores.hpp"

#include "termination_signal.hpp"

#include <cerrno>
#include <cstddef>
#include <ctime>
#include <sys/ipc.h>

const sembuf down_op = {0, -1, 0};
const sembuf up_op = {0, +1, 0};
// The +1 comes first, so that the pair never waits on a set at 0.
const sembuf guard_ops[2] = {{0, +1, 0}, {0, -1, SEM_UNDO}};
const sembuf drop_guard_ops[2] = {{0, +1, SEM_UNDO}, {0, -1, 0}};

// For operations that never wait: an EINTR can only be a signal caught at the
// moment of the call, and the operation is repeated, even after a termination
// signal, since it gives a unit back.
static int apply_at_once(int semid, const sembuf *ops, size_t count) {
    int r;
    // semop only reads the operations; its prototype predates const.
    while ((r = semop(semid, const_cast<sembuf *>(ops), count)) == -1 && errno == EINTR)
        ;
    return r;
}

int join_semaphore(key_t key, int initial) {
    for (;;) {
        int semid = semget(key, 1, IPC_CREAT | IPC_EXCL | SEM_MODE);
        if (semid != -1) {
            // Linux starts a new set at 0. Raising it by the starting value,
            // instead of overwriting it, keeps whatever another process did
            // to the set since it appeared.
            const sembuf start = {0, static_cast<short>(initial), 0};
            if (initial > 0 && apply_at_once(semid, &start, 1) == -1)
                return -1;
            return semid;
        }
        if (errno != EEXIST)
            return -1;
        semid = semget(key, 1, 0);
        if (semid != -1 || errno != ENOENT)
            return semid;
        // The set was removed between the two calls: create it afresh.
    }
}

// At 0 with nothing ever done to it. The kernel keeps, for member 0, the last
// process that changed it (GETPID): 0 for a new set, set by every semop that
// succeeds, by SETVAL and SETALL, and at an exit only when that exit undoes
// an adjustment, which an earlier semop made. The last-operation time
// (sem_otime) is no such proof: the kernel stamps it whenever a process that
// holds an undo entry for the set exits, even with nothing to undo, as a
// doorkeeper that only waited on the set does. (From a PID namespace that
// cannot see the last process, GETPID reads 0 too.)
static bool at_zero_untouched(int semid) {
    return semctl(semid, 0, GETVAL) == 0 && semctl(semid, 0, GETPID) == 0;
}

bool never_started(int semid, int initial) {
    if (initial <= 0 || !at_zero_untouched(semid))
        return false;
    const timespec step = {0, 1000000};
    for (int waited = 0; waited < START_WAIT_MS; waited++) {
        nanosleep(&step, nullptr); // a signal only cuts one step short
        if (!at_zero_untouched(semid))
            return false;
    }
    return true;
}

int semaphore_down(int semid, short flags) {
    for (;;) {
        if (termination_signal != 0) {
            errno = EINTR;
            return -1;
        }
        sembuf op = down_op;
        op.sem_flg = flags;
        if (semop(semid, &op, 1) == 0)
            return 0;
        // Linux breaks a waiting semop with EINTR after SIGSTOP and SIGCONT,
        // even with no handler: that is no reason to give up the wait.
        if (errno != EINTR)
            return -1;
    }
}

int semaphore_up(int semid, short flags) {
    sembuf op = up_op;
    op.sem_flg = flags;
    return apply_at_once(semid, &op, 1);
}

int guard_unit(int semid) {
    return apply_at_once(semid, guard_ops, 2);
}

int drop_guard(int semid) {
    return apply_at_once(semid, drop_guard_ops, 2);
}
