// Starting up, and taking a unit or ending, for klient and doorkeeper.
#include "start_up.hpp"

#include "lines_and_failures.hpp"
#include "shared_semaphores.hpp"
#include "signals_and_time.hpp"
#include "unstarted_set.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

// The set under key, found whatever its mode: SEM_STAT_ANY reads any set, as
// ipcs does, where IPC_STAT needs read permission.
static bool find_set(key_t key, semid_ds *ds) {
    seminfo info;
    int last = semctl(0, 0, SEM_INFO, &info); // the highest index in use
    for (int index = 0; index <= last; index++)
        if (semctl(index, 0, SEM_STAT_ANY, ds) != -1 && ds->sem_perm.__key == key)
            return true;
    return false;
}

// A set that refuses this process: name its owner and its mode, which is
// what a user on a shared machine needs to act.
[[noreturn]] static void die_refused(key_t key, int error) {
    semid_ds ds;
    if (!find_set(key, &ds))
        die_on_semaphore("cannot join", key, -1, error);
    if (ds.sem_perm.uid == geteuid()) {
        complain("cannot join the %s semaphore (key %d): %s: it is your own set, mode %04o; once "
                 "no program using it is running, remove it (ipcrm -S %d) and start again",
                 semaphore_name(key), static_cast<int>(key), strerror(error),
                 ds.sem_perm.mode & 0777, static_cast<int>(key));
        exit(1);
    }
    char owner[128];
    const passwd *pw = getpwuid(ds.sem_perm.uid);
    if (pw != nullptr)
        snprintf(owner, sizeof owner, "%s (uid %u)", pw->pw_name, ds.sem_perm.uid);
    else
        snprintf(owner, sizeof owner, "uid %u", ds.sem_perm.uid);
    // Each unshare makes a namespace of its own: every program of one
    // simulation must run from the same one.
    complain("cannot join the %s semaphore (key %d): %s: it belongs to %s, mode %04o; ask its "
             "owner to remove it, or start one shell in a private IPC namespace (unshare "
             "--map-root-user --ipc bash) and run the doorkeeper and every client from it",
             semaphore_name(key), static_cast<int>(key), strerror(error), owner,
             ds.sem_perm.mode & 0777);
    exit(1);
}

static int join_or_die(key_t key, int initial) {
    int semid = join_semaphore(key, initial);
    if (semid == -1 && errno == EACCES)
        die_refused(key, errno);
    seminfo limits;
    if (semid == -1 && errno == EINVAL && semctl(0, 0, IPC_INFO, &limits) != -1 &&
        limits.semmsl < 1) {
        complain("cannot join the %s semaphore (key %d): %s: the kernel allows no semaphore in a "
                 "set (SEMMSL, the first value of kernel.sem, is %d)",
                 semaphore_name(key), static_cast<int>(key), strerror(EINVAL), limits.semmsl);
        exit(1);
    }
    if (semid == -1)
        die_on_semaphore("cannot join", key, -1, errno);
    return semid;
}

void start_up(const char *name, int *free_sem, int *entry_sem) {
    name_program(name);
    if (catch_termination_signals() == -1) {
        complain("cannot catch termination signals: %s", strerror(errno));
        exit(1);
    }
    *free_sem = join_or_die(FREE_SEM_KEY, FREE_SEM_INITIAL);
    *entry_sem = join_or_die(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL);
    // A free set left at 0 by a maker that died before starting it would
    // make everyone wait for ever without a word: say so, and go on, since a
    // counterpart may still raise it. Such a set is left untouched, so that
    // whoever joins it later can still tell.
    if (stays_unstarted(*free_sem, *entry_sem)) {
        complain("the free semaphore (key %d) looks made but never given its starting value, "
                 "its maker ended or stalled: it is at 0 and no process seen from here ever "
                 "raised it (from a child PID namespace, one outside is not seen); once no "
                 "program using it is running, remove it (ipcrm -S %d) and start again",
                 static_cast<int>(FREE_SEM_KEY), static_cast<int>(FREE_SEM_KEY));
        return;
    }
    // At the maximum value there is no room for a guard's +1: see the client.
    if (try_guard(*free_sem) == -1 && errno != ERANGE)
        die_on_semaphore("cannot guard a unit on", FREE_SEM_KEY, *free_sem, errno);
}

void lower_or_end(int semid, key_t key, short flags) {
    if (semaphore_down(semid, flags, &termination_signal) == 0)
        return;
    if (termination_signal != 0)
        end_by_termination_signal(); // nothing taken, nothing to give back
    die_on_semaphore("cannot lower", key, semid, errno);
}
