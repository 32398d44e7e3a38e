// demo: one doorkeeper and N clients on the semaphores of the IPC namespace it
// runs in (scripts/demo gives it a private one). Every line they print passes
// straight through, a status line comes every 5 seconds, and each event can
// be logged with the time it was read. After S seconds, or at SIGINT, SIGTERM
// or SIGHUP, it ends them all and says whether free + entry is back at the
// free semaphore's starting value: exit status 0 only then.
//
// With --chaos it also kills a random client with SIGKILL every 1 to 3
// seconds, now and then the doorkeeper instead, starts another in its place,
// and at the end kills everything with SIGKILL.
#include "chaos.hpp"
#include "child_lines.hpp"
#include "options.hpp"
#include "shared_semaphores.hpp"
#include "visit_count.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <err.h>
#include <getopt.h>
#include <initializer_list>
#include <map>
#include <random>
#include <string>
#include <sys/sem.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <vector>

constexpr double STATUS_EVERY_SECONDS = 5;
constexpr double CHAOS_MIN_SECONDS = 1, CHAOS_MAX_SECONDS = 3;
constexpr double STOP_TIMEOUT_SECONDS = 10;

static Children children;            // every process started, in order
static std::vector<Process> process; // the same order
static FILE *event_log;
static double started;
static VisitCount visits; // of the clients, by index
static int killed;
static volatile sig_atomic_t stop_requested;

static void on_stop(int) {
    stop_requested = 1;
}

static void log_event(size_t index, const char *event, double when) {
    if (event_log == nullptr)
        return;
    if (process[index].doorkeeper)
        fprintf(event_log, "%.3f\tdoorkeeper\t%s\n", when - started, event);
    else
        fprintf(event_log, "%.3f\t%d\t%s\n", when - started, children.list[index].pid, event);
}

static size_t start(bool doorkeeper) {
    const char *argv[] = {doorkeeper ? DOORKEEPER_PATH : KLIENT_PATH, nullptr};
    int index = start_child(&children, argv, true);
    if (index == -1)
        err(1, "cannot start %s", doorkeeper ? "the doorkeeper" : "a client");
    process.push_back({doorkeeper, true});
    return index;
}

// Passes a line through and notes what it says.
static void take_line(size_t index, const std::string &line, double when) {
    printf("%s\n", line.c_str());
    if (process[index].doorkeeper) {
        if (line.starts_with("doorkeeper: let one in"))
            log_event(index, "admits", when);
        return;
    }
    const char *events[] = {nullptr, "wants", "enters", "leaves"}; // by Said
    if (const char *event = events[count_line(&visits, index, line)])
        log_event(index, event, when);
}

static void read_lines(int timeout_ms) {
    if (read_child_lines(&children, timeout_ms, take_line) == -1)
        err(1, "cannot read the programs' output");
    fflush(stdout);
}

// Reads every line that has been written so far.
static void drain() {
    while (read_child_lines(&children, 0, take_line) > 0)
        ;
    fflush(stdout);
}

static void ended(size_t index, const char *event) {
    process[index].alive = false;
    count_end(&visits, index);
    log_event(index, event, monotonic_seconds());
}

// Notices programs that ended on their own, for instance after a failure.
static void reap_unexpected() {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        for (size_t i = 0; i < process.size(); i++)
            if (children.list[i].pid == pid && process[i].alive) {
                printf("-- %s %d ended by itself (status %d)\n",
                       process[i].doorkeeper ? "doorkeeper" : "client", pid, status);
                ended(i, "ended");
            }
}

static int semaphore_value(key_t key, int command) {
    return semctl(semget(key, 1, 0), 0, command);
}

static void print_status(double now) {
    printf("-- %3.0fs: free %d, entry %d, waiting %d, inside %d, visits %d\n", now - started,
           semaphore_value(FREE_SEM_KEY, GETVAL), semaphore_value(ENTRY_SEM_KEY, GETVAL),
           semaphore_value(ENTRY_SEM_KEY, GETNCNT), count_inside(visits),
           visits.completed + visits.cut_short);
}

// Kills one living process with SIGKILL and starts another in its place; if
// the doorkeeper was to be killed but has ended on its own, only starts one.
static void kill_one(std::mt19937 &random) {
    size_t victim = pick_victim(process, random);
    if (victim == NO_VICTIM) {
        size_t next = start(true);
        printf("-- chaos: the doorkeeper had ended; %d takes its place\n", children.list[next].pid);
        return;
    }
    bool doorkeeper = process[victim].doorkeeper;
    pid_t pid = children.list[victim].pid;
    bool was_inside = !doorkeeper && visits.clients[victim].inside;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    drain(); // what it wrote before it died comes before its end in the log
    killed++;
    ended(victim, "killed");
    size_t next = start(doorkeeper);
    printf("-- chaos: SIGKILL to %s %d%s; %d takes its place\n",
           doorkeeper ? "the doorkeeper" : "client", pid, was_inside ? " (inside)" : "",
           children.list[next].pid);
}

