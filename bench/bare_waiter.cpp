// bare_waiter: the least a client can be, the benchmark's floor. It joins the
// entry set, says in the client's words that it wants to enter, waits for one
// unit, says that it is let in, and then waits for its end. No signal
// handling, no guard, no free set: what is left is what any waiting process
// costs.
//
// Each option adds one of the client's own steps, taken as the client takes
// it, so that the benchmark can tell what each step costs:
//   --guard     join the free set first, and guard the unit on it once let in
//   --stdio     write each line with printf and fflush instead of one write
//   --handlers  catch the termination signals, and end by them
//   --sleep     consume for 15 seconds, as the client does, instead of pause
#include "shared_semaphores.hpp"
#include "termination_signal.hpp"

#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

constexpr int CONSUME_SECONDS = 15;

static bool with_stdio;

static bool say(const char *format) {
    if (with_stdio)
        return printf(format, getpid()) >= 0 && fflush(stdout) == 0;
    return dprintf(STDOUT_FILENO, format, getpid()) >= 0;
}

[[noreturn]] static void end() {
    if (termination_signal != 0)
        end_by_termination_signal();
    exit(1);
}

int main(int argc, char **argv) {
    bool guard = false, handlers = false, sleeps = false;
    const option options[] = {{"guard", no_argument, nullptr, 'g'},
                              {"stdio", no_argument, nullptr, 's'},
                              {"handlers", no_argument, nullptr, 'h'},
                              {"sleep", no_argument, nullptr, 'c'},
                              {}};
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        guard |= c == 'g';
        with_stdio |= c == 's';
        handlers |= c == 'h';
        sleeps |= c == 'c';
        if (c == '?')
            return 2;
    }
    if (handlers && catch_termination_signals() == -1)
        return 1;
    int free_sem = guard ? join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL) : 0;
    int entry = semget(ENTRY_SEM_KEY, 1, IPC_CREAT | SEM_MODE);
    sembuf down = {0, -1, 0};
    if (free_sem == -1 || entry == -1 || !say("Klient %d chce wejsc!\n") ||
        semop(entry, &down, 1) == -1 || (guard && guard_unit(free_sem) == -1) ||
        !say("Klient %d konsumuje!\n"))
        end();
    if (sleeps)
        sleep_until_signalled(seconds_from_now(CONSUME_SECONDS));
    for (;;) {
        if (termination_signal != 0)
            end_by_termination_signal();
        pause();
    }
}
