// Measures what waiting klient processes cost and how fast they react: starts
// N clients at once, all with standard output on one pipe, and
// reports how long they take to join and wait, their memory (PSS and RSS),
// the CPU time they burn while waiting, and the hand-off latency from raising
// the entry semaphore to reading a client's "konsumuje" line. It ends every
// client with SIGTERM and checks that every unit came back. It asserts
// nothing about speed.
//
// Absolute figures on a shared machine drift several-fold from day to day, so
// it measures a floor the same way in the same sitting, N bare waiters (the
// least a client can be), and gives each figure as a ratio to the floor too.
//
// Run it only in a private IPC namespace (scripts/bench does): it refuses to
// start where the semaphores exist already.
#include "child_lines.hpp"
#include "options.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>
#include <getopt.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

constexpr int CPU_WINDOW_SECONDS = 5;
constexpr int TIMEOUT_SECONDS = 60;

static Children clients; // of the program being measured

// Waits for output until some line contains word or since has been
// TIMEOUT_SECONDS ago, and returns how many lines contained it.
static int count_lines(const char *word, double since, const char *timeout_message) {
    int found = 0;
    while (found == 0) {
        if (read_child_lines(&clients, 1000, [&](size_t, const std::string &line, double) {
                found += line.find(word) != std::string::npos;
            }) == -1)
            err(1, "epoll_wait");
        if (found == 0 && monotonic_seconds() - since > TIMEOUT_SECONDS)
            errx(1, "%s", timeout_message);
    }
    return found;
}

// Reads "<field>: <n> kB" from /proc/PID/smaps_rollup.
static long smaps_kib(pid_t pid, const char *field) {
    std::string path = "/proc/" + std::to_string(pid) + "/smaps_rollup";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr)
        err(1, "%s", path.c_str());
    char line[256];
    long kib = -1;
    size_t len = strlen(field);
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, field, len) == 0 && line[len] == ':')
            kib = strtol(line + len + 1, nullptr, 10); // spaces, the number, " kB"
    fclose(f);
    return kib;
}

