// The run: start, watch, stop, judge.
//
// The counterpart runs in a session and a PID namespace of its own: the demo
// starts its relay, which ends as the counterpart's first process ends, and
// adopts the namespace's init (PR_SET_CHILD_SUBREAPER) if anything outlives
// that, so that all of it can be found: every child of the demo that is no
// client, and their descendants. Chaos and a restart kill all of it with
// SIGKILL; the stop sends SIGTERM to its group, and whatever of it still runs
// after the grace is a fault. The run is contained (contain.hpp), and the
// counterpart held to its limits as it goes.
#include "run.hpp"

#include "chaos.hpp"
#include "child_lines.hpp"
#include "contain.hpp"
#include "contained_processes.hpp"
#include "options.hpp"
#include "rule_watch.hpp"
#include "shared_semaphores.hpp"
#include "shown_text.hpp"
#include "visit_count.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <initializer_list>
#include <map>
#include <random>
#include <set>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

constexpr double STATUS_EVERY_SECONDS = 5;
constexpr double LOOK_EVERY_SECONDS = 0.1; // at the semaphores, between lines
constexpr double CHAOS_MIN_SECONDS = 1, CHAOS_MAX_SECONDS = 3;
constexpr double STOP_GRACE_SECONDS = 3; // from SIGTERM to the end of every process it reached
constexpr rlim_t SPARE_FILES = 64;       // beyond one a client: the log, epoll, the counterpart's

struct Run {
    RunOptions options;
    const char *counterpart_name; // "doorkeeper" for ours
    Children children;            // every process started, in order
    std::map<size_t, int>
        end_signal; // the signal the demo sent each to end it: the stop, chaos, a restart, a limit
    size_t counterpart = NO_VICTIM; // the one started last
    std::set<size_t> counterparts;  // each one started, by index: the rest are clients
    FILE *event_log = nullptr;
    double began = 0;  // when the run began, on the monotonic clock
    VisitCount visits; // of the clients, by index
    RuleWatch rules;
    std::map<size_t, std::string> last_other_line; // a client's, not an announcement
    int killed = 0;
    Containment containment;
    std::string doorkeeper_file, klient_file;  // the copies run
    std::string command;                       // the counterpart's, with its program's copy
    long output_shown = 0, output_dropped = 0; // the counterpart's, in bytes
    double output_cut_at = -1;
    bool tasks_reported = false;
    long most_tasks = 0;                       // the counterpart's, at any look
    double most_mib = 0, most_cpu_seconds = 0; // the same
    bool out_of_resources = false;             // the counterpart was killed for them: the run ends
};

static volatile sig_atomic_t stop_requested;

static void on_stop(int) {
    stop_requested = 1;
}

static double into_run(const Run &run, double when) {
    return when - run.began;
}

static void log_event(const Run &run, size_t index, const char *event, double when) {
    if (run.event_log == nullptr)
        return;
    if (run.counterparts.contains(index))
        fprintf(run.event_log, "%.3f\t%s\t%s\n", into_run(run, when), run.counterpart_name, event);
    else
        fprintf(run.event_log, "%.3f\t%d\t%s\n", into_run(run, when), run.children.list[index].pid,
                event);
}

