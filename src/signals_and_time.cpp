// Signal handlers, the wake timer, deadlines and sleeps.
#include "signals_and_time.hpp"

#include <cerrno>
#include <unistd.h>

volatile sig_atomic_t termination_signal = 0;

// How often a caught termination signal is repeated as SIGALRM until the
// process ends, and how often the wake timer repeats past its deadline.
constexpr long KICK_NANOSECONDS = 10000000, WAKE_REPEAT_NANOSECONDS = 100000000;

static const int TERMINATION_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Both made before the handlers are installed, both sending SIGALRM.
static timer_t kick_timer; // repeats once a termination signal has come
static timer_t wake_timer; // fires at the deadline given to wake_at, and on after it

static void on_termination_signal(int sig) {
    if (termination_signal == 0)
        termination_signal = sig;
    // The signal may land after the program last looked at termination_signal
    // and before it blocks in semop, nanosleep or write, which would then wait
    // on. A repeating SIGALRM breaks any such wait until the process has
    // ended. timer_settime is async-signal-safe (signal-safety(7)); setitimer
    // is not.
    int saved_errno = errno;
    const itimerspec kick = {{0, KICK_NANOSECONDS}, {0, KICK_NANOSECONDS}};
    timer_settime(kick_timer, 0, &kick, nullptr);
    errno = saved_errno;
}

static void on_alarm(int) {}

static int make_alarm_timer(timer_t *timer) {
    sigevent alarm = {};
    alarm.sigev_notify = SIGEV_SIGNAL;
    alarm.sigev_signo = SIGALRM;
    return timer_create(CLOCK_MONOTONIC, &alarm, timer);
}

int catch_termination_signals() {
    if (make_alarm_timer(&kick_timer) == -1 || make_wake_timer() == -1)
        return -1;
    // No SA_RESTART: a blocked semop, nanosleep or write must return, so that
    // the program can look at why. Each of them is taken up again unless a
    // termination signal has come.
    struct sigaction sa = {};
    sigemptyset(&sa.sa_mask);
    for (int sig : TERMINATION_SIGNALS)
        sigaddset(&sa.sa_mask, sig);
    sa.sa_handler = on_alarm;
    if (sigaction(SIGALRM, &sa, nullptr) == -1)
        return -1;
    sa.sa_handler = on_termination_signal;
    for (int sig : TERMINATION_SIGNALS) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == -1)
            return -1;
        // An ignored signal stays ignored: whoever started the program asked
        // for that (nohup; a shell starting a background job without job
        // control ignores SIGINT).
        if (old.sa_handler != SIG_IGN && sigaction(sig, &sa, nullptr) == -1)
            return -1;
    }
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGXFSZ, &ignore, nullptr) == -1)
        return -1;
    // Blocked, SIGALRM would never end a visit whose output is held up.
    sigset_t caught = sa.sa_mask;
    sigaddset(&caught, SIGALRM);
    return sigprocmask(SIG_UNBLOCK, &caught, nullptr);
}

timespec seconds_from_now(int seconds) {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t); // cannot fail for this clock
    t.tv_sec += seconds;
    return t;
}

bool is_past(const timespec &deadline) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

int make_wake_timer() {
    return make_alarm_timer(&wake_timer);
}

void hold_terminal_stops(bool hold) {
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &ttou, nullptr);
}

void wake_at(const timespec &deadline) {
    const itimerspec repeating = {{0, WAKE_REPEAT_NANOSECONDS}, deadline};
    timer_settime(wake_timer, TIMER_ABSTIME, &repeating, nullptr); // valid timer and time
}

void stop_waking() {
    const itimerspec off = {};
    timer_settime(wake_timer, 0, &off, nullptr);
}

int sleep_until_signalled(const timespec &deadline) {
    int error = EINTR;
    while (termination_signal == 0 && error == EINTR)
        error = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    return error == EINTR ? 0 : error;
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
    // Its default action could not be restored: as a shell reports a death by sig.
    _exit(128 + sig);
}
