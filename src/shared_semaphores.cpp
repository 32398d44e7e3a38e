#include "shared_semaphores.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/time.h>
#include <unistd.h>

const sembuf down_op = {0, -1, 0};
const sembuf up_op = {0, +1, 0};

volatile sig_atomic_t stop_signal = 0;

// How often a caught stop signal is repeated as SIGALRM until the process ends.
constexpr suseconds_t KICK_MICROSECONDS = 10000;

static const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// For raising: it never waits, so an EINTR can only be a signal caught at the
// moment of the call, and the raise is repeated, a stop signal included, as
// it gives a unit back.
static int apply_at_once(int semid, sembuf op) {
    int r;
    while ((r = semop(semid, &op, 1)) == -1 && errno == EINTR)
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
            if (initial > 0 &&
                apply_at_once(semid, sembuf{0, static_cast<short>(initial), 0}) == -1)
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

int semaphore_down(int semid) {
    for (;;) {
        if (stop_signal != 0) {
            errno = EINTR;
            return -1;
        }
        sembuf op = down_op;
        if (semop(semid, &op, 1) == 0)
            return 0;
        // Linux breaks a waiting semop with EINTR after stop and continue,
        // even with no handler: that is no reason to give up the wait.
        if (errno != EINTR)
            return -1;
    }
}

int semaphore_up(int semid) {
    return apply_at_once(semid, up_op);
}

const char *semaphore_name(key_t key) {
    return key == FREE_SEM_KEY ? "free" : key == ENTRY_SEM_KEY ? "entry" : "shared";
}

void die_on_semaphore(const char *program, const char *what, key_t key, int err) {
    fprintf(stderr, "%s: %s the %s semaphore (key %d): %s\n", program, what, semaphore_name(key),
            static_cast<int>(key), strerror(err));
    exit(1);
}

static void on_stop_signal(int sig) {
    if (stop_signal == 0)
        stop_signal = sig;
    // The signal may land after the program last looked at stop_signal and
    // before it blocks in semop or nanosleep, which would then wait on. A
    // repeating SIGALRM breaks any such wait until the process has ended.
    int saved_errno = errno;
    const itimerval kick = {{0, KICK_MICROSECONDS}, {0, KICK_MICROSECONDS}};
    setitimer(ITIMER_REAL, &kick, nullptr);
    errno = saved_errno;
}

static void on_kick(int) {}

int install_stop_handlers() {
    struct sigaction sa = {};
    // SA_RESTART keeps writes going; semop and nanosleep still return EINTR,
    // since Linux never restarts them after a handler.
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : STOP_SIGNALS)
        sigaddset(&sa.sa_mask, sig);
    sa.sa_handler = on_kick;
    if (sigaction(SIGALRM, &sa, nullptr) == -1)
        return -1;
    sa.sa_handler = on_stop_signal;
    for (int sig : STOP_SIGNALS)
        if (sigaction(sig, &sa, nullptr) == -1)
            return -1;
    return 0;
}

void end_by_stop_signal() {
    int sig = stop_signal;
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig); // not reached: the signal's default action ends the process
}

void start_up(const char *program, int *free_sem, int *entry_sem) {
    if (install_stop_handlers() == -1) {
        fprintf(stderr, "%s: cannot catch termination signals: %s\n", program, strerror(errno));
        exit(1);
    }
    if ((*free_sem = join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL)) == -1)
        die_on_semaphore(program, "cannot join", FREE_SEM_KEY, errno);
    if ((*entry_sem = join_semaphore(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL)) == -1)
        die_on_semaphore(program, "cannot join", ENTRY_SEM_KEY, errno);
}

void lower_or_end(const char *program, int semid, key_t key) {
    if (semaphore_down(semid) == 0)
        return;
    if (stop_signal != 0)
        end_by_stop_signal(); // nothing taken, nothing to give back
    die_on_semaphore(program, "cannot lower", key, errno);
}

void die_on_output(const char *program, int err) {
    if (stop_signal != 0)
        end_by_stop_signal();
    fprintf(stderr, "%s: cannot write to standard output: %s\n", program, strerror(err));
    exit(1);
}