static size_t start(Run &run, bool counterpart) {
    static const std::string doorkeeper = program_path("doorkeeper"),
                             klient = program_path("klient");
    std::string command = "exec " + run.command;
    const char *ours[] = {doorkeeper.c_str(), nullptr};
    const char *theirs[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    const char *client[] = {klient.c_str(), nullptr};
    const char *const *argv = !counterpart                      ? client
                              : run.options.counterpart.empty() ? ours
                                                                : theirs;
    const char *file = !counterpart                      ? run.klient_file.c_str()
                       : run.options.counterpart.empty() ? run.doorkeeper_file.c_str()
                                                         : nullptr;
    const Containment &containment = run.containment;
    int index = start_child(
        &run.children, argv,
        {.group = counterpart ? SESSION_OWN : GROUP_OWN,
         .errors = ERRORS_WITH_OUTPUT,
         .in_child = [&containment, counterpart] { contain_process(containment, counterpart); },
         .file = file});
    if (index == -1)
        err(2, "cannot start %s", counterpart ? run.counterpart_name : "a client");
    if (counterpart) {
        run.counterparts.insert(static_cast<size_t>(index));
        run.counterpart = static_cast<size_t>(index);
    }
    return index;
}

// Passes a line through and notes what it says. A client's line that is not
// an announcement is one of its messages, from its standard error.
static void take_line(Run &run, size_t index, const std::string &line, double when) {
    if (run.counterparts.contains(index)) {
        long size = static_cast<long>(line.size()) + 1;
        if (run.output_shown + size > counterpart_output_bytes(run.options.seconds)) {
            if (run.output_cut_at < 0)
                run.output_cut_at = when;
            run.output_dropped += size;
        } else if (!run.options.counterpart.empty()) {
            run.output_shown += size;
            printf("counterpart: %s\n", printable(line, true).c_str());
        } else if (line.starts_with("doorkeeper: let one in")) {
            run.output_shown += size;
            printf("%s\n", line.c_str());
            log_event(run, index, "admits", when);
        } else {
            run.output_shown += size;
            fprintf(stderr, "%s\n", line.c_str());
        }
        return;
    }
    pid_t pid = run.children.list[index].pid;
    Said said = count_line(&run.visits, index, pid, line);
    if (said == SAID_OTHER) { // its message, or a line forged into its pipe
        run.last_other_line[index] = printable(line);
        fprintf(stderr, "%s\n", run.last_other_line[index].c_str());
        return;
    }
    if (said == SAID_OUT_OF_CYCLE) { // a line no client wrote: shown, but made safe
        printf("%s\n", printable(line).c_str());
        watch_event(&run.rules.out_of_cycle,
                    format_text("client %d's pipe carried \"%.200s\" at %.1f s, which its cycle "
                                "does not allow there",
                                pid, printable(line).c_str(), into_run(run, when)));
        return;
    }
    printf("%s\n", line.c_str());
    if (said == SAID_WANTS)
        watch_wants(&run.rules, index, when);
    if (said == SAID_ENTERS)
        watch_enters(&run.rules, index, when);
    const char *events[] = {nullptr, "wants", "enters", "leaves"}; // by Said
    log_event(run, index, events[said], when);
}

static void read_lines(Run &run, int timeout_ms) {
    auto on_line = [&run](size_t index, const std::string &line, double when) {
        take_line(run, index, line, when);
    };
    if (read_child_lines(&run.children, timeout_ms, on_line) == -1)
        err(2, "cannot read the programs' output");
    fflush(stdout);
}

// Reads every line that has been written so far.
static void drain(Run &run) {
    auto on_line = [&run](size_t index, const std::string &line, double when) {
        take_line(run, index, line, when);
    };
    while (read_child_lines(&run.children, 0, on_line) > 0)
        ;
    fflush(stdout);
}

static void ended(Run &run, size_t index, const char *event) {
    double now = monotonic_seconds();
    run.children.list[index].alive = false;
    count_end(&run.visits, index);
    watch_gone(&run.rules, index, now);
    log_event(run, index, event, now);
}

static std::string describe_status(int status) {
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

// A process ended with status, not by the demo: the counterpart stopped
// letting clients in, or a client failed. Its last lines are read first.
static void ended_by_itself(Run &run, size_t index, int status) {
    drain(run);
    pid_t pid = run.children.list[index].pid;
    double now = monotonic_seconds();
    std::string how = describe_status(status);
    bool counterpart = run.counterparts.contains(index);
    printf("-- %s %d ended by itself (%s)\n", counterpart ? run.counterpart_name : "client", pid,
           how.c_str());
    std::string what = format_text("%d ended at %.1f s, %s", pid, into_run(run, now), how.c_str());
    if (counterpart && WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU) {
        run.out_of_resources = true;
        run.rules.resources.push_back(format_text(
            "CPU time: the %s %d was killed by SIGXCPU at %.1f s, at its limit of %.0f s, which "
            "ended the run",
            run.counterpart_name, pid, into_run(run, now),
            counterpart_cpu_seconds(static_cast<double>(run.options.seconds))));
    } else if (counterpart) {
        watch_event(&run.rules.counterpart_ended,
                    "the " + std::string(run.counterpart_name) + " " + what);
    } else {
        watch_event(&run.rules.client_failed, what + ": " + run.last_other_line[index]);
    }
    ended(run, index, "ended");
}

// Did a client end otherwise than by the signal the demo sent it?
static bool failed(int status, int sig) {
    return !WIFSIGNALED(status) || (WTERMSIG(status) != sig && WTERMSIG(status) != SIGKILL);
}

// Takes the status of every process that has ended: the demo's own, each as
// what the demo did to it (or by itself), and any other, which it adopted.
static void reap(Run &run) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (size_t i = 0; i < run.children.list.size(); i++) {
            if (run.children.list[i].pid != pid || !run.children.list[i].alive)
                continue;
            auto sent = run.end_signal.find(i);
            if (sent == run.end_signal.end() ||
                (!run.counterparts.contains(i) && failed(status, sent->second))) {
                ended_by_itself(run, i, status);
            } else {
                drain(run);
                ended(run, i, sent->second == SIGKILL ? "killed" : "stopped");
            }
        }
    }
}

