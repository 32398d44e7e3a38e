// bare_waiter: the least a client can be, the benchmark's floor. It joins the
// entry set, says in the client's words that it wants to enter, waits for one
// unit, says that it is let in, and then waits for its end. No signal
// handling, no guard, no free set: what is left is what any waiting process
// costs. Each line is one write, as the client writes it.
//
// Each option adds one of the client's own steps, taken as the client takes
// it, so that the benchmark can tell what each step costs:
//   --guard     join the free set first, and guard the unit on it once let in
//   --alarm     once let in, block SIGTTOU and arm a timer for the visit's end
//   --handlers  catch the termination signals, and end by them
//   --sleep     consume for 15 seconds, as the client does, instead of pause
#include "shared_semaphores.hpp"
#include "signals_and_time.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

static bool say(const char *what) {
    return dprintf(STDOUT_FILENO, ANNOUNCEMENT, getpid(), what) >= 0;
}

// Without the client's handlers, SIGALRM from the visit's timer would end
// the process: ignore it instead.
static bool make_visit_timer() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    return sigaction(SIGALRM, &ignore, nullptr) == 0 && make_wake_timer() == 0;
}

[[noreturn]] static void end() {
    if (termination_signal != 0)
        end_by_termination_signal();
    exit(1);
}

int main(int argc, char **argv) {
    bool guard = false, alarm = false, handlers = false, sleeps = false;
    const option options[] = {{"guard", no_argument, nullptr, 'g'},
                              {"alarm", no_argument, nullptr, 'a'},
                              {"handlers", no_argument, nullptr, 'h'},
                              {"sleep", no_argument, nullptr, 'c'},
                              {}};
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        guard |= c == 'g';
        alarm |= c == 'a';
        handlers |= c == 'h';
        sleeps |= c == 'c';
        if (c == '?')
            return 2;
    }
    if (handlers ? catch_termination_signals() == -1 : alarm && !make_visit_timer())
        return 1;
    int free_sem = guard ? join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL) : 0;
    int entry = semget(ENTRY_SEM_KEY, 1, IPC_CREAT | SEM_MODE);
    sembuf down = {0, -1, 0};
    if (free_sem == -1 || entry == -1 || !say(WANTS_TO_ENTER) || semop(entry, &down, 1) == -1)
        end();
    const timespec visit_ends = seconds_from_now(CONSUME_SECONDS);
    if (guard && guard_unit(free_sem) == -1)
        end();
    if (alarm) {
        hold_terminal_stops(true);
        wake_at(visit_ends);
    }
    if (!say(CONSUMES))
        end();
    if (sleeps)
        sleep_until_signalled(visit_ends);
    if (alarm)
        stop_waking(); // as a client does once its unit is back
    for (;;) {
        if (termination_signal != 0)
            end_by_termination_signal();
        pause();
    }
}
