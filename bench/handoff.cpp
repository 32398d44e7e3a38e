// Measures what waiting klient processes cost and how fast they react: starts
// N clients at once, all with standard output on one pipe, and reports how
// long they take to join and wait, their memory (PSS and RSS), the CPU time
// they burn while waiting, and the hand-off latency from raising the entry
// semaphore to reading a client's "konsumuje" line. It ends every client with
// SIGTERM and checks that every unit came back. It asserts nothing about
// speed.
//
// Absolute figures on a shared machine drift several-fold from day to day, so
// it measures a floor the same way in the same sitting, N bare waiters (the
// least a client can be), and gives each figure as a ratio to the floor too.
// The two take turns over several rounds, the first of each pair alternating,
// and each ratio is given as its median over the rounds with its range, so
// that what the machine does meanwhile shows as spread, not as a ratio.
// --ablation measures the floor plus each of the client's own steps instead.
//
// Run it only in a private IPC namespace (scripts/bench does): it refuses to
// start where the semaphores exist already.
#include "handoff.hpp"
#include "child_lines.hpp"
#include "options.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <err.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

constexpr int TIMEOUT_SECONDS = 60;
// Hand-offs per program and round at least: with fewer clients than this,
// they are started, let in and ended in batches until there are as many.
constexpr int MIN_HANDOFFS = 100;

const Program KLIENT = {"klient", {KLIENT_PATH}};
const Program FLOOR = {"bare waiter", {BARE_WAITER_PATH}};
// The floor plus each of the client's own steps, then all of them.
const Program STEPS[] = {
    {"+ guard", {BARE_WAITER_PATH, "--guard"}},
    {"+ visit alarm", {BARE_WAITER_PATH, "--alarm"}},
    {"+ handlers", {BARE_WAITER_PATH, "--handlers"}},
    {"+ sleep timer", {BARE_WAITER_PATH, "--sleep"}},
    {"+ all four", {BARE_WAITER_PATH, "--guard", "--alarm", "--handlers", "--sleep"}},
};

static Children clients; // of the batch being measured
static char round_label[64];
// The clients wait this long before each batch's hand-offs, as real clients
// wait: right after a batch has started, the machine is still busy with it.
static unsigned wait_seconds;
// The CPU time of the first batch is counted over this many seconds of waiting.
static unsigned idle_seconds;

__attribute__((format(printf, 1, 2))) static void progress(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "handoff: %s: ", round_label);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

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

static int semaphore_value(key_t key) {
    return semctl(semget(key, 1, 0), 0, GETVAL);
}

static void remove_sets() {
    semctl(semget(FREE_SEM_KEY, 1, 0), 0, IPC_RMID);
    semctl(semget(ENTRY_SEM_KEY, 1, 0), 0, IPC_RMID);
}

// Starts n copies of program on fresh sets and waits until every one has
// announced itself and waits. Returns the time that took.
static double start_batch(const Program &program, int n) {
    remove_sets();
    clients = Children();
    if (open_children(&clients) == -1 || share_one_pipe(&clients) == -1)
        err(1, "cannot make the clients' pipe");
    double started = monotonic_seconds();
    for (int i = 0; i < n; i++)
        if (start_child(&clients, program.argv) == -1)
            err(1, "cannot start %s", program.argv[0]);
    for (int announced = 0; announced < n;)
        announced +=
            count_lines(WANTS_TO_ENTER, started, "timed out waiting for the clients' first lines");
    int entry_sem = semget(ENTRY_SEM_KEY, 1, 0);
    const timespec pause = {0, 100000};
    for (int waiting; (waiting = semctl(entry_sem, 0, GETNCNT)) < n; nanosleep(&pause, nullptr)) {
        if (waiting == -1)
            err(1, "cannot read how many wait on the entry semaphore");
        if (monotonic_seconds() - started > TIMEOUT_SECONDS)
            errx(1, "timed out waiting for the clients to wait");
    }
    return monotonic_seconds() - started;
}

// Lets the batch in one at a time, each time until some copy says it is let
// in, and adds each latency in microseconds.
static void hand_off(int n, std::vector<double> *latency_us) {
    int entry_sem = semget(ENTRY_SEM_KEY, 1, 0);
    for (int i = 0; i < n; i++) {
        double t0 = monotonic_seconds();
        if (semaphore_up(entry_sem, 0) == -1)
            err(1, "cannot raise the entry semaphore");
        count_lines(CONSUMES, t0, "timed out waiting for a client to be let in");
        latency_us->push_back((monotonic_seconds() - t0) * 1e6);
    }
}