// Every process of the counterpart's that still runs: each child of the demo
// that is no client (a counterpart it started, or one it adopted, since the
// demo is where orphans go), and every descendant of those.
static std::vector<Seen> counterpart_processes(const Run &run) {
    std::set<pid_t> clients, relays;
    for (size_t i = 0; i < run.children.list.size(); i++)
        (run.counterparts.contains(i) ? relays : clients).insert(run.children.list[i].pid);
    return processes_below(clients, relays);
}

static bool counterpart_alive(const Run &run) {
    return run.counterpart != NO_VICTIM && run.children.list[run.counterpart].alive;
}

// Waits until done() holds or the grace has passed, reading lines and taking
// statuses meanwhile. Returns done().
template <typename Done> static bool await(Run &run, double seconds, Done done) {
    double deadline = monotonic_seconds() + seconds;
    while (!done() && monotonic_seconds() < deadline) {
        read_lines(run, 20);
        reap(run);
    }
    return done();
}

// Kills every process of the counterpart with SIGKILL: its group, through a
// leader not yet reaped, and each other one found. Returns how many other
// processes there were.
static int kill_counterpart(Run &run) {
    pid_t leader = 0;
    if (counterpart_alive(run)) {
        leader = run.children.list[run.counterpart].pid;
        run.end_signal[run.counterpart] = SIGKILL;
        send_signal(-leader, SIGKILL);
    }
    kill_control_group(run.containment.group); // also what no look has found yet
    int others = 0;
    for (const Seen &p : counterpart_processes(run))
        if (p.pid != leader) {
            send_signal(p.pid, SIGKILL);
            others += !p.keeper;
        }
    await(run, STOP_GRACE_SECONDS,
          [&run] { return !counterpart_alive(run) && counterpart_processes(run).empty(); });
    return others;
}