// User plus system CPU ticks of a process so far, from /proc/PID/stat.
static long cpu_ticks(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *f = fopen(path.c_str(), "r");
    char buf[1024] = {};
    if (f == nullptr || fread(buf, 1, sizeof buf - 1, f) == 0)
        err(1, "%s", path.c_str());
    fclose(f);
    // Fields after the command name, which ends at the last ')': utime is
    // the 14th field of the line and stime the 15th.
    const char *p = strrchr(buf, ')') + 2;
    long utime = 0, stime = 0;
    sscanf(p, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
    return utime + stime;
}

static double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

struct Figures {
    double join_seconds;
    double pss_median, pss_max, rss_median; // KiB
    long idle_ticks;
    double handoff_p50, handoff_p99; // microseconds
    int by_sigterm;                  // how many a SIGTERM ended
};

// Starts n copies of path, measures them, and ends them with SIGTERM. They
// join the sets of this namespace; the caller removes them afterwards.
static Figures measure(const char *path, int n) {
    Figures f = {};
    clients = Children();
    if (open_children(&clients) == -1 || share_one_pipe(&clients) == -1)
        err(1, "cannot make the clients' pipe");

    // Join: every copy started, has printed its first line and waits.
    double started = monotonic_seconds();
    for (int i = 0; i < n; i++)
        if (start_child(&clients, path, false) == -1)
            err(1, "cannot start %s", path);
    for (int announced = 0; announced < n;)
        announced +=
            count_lines("chce wejsc", started, "timed out waiting for the clients' first lines");
    int entry_sem = semget(ENTRY_SEM_KEY, 1, 0);
    const timespec pause = {0, 100000};
    for (int waiting; (waiting = semctl(entry_sem, 0, GETNCNT)) < n; nanosleep(&pause, nullptr)) {
        if (waiting == -1)
            err(1, "cannot read how many wait on the entry semaphore");
        if (monotonic_seconds() - started > TIMEOUT_SECONDS)
            errx(1, "timed out waiting for the clients to wait");
    }
    f.join_seconds = monotonic_seconds() - started;

    // Memory and idle CPU of the waiting copies.
    std::vector<double> pss, rss;
    long ticks_before = 0, ticks_after = 0;
    for (const Child &c : clients.list) {
        pss.push_back(smaps_kib(c.pid, "Pss"));
        rss.push_back(smaps_kib(c.pid, "Rss"));
        ticks_before += cpu_ticks(c.pid);
    }
    sleep(CPU_WINDOW_SECONDS);
    for (const Child &c : clients.list)
        ticks_after += cpu_ticks(c.pid);
    f.pss_median = percentile(pss, 0.5);
    f.pss_max = percentile(pss, 1);
    f.rss_median = percentile(rss, 0.5);
    f.idle_ticks = ticks_after - ticks_before;

    // Hand-off: one unit at a time, until some copy says it is let in.
    std::vector<double> latency_us;
    for (int i = 0; i < n; i++) {
        double t0 = monotonic_seconds();
        if (semaphore_up(entry_sem, 0) == -1)
            err(1, "cannot raise the entry semaphore");
        count_lines("konsumuje", t0, "timed out waiting for a client to be let in");
        latency_us.push_back((monotonic_seconds() - t0) * 1e6);
    }
    f.handoff_p50 = percentile(latency_us, 0.5);
    f.handoff_p99 = percentile(latency_us, 0.99);

    // End every copy; clients inside give their unit back as they go.
    for (const Child &c : clients.list)
        kill(c.pid, SIGTERM);
    for (const Child &c : clients.list) {
        int status;
        waitpid(c.pid, &status, 0);
        f.by_sigterm += WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
    }
    close(clients.shared_in);
    close(clients.shared_out);
    close(clients.epoll_fd);
    return f;
}

static void print_row(const char *measure, const char *format, double klient, double floor) {
    char a[32], b[32], ratio[32] = "-";
    snprintf(a, sizeof a, format, klient);
    snprintf(b, sizeof b, format, floor);
    if (floor > 0)
        snprintf(ratio, sizeof ratio, "%.2f", klient / floor);
    printf("%-40s %12s %12s %14s\n", measure, a, b, ratio);
}

static void remove_sets() {
    semctl(semget(FREE_SEM_KEY, 1, 0), 0, IPC_RMID);
    semctl(semget(ENTRY_SEM_KEY, 1, 0), 0, IPC_RMID);
}

constexpr const char *USAGE = "usage: handoff [--clients N]   (default: 1000)\n";
constexpr long MAX_CLIENTS = 99999;

int main(int argc, char **argv) {
    long clients = 1000;
    const option options[] = {
        {"clients", required_argument, nullptr, 'c'}, {"help", no_argument, nullptr, 'h'}, {}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, SHORT_OPTIONS, options, nullptr)) != -1;) {
        switch (c) {
        case 'c':
            if (!whole_number(optarg, 1, MAX_CLIENTS, &clients))
                usage_error(USAGE, "--clients wants a number of clients from 1 to %ld, got '%s'",
                            MAX_CLIENTS, optarg);
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
    const int n = static_cast<int>(clients);
    if (semget(FREE_SEM_KEY, 1, 0) != -1 || semget(ENTRY_SEM_KEY, 1, 0) != -1)
        errx(1, "the semaphores exist already: run this in a fresh IPC namespace (scripts/bench)");
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);

    Figures k = measure(KLIENT_PATH, n);
    int free_value = semctl(semget(FREE_SEM_KEY, 1, 0), 0, GETVAL);
    int entry_value = semctl(semget(ENTRY_SEM_KEY, 1, 0), 0, GETVAL);
    bool no_unit_lost = free_value == FREE_SEM_INITIAL + n && entry_value == 0;
    remove_sets();
    Figures w = measure(BARE_WAITER_PATH, n);
    remove_sets();

    utsname host;
    uname(&host);
    printf("machine: %ld cores, %s %s %s; %d clients, then %d bare waiters\n",
           sysconf(_SC_NPROCESSORS_ONLN), host.sysname, host.release, host.machine, n, n);
    printf("%-40s %12s %12s %14s\n", "measure", "klient", "bare waiter", "klient / bare");
    print_row("join: all announced and waiting (s)", "%.3f", k.join_seconds, w.join_seconds);
    print_row("PSS per waiting client, median (KiB)", "%.0f", k.pss_median, w.pss_median);
    print_row("PSS per waiting client, max (KiB)", "%.0f", k.pss_max, w.pss_max);
    print_row("RSS per waiting client, median (KiB)", "%.0f", k.rss_median, w.rss_median);
    print_row("CPU ticks, all, 5 s waiting", "%.0f", k.idle_ticks, w.idle_ticks);
    print_row("hand-off latency p50 (us)", "%.1f", k.handoff_p50, w.handoff_p50);
    print_row("hand-off latency p99 (us)", "%.1f", k.handoff_p99, w.handoff_p99);
    printf("clients ended by SIGTERM: %d; free %d (expected %d), entry %d (expected 0): %s\n",
           k.by_sigterm, free_value, FREE_SEM_INITIAL + n, entry_value,
           no_unit_lost ? "no unit lost" : "UNITS LOST");
    return no_unit_lost && k.by_sigterm == n && w.by_sigterm == n ? 0 : 1;
}
