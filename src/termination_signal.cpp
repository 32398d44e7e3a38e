// Catching the termination signals, sleeping until one comes, and ending by them.
#include "termination_signal.hpp"

#include <cerrno>
#include <ctime>
#include <unistd.h>

volatile sig_atomic_t termination_signal = 0;

// How often a caught termination signal is repeated as SIGALRM until the
// process ends.
constexpr long KICK_NANOSECONDS = 10000000;

static const int TERMINATION_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

static timer_t kick_timer; // made before the handlers are installed

static void on_termination_signal(int sig) {
    if (termination_signal == 0)
        termination_signal = sig;
    // The signal may land after the program last looked at termination_signal
    // and before it blocks in semop or nanosleep, which would then wait on. A
    // repeating SIGALRM breaks any such wait until the process has ended.
    // timer_settime is async-signal-safe (signal-safety(7)); setitimer is not.
    int saved_errno = errno;
    const itimerspec kick = {{0, KICK_NANOSECONDS}, {0, KICK_NANOSECONDS}};
    timer_settime(kick_timer, 0, &kick, nullptr);
    errno = saved_errno;
}

static void on_kick(int) {}

int catch_termination_signals() {
    sigevent kick = {};
    kick.sigev_notify = SIGEV_SIGNAL;
    kick.sigev_signo = SIGALRM;
    if (timer_create(CLOCK_MONOTONIC, &kick, &kick_timer) == -1)
        return -1;
    // No SA_RESTART: a write blocked on a full pipe must give up, as semop and
    // nanosleep do, so that a unit held meanwhile is given back at once.
    struct sigaction sa = {};
    sigemptyset(&sa.sa_mask);
    for (int sig : TERMINATION_SIGNALS)
        sigaddset(&sa.sa_mask, sig);
    sa.sa_handler = on_kick;
    if (sigaction(SIGALRM, &sa, nullptr) == -1)
        return -1;
    sa.sa_handler = on_termination_signal;
    for (int sig : TERMINATION_SIGNALS)
        if (sigaction(sig, &sa, nullptr) == -1)
            return -1;
    return 0;
}

void sleep_until_signalled(int seconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline); // cannot fail for this clock
    deadline.tv_sec += seconds;
    while (termination_signal == 0 &&
           clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR)
        ;
}

void end_by_termination_signal() {
    int sig = termination_signal;
    struct sigaction by_default = {};
    by_default.sa_handler = SIG_DFL;
    sigaction(sig, &by_default, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig); // not reached: the signal's default action ends the process
}