// Holds the counterpart to its limits. Its processes are only reported at
// their limit, where the system refuses it more; beyond its memory or CPU
// time it is killed, and the run ends.
static void watch_resources(Run &run, double now) {
    Usage use = usage_of(counterpart_processes(run));
    long tasks = use.tasks;
    double mib = std::max(use.mib, control_group_mib(run.containment.group));
    double cpu = std::max(use.cpu_seconds, control_group_cpu_seconds(run.containment.group));
    if (tasks >= COUNTERPART_TASKS && !run.tasks_reported) {
        run.tasks_reported = true;
        run.rules.resources.push_back(
            format_text("processes: %ld processes and threads at %.1f s, its limit of %ld "
                        "reached: the system refuses it more",
                        tasks, into_run(run, now), COUNTERPART_TASKS));
    }
    run.most_tasks = std::max(run.most_tasks, tasks);
    run.most_mib = std::max(run.most_mib, mib);
    run.most_cpu_seconds = std::max(run.most_cpu_seconds, cpu);
    double cpu_limit = counterpart_cpu_seconds(static_cast<double>(run.options.seconds));
    std::string over =
        mib > COUNTERPART_RESIDENT_MIB
            ? format_text("memory: %.0f MiB in use at %.1f s, beyond its limit of %ld MiB", mib,
                          into_run(run, now), COUNTERPART_RESIDENT_MIB)
        : cpu > cpu_limit ? format_text("CPU time: %.1f s at %.1f s, beyond its limit of %.0f s",
                                        cpu, into_run(run, now), cpu_limit)
                          : "";
    if (over.empty())
        return;
    kill_counterpart(run);
    run.out_of_resources = true;
    run.rules.resources.push_back(over + "; killed with SIGKILL, which ended the run");
}

static void restart_counterpart(Run &run, const char *why) {
    if (run.counterpart == NO_VICTIM)
        return; // not started yet
    pid_t pid = run.children.list[run.counterpart].pid;
    bool was_alive = counterpart_alive(run);
    int others = kill_counterpart(run);
    run.killed += was_alive;
    size_t next = start(run, true);
    if (was_alive)
        printf("-- %s: SIGKILL to the %s %d%s; %d takes its place\n", why, run.counterpart_name,
               pid, others > 0 ? format_text(" and %d more of its processes", others).c_str() : "",
               run.children.list[next].pid);
    else
        printf("-- %s: the %s had ended; %d takes its place\n", why, run.counterpart_name,
               run.children.list[next].pid);
}

static SetSeen look_at_set(key_t key) {
    SetSeen seen;
    semid_ds ds = {};
    int id = semget(key, 1, 0);
    int value = semctl(id, 0, GETVAL);
    if (id == -1 || value == -1 || semctl(id, 0, IPC_STAT, &ds) == -1)
        return seen;
    return {id, value, ds.sem_ctime, ds.sem_otime, ds.sem_perm.mode & 0777u, ds.sem_perm.uid};
}

static void look(Run &run, double now) {
    SetSeen sets[2] = {look_at_set(FREE_SEM_KEY), look_at_set(ENTRY_SEM_KEY)};
    watch_clients_and_sets(&run.rules, now, count_inside(run.visits), sets);
}

static int semaphore_value(key_t key, int command) {
    return semctl(semget(key, 1, 0), 0, command);
}

static void print_status(const Run &run, double now) {
    printf("-- %3.0fs: free %d, entry %d, %d waiting on entry; by their lines, %d inside, %d "
           "visits\n",
           into_run(run, now), semaphore_value(FREE_SEM_KEY, GETVAL),
           semaphore_value(ENTRY_SEM_KEY, GETVAL), semaphore_value(ENTRY_SEM_KEY, GETNCNT),
           count_inside(run.visits), run.visits.completed + run.visits.cut_short);
}