// Ends the batch with SIGTERM; klient copies that were let in give their unit
// back as they go, and that is checked.
static void stop_batch(const Program &program, int n, Figures *f) {
    for (const Child &c : clients.list)
        kill(c.pid, SIGTERM);
    for (const Child &c : clients.list) {
        int status;
        if (waitpid(c.pid, &status, 0) == -1)
            err(1, "waitpid");
        f->not_by_sigterm += !(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    }
    if (&program == &KLIENT && (semaphore_value(FREE_SEM_KEY) != FREE_SEM_INITIAL + n ||
                                semaphore_value(ENTRY_SEM_KEY) != 0))
        f->units_back = false;
    close(clients.shared_in);
    close(clients.shared_out);
    close(clients.epoll_fd);
    remove_sets();
}

// Measures n copies of program: memory and, with idle_window, idle CPU on the
// first batch; join (the median) and hand-offs over as many batches as it takes.
static Figures measure(const Program &program, int n, bool idle_window) {
    Figures f = {};
    f.units_back = true;
    f.idle_ticks = -1;
    int batches = (MIN_HANDOFFS + n - 1) / n;
    std::vector<double> latency_us, join_seconds;
    progress("starting %d", n);
    join_seconds.push_back(start_batch(program, n));
    progress("%d joined and waiting in %.3f s; reading their memory", n, join_seconds[0]);
    std::vector<double> pss, rss;
    for (const Child &c : clients.list) {
        pss.push_back(smaps_kib(c.pid, "Pss"));
        rss.push_back(smaps_kib(c.pid, "Rss"));
    }
    f.pss_median = percentile(pss, 0.5);
    f.pss_max = percentile(pss, 1);
    f.rss_median = percentile(rss, 0.5);
    if (idle_window) {
        progress("counting their CPU ticks over %u s of waiting", idle_seconds);
        long before = 0, after = 0;
        for (const Child &c : clients.list)
            before += cpu_ticks(c.pid);
        sleep(idle_seconds);
        for (const Child &c : clients.list)
            after += cpu_ticks(c.pid);
        f.idle_ticks = static_cast<double>(after - before);
    }
    if (batches == 1)
        progress("%d hand-offs, after %u s of waiting", n, wait_seconds);
    else
        progress("%d hand-offs, in %d batches of %d started afresh, each after %u s of waiting",
                 batches * n, batches, n, wait_seconds);
    for (int batch = 0; batch < batches; batch++) {
        if (batch > 0)
            join_seconds.push_back(start_batch(program, n));
        sleep(wait_seconds);
        hand_off(n, &latency_us);
        if (batch == batches - 1)
            progress("stopping");
        stop_batch(program, n, &f);
    }
    f.join_seconds = median(join_seconds);
    f.handoff_p50 = percentile(latency_us, 0.5);
    f.handoff_p99 = percentile(latency_us, 0.99);
    return f;
}

// Measures each program over the rounds. The floor first in the list, the
// programs taking turns within a round, and each round starting one further
// along, so that no program always runs first or right after the same one.
static std::vector<std::vector<Figures>>
measure_rounds(const std::vector<const Program *> &programs, int n, long rounds, bool ablation) {
    std::vector<std::vector<Figures>> figures(programs.size());
    for (int round = 0; round < rounds; round++)
        for (size_t turn = 0; turn < programs.size(); turn++) {
            size_t i = (turn + round) % programs.size();
            snprintf(round_label, sizeof round_label, "round %d of %ld, %s", round + 1, rounds,
                     programs[i]->name);
            figures[i].push_back(measure(*programs[i], n, !ablation && round == 0));
        }
    return figures;
}

constexpr const char *USAGE =
    "usage: handoff [--clients N] [--rounds R] [--wait S] [--idle S] [--ablation]\n"
    "       (defaults: 1000 clients, 5 rounds, 1 second of waiting before the hand-offs,\n"
    "       CPU counted over 5 seconds of waiting)\n";
constexpr long MAX_CLIENTS = 99999, MAX_ROUNDS = 999, MAX_WAIT = 3600;

int main(int argc, char **argv) {
    long clients_wanted = 1000, rounds = 5, wait = 1, idle = 5;
    bool ablation = false;
    read_options(argc, argv,
                 {number_option("clients", &clients_wanted, 1, MAX_CLIENTS, "a number of clients"),
                  number_option("rounds", &rounds, 1, MAX_ROUNDS, "a number of rounds"),
                  number_option("wait", &wait, 0, MAX_WAIT, "a number of seconds"),
                  number_option("idle", &idle, 1, MAX_WAIT, "a number of seconds"),
                  flag_option("ablation", &ablation)},
                 USAGE);
    const int n = static_cast<int>(clients_wanted);
    wait_seconds = static_cast<unsigned>(wait);
    idle_seconds = static_cast<unsigned>(idle);
    if (semget(FREE_SEM_KEY, 1, 0) != -1 || semget(ENTRY_SEM_KEY, 1, 0) != -1)
        errx(1, "the semaphores exist already: run this in a fresh IPC namespace (scripts/bench)");
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);

    std::vector<const Program *> programs = {&FLOOR, &KLIENT};
    if (ablation) {
        programs.pop_back();
        for (const Program &step : STEPS)
            programs.push_back(&step);
        programs.push_back(&KLIENT);
    }
    std::vector<std::vector<Figures>> figures = measure_rounds(programs, n, rounds, ablation);

    print_setting(n, rounds, ablation, wait_seconds, idle_seconds);
    if (ablation)
        print_ablation(programs, figures);
    else
        print_comparison(figures[1], figures[0]);

    return print_checks(figures);
}
