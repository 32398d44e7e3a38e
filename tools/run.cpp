// The run: prepared, watched to its end, stopped and judged. Its programs
// are started in run_start.cpp, their lines read and their ends taken in
// run_lines.cpp, and they are ended in run_stop.cpp.
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

#include "options.hpp"
#include "run_lines.hpp"
#include "run_record.hpp"
#include "run_start.hpp"
#include "run_stop.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <err.h>
#include <random>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <vector>

constexpr double STATUS_EVERY_SECONDS = 5;
constexpr double LOOK_EVERY_SECONDS = 0.1; // at the semaphores, between lines
constexpr double CHAOS_MIN_SECONDS = 1, CHAOS_MAX_SECONDS = 3;
constexpr rlim_t SPARE_FILES = 64; // beyond one a client: the log, epoll, the counterpart's

static volatile sig_atomic_t stop_requested;

static void on_stop(int) {
    stop_requested = 1;
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

// What semctl's command (GETVAL, GETNCNT) says of the set under key, or -1.
static int ask_set(key_t key, int command) {
    return semctl(semget(key, 1, 0), 0, command);
}

static void print_status(const Run &run, double now) {
    printf("-- %3.0fs: free %d, entry %d, %d waiting on entry; by their lines, %d inside, %d "
           "visits\n",
           into_run(run, now), ask_set(FREE_SEM_KEY, GETVAL), ask_set(ENTRY_SEM_KEY, GETVAL),
           ask_set(ENTRY_SEM_KEY, GETNCNT), count_inside(run.visits),
           run.visits.completed + run.visits.cut_short);
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
    for (const Fault &fault : found) {
        printf("-- fault: %s: %s\n", fault.rule.c_str(), fault.what.c_str());
        if (run.verdict != nullptr)
            fprintf(run.verdict, "%s\t%s\t%.1f\n", fault.rule.c_str(), fault.what.c_str(),
                    fault.at);
    }
    return static_cast<int>(found.size());
}

static std::string value_text(int value) {
    return value < 0 ? "gone" : std::to_string(value);
}

// What the run needs before it starts: room for the clients' pipes, the
// event log, the containment (whose IPC namespace keeps the run's semaphores
// apart from the caller's), and the signals. Returns 0, or
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
    if (options.log_path != nullptr) {
        run.event_log = fopen(options.log_path, "w");
        if (run.event_log == nullptr) {
            warn("%s", options.log_path);
            return 2;
        }
        fprintf(run.event_log, "seconds\tprocess\tevent\n");
    }
    if (options.verdict_path != nullptr) { // before the run's file tree is read-only
        run.verdict = fopen(options.verdict_path, "w");
        if (run.verdict == nullptr) {
            warn("%s", options.verdict_path);
            return 2;
        }
    }
    std::vector<std::string> programs = {program_path("doorkeeper"), program_path("klient")};
    if (options.copied)
        programs.push_back(options.program);
    if (contain_run(&run.containment, &programs, 2, options.clients,
                    static_cast<double>(options.seconds)) == -1)
        return 2;
    run.family.group = &run.containment.group;
    run.doorkeeper_file = programs[0];
    run.klient_file = programs[1];
    run.counterpart_file = !options.copied             ? options.program
                           : options.in_folder.empty() ? programs[2]
                                                       : programs[2] + "/" + options.in_folder;
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
        // A moment already past (the demo stopped, or slow to come round)
        // waits for nothing: a wait of -1 would last until the next line.
        read_lines(run, static_cast<int>(std::max(0.0, next - now) * 1000) + 1);
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
            {1,
             format_text("output: %ld KiB shown by %.1f s, its limit; %ld bytes after it not shown",
                         counterpart_output_bytes(static_cast<double>(options.seconds)) / 1024,
                         into_run(run, run.output_cut_at), run.output_dropped),
             run.output_cut_at});
    SetSeen sets[2] = {look_at_set(FREE_SEM_KEY), look_at_set(ENTRY_SEM_KEY)};
    watch_sets(&run.rules, monotonic_seconds(), sets);
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
    int broken = print_verdict(run, free_value, entry_value);
    if (run.verdict != nullptr && fclose(run.verdict) != 0) {
        warn("%s", options.verdict_path);
        return 2;
    }
    if (broken > 0)
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