// Kills one living client with SIGKILL and starts another in its place, or
// the counterpart now and then.
static void kill_one(Run &run, std::mt19937 &random) {
    size_t victim = pick_victim(run.children.list, run.counterparts, random);
    if (victim == NO_VICTIM || run.counterparts.contains(victim)) {
        restart_counterpart(run, "chaos");
        return;
    }
    pid_t pid = run.children.list[victim].pid;
    bool was_inside = run.visits.clients[victim].inside;
    send_signal(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    drain(run); // what it wrote before it died comes before its end in the log
    run.killed++;
    ended(run, victim, "killed");
    size_t next = start(run, false);
    printf("-- chaos: SIGKILL to client %d%s; %d takes its place\n", pid,
           was_inside ? " (inside)" : "", run.children.list[next].pid);
}

// Ends the counterpart with sig, sent to its process group; then whatever
// of it still runs after the grace is a fault, and is killed.
static void stop_counterpart(Run &run, int sig) {
    if (counterpart_alive(run)) {
        printf("-- %s the %s, then the clients\n", sig == SIGKILL ? "killing" : "stopping",
               run.counterpart_name);
        pid_t pid = run.children.list[run.counterpart].pid;
        run.end_signal[run.counterpart] = sig;
        send_signal(-pid, sig);
        if (!await(run, STOP_GRACE_SECONDS, [&run] { return !counterpart_alive(run); })) {
            watch_event(&run.rules.not_stopped,
                        format_text("the %s %d did not end within %.0f s of SIG%s to its "
                                    "process group, and was killed with SIGKILL",
                                    run.counterpart_name, pid, STOP_GRACE_SECONDS,
                                    sigabbrev_np(sig)));
            kill_counterpart(run);
        }
    } else {
        printf("-- the %s %s; %s the clients\n", run.counterpart_name,
               run.counterpart == NO_VICTIM ? "was not started yet" : "had ended",
               sig == SIGKILL ? "killing" : "stopping");
    }
    std::vector<Seen> left;
    await(run, STOP_GRACE_SECONDS, [&] {
        left = counterpart_processes(run);
        std::erase_if(left, [](const Seen &p) { return p.keeper; });
        return left.empty();
    });
    if (left.empty())
        return;
    std::string which;
    for (size_t i = 0; i < left.size() && i < 5; i++)
        which += format_text("%s%d (%.40s)", i > 0 ? ", " : "", left[i].pid, left[i].name.c_str());
    watch_event(&run.rules.processes_left,
                format_text("%zu process%s of the %s still ran %.0f s after the stop: %s%s; "
                            "killed with SIGKILL",
                            left.size(), left.size() == 1 ? "" : "es", run.counterpart_name,
                            STOP_GRACE_SECONDS, which.c_str(), left.size() > 5 ? ", ..." : ""));
    kill_counterpart(run);
}

// Ends every living client with sig, reading their last lines, and waits for
// them. A stopped client that was inside is cut short: the clients are
// frozen first, so that the lines read by then show exactly who is inside
// when the stop is sent. A client that ended by itself first, or did not end
// by sig, failed.
static void stop_clients(Run &run, int sig) {
    std::vector<size_t> targets;
    for (size_t i = 0; i < run.children.list.size(); i++)
        if (run.children.list[i].alive && !run.counterparts.contains(i))
            targets.push_back(i);
    if (sig == SIGTERM) {
        for (size_t i : targets)
            send_signal(run.children.list[i].pid, SIGSTOP);
        std::vector<size_t> frozen;
        for (size_t i : targets) {
            int status = 0;
            pid_t pid = run.children.list[i].pid;
            if (waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status))
                ended_by_itself(run, i, status);
            else
                frozen.push_back(i);
        }
        targets = frozen;
        drain(run);
        count_stop(&run.visits);
    }
    for (size_t i : targets) {
        run.end_signal[i] = sig;
        send_signal(run.children.list[i].pid, sig);
        send_signal(run.children.list[i].pid, SIGCONT);
        run.killed += sig == SIGKILL;
    }
    auto all_ended = [&run, &targets] {
        return std::none_of(targets.begin(), targets.end(),
                            [&run](size_t i) { return run.children.list[i].alive; });
    };
    if (!await(run, STOP_GRACE_SECONDS, all_ended)) {
        for (size_t i : targets)
            if (run.children.list[i].alive)
                send_signal(run.children.list[i].pid, SIGKILL);
        await(run, STOP_GRACE_SECONDS, all_ended);
    }
}

