// demo: a counterpart (our doorkeeper, or the program given) and N clients on
// the semaphores of the IPC namespace it runs in (scripts/demo gives it a
// private one). Every line they print passes straight through, the
// counterpart's marked as its own when it is not ours; a status line comes
// every 5 seconds, and each event can be logged with the time it was read.
// After S seconds, or at SIGINT, SIGTERM or SIGHUP, it ends them all, the
// counterpart first, and judges the run: each rule the counterpart broke is
// one line starting "-- fault:", and the exit status is 0 only if it broke
// none.
//
// With --chaos it also kills a random client with SIGKILL every 1 to 3
// seconds, now and then the counterpart instead, starts another in its place,
// and at the end kills everything with SIGKILL.
#include "chaos.hpp"
#include "child_lines.hpp"
#include "options.hpp"
#include "rule_watch.hpp"
#include "shared_semaphores.hpp"
#include "visit_count.hpp"

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
constexpr double LOOK_EVERY_SECONDS = 0.1; // at the semaphores, between lines
constexpr double CHAOS_MIN_SECONDS = 1, CHAOS_MAX_SECONDS = 3;
constexpr double STOP_TIMEOUT_SECONDS = 10;

static Children children;               // every process started, in order
static std::vector<Process> process;    // the same order
static std::string counterpart_command; // empty: our doorkeeper
static const char *counterpart_name = "doorkeeper";
static FILE *event_log;
static double started;
static VisitCount visits; // of the clients, by index
static RuleWatch rules;
static int killed;
static volatile sig_atomic_t stop_requested;

// What ended or broke during the run, for the verdict: the first of each,
// and how many.
struct Mishap {
    int count = 0;
    pid_t pid = 0;     // the first's
    std::string first; // what became of it
};
static Mishap counterpart_ended, client_failed;
static std::map<size_t, std::string> last_other_line; // a client's, not an announcement
static int set_id[2] = {-1, -1};                      // the free set's, the entry set's
static std::string set_fault[2];
constexpr key_t SET_KEY[2] = {FREE_SEM_KEY, ENTRY_SEM_KEY};
constexpr const char *SET_NAME[2] = {"free", "entry"};

static void on_stop(int) {
    stop_requested = 1;
}

static double since_start(double when) {
    return when - started;
}

static void log_event(size_t index, const char *event, double when) {
    if (event_log == nullptr)
        return;
    if (process[index].counterpart)
        fprintf(event_log, "%.3f\t%s\t%s\n", since_start(when), counterpart_name, event);
    else
        fprintf(event_log, "%.3f\t%d\t%s\n", since_start(when), children.list[index].pid, event);
}