// Ends every living program of the kind given with sig, reading their last
// lines, and waits for them. A stopped client that was inside is cut short:
// the clients are frozen first, so that the lines read by then show exactly
// who is inside when the stop is sent.
static void stop_all(bool doorkeepers, int sig) {
    std::vector<size_t> targets;
    for (size_t i = 0; i < process.size(); i++)
        if (process[i].alive && process[i].doorkeeper == doorkeepers)
            targets.push_back(i);
    if (!doorkeepers && sig == SIGTERM) {
        for (size_t i : targets)
            kill(children.list[i].pid, SIGSTOP);
        for (size_t i : targets)
            waitpid(children.list[i].pid, nullptr, WUNTRACED);
        drain();
        count_stop(&visits);
    }
    for (size_t i : targets) {
        kill(children.list[i].pid, sig);
        kill(children.list[i].pid, SIGCONT);
        killed += sig == SIGKILL;
    }
    double deadline = monotonic_seconds() + STOP_TIMEOUT_SECONDS;
    for (size_t left = targets.size(); left > 0;) {
        read_lines(50);
        for (size_t i : targets) {
            pid_t pid = children.list[i].pid;
            pid_t r = process[i].alive ? waitpid(pid, nullptr, WNOHANG) : 0;
            if (r == pid || r == -1) { // -1: it had ended already, and was reaped
                drain();
                ended(i, "stopped");
                left--;
            } else if (process[i].alive && monotonic_seconds() > deadline) {
                kill(pid, SIGKILL);
            }
        }
    }
}

constexpr const char *USAGE = "usage: demo [--clients N] [--seconds S] [--chaos] [--log FILE]\n"
                              "       (defaults: 8 clients, 40 seconds)\n";
constexpr long MAX_CLIENTS = 9999, MAX_SECONDS = 999999;

int main(int argc, char **argv) {
    long clients = 8, seconds = 40;
    bool chaos = false;
    const char *log_path = nullptr;
    const option options[] = {
        {"clients", required_argument, nullptr, 'c'}, {"seconds", required_argument, nullptr, 's'},
        {"chaos", no_argument, nullptr, 'x'},         {"log", required_argument, nullptr, 'l'},
        {"help", no_argument, nullptr, 'h'},          {}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, SHORT_OPTIONS, options, nullptr)) != -1;) {
        switch (c) {
        case 'c':
            clients = number_option(USAGE, "--clients", 1, MAX_CLIENTS, "a number of clients");
            break;
        case 's':
            seconds = number_option(USAGE, "--seconds", 1, MAX_SECONDS, "a number of seconds");
            break;
        case 'x':
            chaos = true;
            break;
        case 'l':
            log_path = optarg;
            break;
        case 'h':
            fputs(USAGE, stdout);
            return 0;
        default:
            option_error(USAGE, c, argv);
        }
    }
    if (optind < argc)
        usage_error(USAGE, "unexpected argument '%s'", argv[optind]);
    if (semget(FREE_SEM_KEY, 1, 0) != -1 || semget(ENTRY_SEM_KEY, 1, 0) != -1) {
        errx(1, "the semaphores exist already: run this in a fresh IPC namespace (scripts/demo "
                "does)");
    }
    if (log_path != nullptr) {
        event_log = fopen(log_path, "w");
        if (event_log == nullptr)
            err(1, "%s", log_path);
        fprintf(event_log, "seconds\tprocess\tevent\n");
    }
    struct sigaction sa = {};
    sa.sa_handler = on_stop; // no SA_RESTART: the wait for lines returns at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    if (open_children(&children) == -1)
        err(1, "epoll_create1");

    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> chaos_gap(CHAOS_MIN_SECONDS, CHAOS_MAX_SECONDS);
    started = monotonic_seconds();
    start(true);
    for (int i = 0; i < clients; i++)
        start(false);

    double end = started + seconds;
    double next_status = started + STATUS_EVERY_SECONDS;
    double next_chaos = chaos ? started + chaos_gap(random) : end;
    for (double now = started; !stop_requested && now < end; now = monotonic_seconds()) {
        double next = std::min({end, next_status, next_chaos});
        read_lines(static_cast<int>((next - now) * 1000) + 1);
        reap_unexpected();
        now = monotonic_seconds();
        if (now >= next_chaos && now < end) {
            kill_one(random);
            next_chaos = now + chaos_gap(random);
        }
        if (now >= next_status) {
            print_status(now);
            next_status += STATUS_EVERY_SECONDS;
        }
        fflush(stdout); // before the next wait, through a pipe too
    }

    int sig = chaos ? SIGKILL : SIGTERM;
    printf(chaos ? "-- killing the doorkeeper, then the clients\n"
                 : "-- stopping the doorkeeper, then the clients\n");
    stop_all(true, sig);
    stop_all(false, sig);
    int free_value = semaphore_value(FREE_SEM_KEY, GETVAL);
    int entry_value = semaphore_value(ENTRY_SEM_KEY, GETVAL);
    printf("-- %d visits completed, %d cut short by the stop\n", visits.completed,
           visits.cut_short);
    if (chaos)
        printf("-- %d killed with SIGKILL\n", killed);
    printf("-- free %d + entry %d = %d\n", free_value, entry_value, free_value + entry_value);
    if (event_log != nullptr && fclose(event_log) != 0)
        err(1, "%s", log_path);
    if (free_value + entry_value == FREE_SEM_INITIAL) {
        printf("-- no unit lost\n");
        return 0;
    }
    printf("-- UNITS LOST: free + entry should be %d\n", FREE_SEM_INITIAL);
    return 1;
}