// Says what the run shows, then each rule broken, in one line each. Returns
// how many were broken.
static int print_verdict(const Run &run, int free_value, int entry_value) {
    const RuleWatch &rules = run.rules;
    printf("-- longest wait %.1f s; on average %.1f of %d units in use\n", rules.longest_wait,
           rules.inside_seconds / std::max(rules.last_seen - run.began, 1e-9), FREE_SEM_INITIAL);
    printf("-- the %s used at most %ld %s at once, %.1f MiB of memory, %.2f s of CPU time, and "
           "wrote %ld bytes\n",
           run.counterpart_name, run.most_tasks,
           run.most_tasks == 1 ? "process" : "processes and threads", run.most_mib,
           run.most_cpu_seconds, run.output_shown + run.output_dropped);
    std::vector<Fault> found = judge_run(rules, free_value, entry_value);
    for (const Fault &fault : found)
        printf("-- fault: %s: %s\n", fault.rule.c_str(), fault.what.c_str());
    return static_cast<int>(found.size());
}

static std::string value_text(int value) {
    return value < 0 ? "gone" : std::to_string(value);
}

// What the run needs before it starts: room for the clients' pipes, fresh
// semaphores, the event log, the containment, and the signals. Returns 0, or
// 2 once it has said why the run cannot be judged.
static int prepare(Run &run, const RunOptions &options) {
    run.options = options;
    run.counterpart_name = options.counterpart.empty() ? "doorkeeper" : "counterpart";
    // Each client's lines come through a pipe of its own.
    rlim_t hard, files = static_cast<rlim_t>(options.clients) + SPARE_FILES;
    if (raise_file_limit(files, &hard) == -1) {
        warnx("%ld clients need %llu open files, and the hard limit is %llu: ask for fewer "
              "clients, or have the limit raised (ulimit -Hn)",
              options.clients, static_cast<unsigned long long>(files),
              static_cast<unsigned long long>(hard));
        return 2;
    }
    if (semget(FREE_SEM_KEY, 1, 0) != -1 || semget(ENTRY_SEM_KEY, 1, 0) != -1) {
        warnx("the semaphores exist already: run this in a fresh IPC namespace (scripts/demo "
              "does)");
        return 2;
    }
    if (options.log_path != nullptr) {
        run.event_log = fopen(options.log_path, "w");
        if (run.event_log == nullptr) {
            warn("%s", options.log_path);
            return 2;
        }
        fprintf(run.event_log, "seconds\tprocess\tevent\n");
    }
    std::vector<std::string> programs = {program_path("doorkeeper"), program_path("klient")};
    if (!options.program.empty())
        programs.push_back(options.program);
    if (contain_run(&run.containment, &programs, 2, options.clients,
                    static_cast<double>(options.seconds)) == -1)
        return 2;
    run.doorkeeper_file = programs[0];
    run.klient_file = programs[1];
    run.command = options.counterpart;
    if (!options.program.empty())
        run.command.replace(options.program_from, options.program_to - options.program_from,
                            quoted(programs[2]));
    struct sigaction sa = {};
    sa.sa_handler = on_stop; // no SA_RESTART: the wait for lines returns at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
    // Whatever the counterpart leaves behind comes to the demo, to be found.
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) == -1 || open_children(&run.children) == -1) {
        warn("cannot watch the programs");
        return 2;
    }
    return 0;
}