static size_t start(bool counterpart) {
    std::string command = "exec " + counterpart_command;
    const char *ours[] = {DOORKEEPER_PATH, nullptr};
    const char *theirs[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    const char *client[] = {KLIENT_PATH, nullptr};
    const char *const *argv = !counterpart ? client : counterpart_command.empty() ? ours : theirs;
    int index = start_child(&children, argv, true, true);
    if (index == -1)
        err(1, "cannot start %s", counterpart ? counterpart_name : "a client");
    process.push_back({counterpart, true});
    return index;
}

// Passes a line through and notes what it says. A client's line that is not
// an announcement is one of its messages, from its standard error.
static void take_line(size_t index, const std::string &line, double when) {
    if (process[index].counterpart) {
        if (!counterpart_command.empty()) {
            printf("counterpart: %s\n", line.c_str());
        } else if (line.starts_with("doorkeeper: let one in")) {
            printf("%s\n", line.c_str());
            log_event(index, "admits", when);
        } else {
            fprintf(stderr, "%s\n", line.c_str());
        }
        return;
    }
    Said said = count_line(&visits, index, line);
    if (said == SAID_OTHER) {
        fprintf(stderr, "%s\n", line.c_str());
        last_other_line[index] = line;
        return;
    }
    printf("%s\n", line.c_str());
    if (said == SAID_WANTS)
        watch_wants(&rules, index, when);
    if (said == SAID_ENTERS)
        watch_enters(&rules, index, when);
    const char *events[] = {nullptr, "wants", "enters", "leaves"}; // by Said
    log_event(index, events[said], when);
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
    double now = monotonic_seconds();
    process[index].alive = false;
    count_end(&visits, index);
    watch_gone(&rules, index, now);
    log_event(index, event, now);
}

static __attribute__((format(printf, 1, 2))) std::string text(const char *format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

static std::string value_text(int value) {
    return value < 0 ? "gone" : std::to_string(value);
}

static std::string describe_status(int status) {
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

static void note(Mishap *mishap, pid_t pid, const std::string &what) {
    if (mishap->count++ == 0)
        *mishap = {1, pid, what};
}

// A process ended with status, not by the demo: the counterpart stopped
// letting clients in, or a client failed. Its last lines are read first.
static void ended_by_itself(size_t index, int status) {
    drain();
    pid_t pid = children.list[index].pid;
    double at = since_start(monotonic_seconds());
    std::string how = describe_status(status);
    printf("-- %s %d ended by itself (%s)\n",
           process[index].counterpart ? counterpart_name : "client", pid, how.c_str());
    std::string what = text("ended at %.1f s, %s", at, how.c_str());
    if (process[index].counterpart)
        note(&counterpart_ended, pid, what);
    else
        note(&client_failed, pid, what + ": " + last_other_line[index]);
    ended(index, "ended");
}

// Notices programs that ended on their own.
static void reap_unexpected() {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        for (size_t i = 0; i < process.size(); i++)
            if (children.list[i].pid == pid && process[i].alive)
                ended_by_itself(i, status);
}

static int semaphore_value(key_t key, int command) {
    return semctl(semget(key, 1, 0), 0, command);
}

// Notes the first time each set is found gone, or another in its place.
static void look_at_sets(double now) {
    for (int i = 0; i < 2; i++) {
        int id = semget(SET_KEY[i], 1, 0);
        if (set_id[i] == -1) {
            set_id[i] = id;
        } else if (id != set_id[i] && set_fault[i].empty()) {
            set_fault[i] = text("the %s set (key %d) was %s at %.1f s", SET_NAME[i], SET_KEY[i],
                                id == -1 ? "removed" : "replaced by another", since_start(now));
        }
    }
}

static void look(double now) {
    look_at_sets(now);
    int free_value = semaphore_value(FREE_SEM_KEY, GETVAL);
    int entry_value = semaphore_value(ENTRY_SEM_KEY, GETVAL);
    bool known = free_value >= 0 && entry_value >= 0;
    watch_seen(&rules, now, count_inside(visits), known ? free_value + entry_value : -1);
}

static void print_status(double now) {
    printf("-- %3.0fs: free %d, entry %d, %d waiting on entry; by their lines, %d inside, %d "
           "visits\n",
           since_start(now), semaphore_value(FREE_SEM_KEY, GETVAL),
           semaphore_value(ENTRY_SEM_KEY, GETVAL), semaphore_value(ENTRY_SEM_KEY, GETNCNT),
           count_inside(visits), visits.completed + visits.cut_short);
}

// Kills one living process with SIGKILL and starts another in its place; if
// the counterpart was to be killed but has ended on its own, only starts one.
static void kill_one(std::mt19937 &random) {
    size_t victim = pick_victim(process, random);
    if (victim == NO_VICTIM) {
        size_t next = start(true);
        printf("-- chaos: the %s had ended; %d takes its place\n", counterpart_name,
               children.list[next].pid);
        return;
    }
    bool counterpart = process[victim].counterpart;
    pid_t pid = children.list[victim].pid;
    bool was_inside = !counterpart && visits.clients[victim].inside;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    drain(); // what it wrote before it died comes before its end in the log
    killed++;
    ended(victim, "killed");
    size_t next = start(counterpart);
    printf("-- chaos: SIGKILL to %s %d%s; %d takes its place\n",
           counterpart ? counterpart_name : "client", pid, was_inside ? " (inside)" : "",
           children.list[next].pid);
}

// Did a client end otherwise than by the signal the demo sent it?
static bool failed(int status, int sig) {
    return !WIFSIGNALED(status) || (WTERMSIG(status) != sig && WTERMSIG(status) != SIGKILL);
}

// Ends every living program of the kind given with sig, reading their last
// lines, and waits for them. A stopped client that was inside is cut short:
// the clients are frozen first, so that the lines read by then show exactly
// who is inside when the stop is sent. A client that ended by itself first,
// or did not end by sig, failed.
static void stop_all(bool counterparts, int sig) {
    std::vector<size_t> targets;
    for (size_t i = 0; i < process.size(); i++)
        if (process[i].alive && process[i].counterpart == counterparts)
            targets.push_back(i);
    if (!counterparts && sig == SIGTERM) {
        for (size_t i : targets)
            kill(children.list[i].pid, SIGSTOP);
        std::vector<size_t> frozen;
        for (size_t i : targets) {
            int status = 0;
            pid_t pid = children.list[i].pid;
            if (waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status))
                ended_by_itself(i, status);
            else
                frozen.push_back(i);
        }
        targets = frozen;
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
            int status = 0;
            pid_t r = process[i].alive ? waitpid(pid, &status, WNOHANG) : 0;
            if (r == 0) {
                if (process[i].alive && monotonic_seconds() > deadline)
                    kill(pid, SIGKILL);
                continue;
            }
            left--; // r is pid, or -1: it had ended already, and was reaped
            if (!counterparts && r == pid && failed(status, sig)) {
                ended_by_itself(i, status);
            } else {
                drain();
                ended(i, "stopped");
            }
        }
    }
}

// Says what the run shows, then each rule broken, in one line each. Returns
// how many were broken.
static int judge(int free_value, int entry_value) {
    printf("-- longest wait %.1f s; on average %.1f of %d units in use\n", rules.longest_wait,
           rules.inside_seconds / std::max(rules.last_seen - started, 1e-9), FREE_SEM_INITIAL);
    int faults = 0;
    auto fault = [&faults](const char *rule, const std::string &what) {
        printf("-- fault: %s: %s\n", rule, what.c_str());
        faults++;
    };
    if (!rules.limit_broken.empty()) {
        Breach longest = {};
        int most = 0;
        for (const Breach &b : rules.limit_broken) {
            longest = b.seconds > longest.seconds ? b : longest;
            most = std::max(most, b.most);
        }
        size_t times = rules.limit_broken.size();
        fault("limit", text("up to %d clients inside at once; above %d for %.1f s from %.1f s%s",
                            most, FREE_SEM_INITIAL, longest.seconds, since_start(longest.since),
                            times > 1 ? text(" (%zu times in all)", times).c_str() : ""));
    }
    const Breach &units = rules.worst_units;
    if (units.since >= 0)
        fault("units", text("free + entry + inside reached %d, above %d for %.1f s from %.1f s: "
                            "units invented",
                            units.most, FREE_SEM_INITIAL, units.seconds, since_start(units.since)));
    int off = free_value + entry_value - FREE_SEM_INITIAL;
    if (free_value >= 0 && entry_value >= 0 && off != 0)
        fault("units", text("free + entry is %d after the stop, not %d: %d unit%s %s",
                            free_value + entry_value, FREE_SEM_INITIAL, std::abs(off),
                            std::abs(off) == 1 ? "" : "s", off < 0 ? "lost" : "invented"));
    const Breach &stall = rules.worst_stall;
    if (stall.since >= 0)
        fault("progress", text("nobody let in for %.1f s from %.1f s, while up to %d units were "
                               "free and up to %d clients waited",
                               stall.seconds, since_start(stall.since), stall.most, stall.waiting));
    if (counterpart_ended.count > 0)
        fault("counterpart ended",
              text("the %s %d %s%s", counterpart_name, counterpart_ended.pid,
                   counterpart_ended.first.c_str(),
                   counterpart_ended.count > 1
                       ? text(" (%d times in all)", counterpart_ended.count).c_str()
                       : ""));
    for (const std::string &what : set_fault)
        if (!what.empty())
            fault("sets", what);
    if (client_failed.count > 0)
        fault("client failed", text("%d client%s failed; the first, %d, %s", client_failed.count,
                                    client_failed.count == 1 ? "" : "s", client_failed.pid,
                                    client_failed.first.c_str()));
    return faults;
}

constexpr const char *USAGE =
    "usage: demo [--clients N] [--seconds S] [--chaos] [--log FILE] [--counterpart COMMAND]\n"
    "       (defaults: 8 clients, 40 seconds, the counterpart our doorkeeper)\n";
constexpr long MAX_CLIENTS = 9999, MAX_SECONDS = 999999;

int main(int argc, char **argv) {
    long clients = 8, seconds = 40;
    bool chaos = false;
    const char *log_path = nullptr;
    const option options[] = {{"clients", required_argument, nullptr, 'c'},
                              {"seconds", required_argument, nullptr, 's'},
                              {"chaos", no_argument, nullptr, 'x'},
                              {"log", required_argument, nullptr, 'l'},
                              {"counterpart", required_argument, nullptr, 'p'},
                              {"help", no_argument, nullptr, 'h'},
                              {}};
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
        case 'p':
            if (optarg[strspn(optarg, " \t")] == '\0')
                usage_error(USAGE, "--counterpart wants a command, got '%s'", optarg);
            counterpart_command = optarg;
            counterpart_name = "counterpart";
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
    watch_start(&rules, started);
    start(true);
    for (int i = 0; i < clients; i++)
        start(false);

    double end = started + seconds;
    double next_status = started + STATUS_EVERY_SECONDS;
    double next_chaos = chaos ? started + chaos_gap(random) : end;
    for (double now = started; !stop_requested && now < end; now = monotonic_seconds()) {
        double next = std::min({end, next_status, next_chaos, now + LOOK_EVERY_SECONDS});
        read_lines(static_cast<int>((next - now) * 1000) + 1);
        reap_unexpected();
        now = monotonic_seconds();
        look(now);
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
    double stop_at = monotonic_seconds();
    look(stop_at);
    watch_end(&rules, stop_at);

    int sig = chaos ? SIGKILL : SIGTERM;
    printf(chaos ? "-- killing the %s, then the clients\n"
                 : "-- stopping the %s, then the clients\n",
           counterpart_name);
    stop_all(true, sig);
    drain();
    reap_unexpected(); // clients that failed through what the counterpart did as it ended
    stop_all(false, sig);
    look_at_sets(monotonic_seconds());
    int free_value = semaphore_value(FREE_SEM_KEY, GETVAL);
    int entry_value = semaphore_value(ENTRY_SEM_KEY, GETVAL);
    printf("-- %d visits completed, %d cut short by the stop\n", visits.completed,
           visits.cut_short);
    if (chaos)
        printf("-- %d killed with SIGKILL\n", killed);
    printf("-- free %s + entry %s\n", value_text(free_value).c_str(),
           value_text(entry_value).c_str());
    for (const Breach &b : rules.limit_broken) // written once judged, after the events
        if (event_log != nullptr)
            fprintf(event_log, "%.3f\tdemo\tlimit-broken\n%.3f\tdemo\tlimit-kept\n",
                    since_start(b.since), since_start(b.since + b.seconds));
    if (event_log != nullptr && fclose(event_log) != 0)
        err(1, "%s", log_path);
    if (judge(free_value, entry_value) > 0)
        return 1;
    printf("-- every rule kept: at most %d inside, no unit lost or invented, nobody kept "
           "waiting, the sets in place\n",
           FREE_SEM_INITIAL);
    return 0;
}
