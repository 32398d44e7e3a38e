// The semaphore protocol: joining a set by its key, and taking and giving units.
#include "shared_semaphores.hpp"

#include <cerrno>
#include <cstddef>
#include <sys/ipc.h>

const sembuf down_op = {0, -1, 0};
const sembuf up_op = {0, +1, 0};
// A guard's +1 comes with a -1 of the value in the same call, each pair with
// its +1 first, so that it never waits on a set at 0.
static const sembuf guard_ops[2] = {{0, +1, 0}, {0, -1, SEM_UNDO}};
static const sembuf drop_guard_ops[2] = {{0, +1, SEM_UNDO}, {0, -1, 0}};
// The adjustment goes to -1 and back to 0, the value to +1 and back.
static const sembuf try_guard_ops[2] = {{0, +1, SEM_UNDO}, {0, -1, SEM_UNDO}};

// What a process asks of a set it joins: reading and altering its value, as
// the owner bits of a mode. A set that refuses either fails the join.
constexpr int JOIN_ACCESS = 0600;

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
            // to the set since it appeared. Making a set and starting it are
            // two calls: a maker that dies between them, by SIGKILL or a
            // crash, leaves the set at 0 for good (see unstarted_set.hpp). A set
            // that cannot be started would stay so too: it goes again.
            const sembuf start = {0, static_cast<short>(initial), 0};
            if (initial > 0 && apply_at_once(semid, &start, 1) == -1) {
                int error = errno;
                semctl(semid, 0, IPC_RMID);
                errno = error;
                return -1;
            }
            return semid;
        }
        if (errno != EEXIST)
            return -1;
        semid = semget(key, 1, JOIN_ACCESS);
        if (semid != -1 || errno != ENOENT)
            return semid;
        // The set was removed between the two calls: create it afresh.
    }
}

int semaphore_down(int semid, short flags, const volatile sig_atomic_t *cancel) {
    for (;;) {
        if (cancel != nullptr && *cancel != 0) {
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

int try_guard(int semid) {
    return apply_at_once(semid, try_guard_ops, 2);
}