// Starts the programs, and watches them until the run's end, a stop asked
// for, or the counterpart killed for its resources.
static void watch_to_the_end(Run &run) {
    const RunOptions &options = run.options;
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> chaos_gap(CHAOS_MIN_SECONDS, CHAOS_MAX_SECONDS);
    run.began = monotonic_seconds();
    watch_begin(&run.rules, run.began);
    double lead = options.first == FIRST_NONE ? 0 : FIRST_LEAD_SECONDS;
    double counterpart_at = run.began + (options.first == FIRST_CLIENTS ? lead : 0);
    double clients_at = run.began + (options.first == FIRST_COUNTERPART ? lead : 0);
    bool counterpart_started = false, clients_started = false;
    double end = run.began + static_cast<double>(options.seconds);
    double restart_at = options.restart_at < 0 ? end : run.began + options.restart_at;
    double next_status = run.began + STATUS_EVERY_SECONDS;
    double next_chaos =
        options.chaos ? std::max(counterpart_at, clients_at) + chaos_gap(random) : end;
    for (double now = run.began; !stop_requested && !run.out_of_resources && now < end;
         now = monotonic_seconds()) {
        if (!counterpart_started && now >= counterpart_at) {
            start(run, true);
            counterpart_started = true;
        }
        if (!clients_started && now >= clients_at) {
            for (long i = 0; i < options.clients; i++)
                start(run, false);
            clients_started = true;
        }
        double next = std::min({end, next_status, next_chaos, restart_at, now + LOOK_EVERY_SECONDS,
                                counterpart_started ? end : counterpart_at,
                                clients_started ? end : clients_at});
        read_lines(run, static_cast<int>((next - now) * 1000) + 1);
        reap(run);
        now = monotonic_seconds();
        look(run, now);
        watch_resources(run, now);
        if (now >= restart_at && now < end) {
            restart_counterpart(run, "restart");
            restart_at = end;
        }
        if (now >= next_chaos && now < end) {
            kill_one(run, random);
            next_chaos = now + chaos_gap(random);
        }
        if (now >= next_status) {
            print_status(run, now);
            next_status += STATUS_EVERY_SECONDS;
        }
        fflush(stdout); // before the next wait, through a pipe too
    }
}

// Stops every program, then says what the run came to: its counts, its
// figures and each rule broken. Returns the exit status.
static int stop_and_judge(Run &run) {
    const RunOptions &options = run.options;
    double stop_at = monotonic_seconds();
    look(run, stop_at);
    watch_end(&run.rules, stop_at);

    int sig = options.chaos ? SIGKILL : SIGTERM;
    stop_counterpart(run, sig);
    drain(run);
    reap(run); // clients that failed through what the counterpart did as it ended
    stop_clients(run, sig);
    if (run.output_dropped > 0)
        run.rules.resources.push_back(
            format_text("output: %ld KiB shown by %.1f s, its limit; %ld bytes after it not shown",
                        counterpart_output_bytes(static_cast<double>(options.seconds)) / 1024,
                        into_run(run, run.output_cut_at), run.output_dropped));
    SetSeen sets[2] = {look_at_set(FREE_SEM_KEY), look_at_set(ENTRY_SEM_KEY)};
    watch_sets(&run.rules, monotonic_seconds(), 0, sets);
    int free_value = sets[0].id == -1 ? -1 : sets[0].value;
    int entry_value = sets[1].id == -1 ? -1 : sets[1].value;
    printf("-- %d visits completed, %d cut short by the stop\n", run.visits.completed,
           run.visits.cut_short);
    if (options.chaos)
        printf("-- %d killed with SIGKILL\n", run.killed);
    printf("-- free %s + entry %s\n", value_text(free_value).c_str(),
           value_text(entry_value).c_str());
    for (const Breach &b : run.rules.limit_broken) // written once judged, after the events
        if (run.event_log != nullptr)
            fprintf(run.event_log, "%.3f\tdemo\tlimit-broken\n%.3f\tdemo\tlimit-kept\n",
                    into_run(run, b.since), into_run(run, b.since + b.seconds));
    if (run.event_log != nullptr && fclose(run.event_log) != 0) {
        warn("%s", options.log_path);
        return 2;
    }
    if (print_verdict(run, free_value, entry_value) > 0)
        return 1;
    printf("-- every rule kept: at most %d inside, no unit lost, invented or withheld, nobody "
           "kept waiting, the sets in place, nothing left running\n",
           FREE_SEM_INITIAL);
    return 0;
}

int run_and_judge(const RunOptions &options) {
    static Run run; // lives as long as the process: its children's records
    if (int refused = prepare(run, options)) {
        remove_control_group(&run.containment.group);
        return refused;
    }
    watch_to_the_end(run);
    int status = stop_and_judge(run);
    remove_control_group(&run.containment.group);
    return status;
}
