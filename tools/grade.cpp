// klient-grade: grades counterparts. Each one given, a program or a C or C++
// source built first, goes through every scenario of SCENARIOS, each run by
// the demo in private IPC, PID and mount namespaces of its own, many runs at
// once. Prints a report card, one row per counterpart and one column per
// scenario, each cell "ok" or the rules broken; keeps each run's output in
// the log directory, and can write the same as a tab-separated report.
//
// Exit status 0: every counterpart kept every rule in every scenario; 1: a
// rule broken, or a build failed; 2, whatever else: it could not grade
// (usage, a program that cannot run, a run the demo could not judge, an
// interruption).
#include "child_lines.hpp"
#include "control_group.hpp"
#include "namespaces.hpp"
#include "options.hpp"
#include "rule_watch.hpp"
#include "shown_text.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <initializer_list>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// The runs that expose a counterpart's faults. Each lasts long enough for a
// stall after the first visits end (at 17 s at the latest) to outlast a
// visit and the tolerance: 17 + 15 + 1 s < 35 s; the kill comes once those
// visits are under way, and a stall after it still shows by the end.
struct Scenario {
    const char *name;
    std::vector<const char *> args; // the demo's
};
static const Scenario SCENARIOS[] = {
    {"counterpart-first", {"--first", "counterpart", "--clients", "8", "--seconds", "35"}},
    {"clients-first", {"--first", "clients", "--clients", "8", "--seconds", "35"}},
    {"3-clients", {"--clients", "3", "--seconds", "35"}},
    {"50-clients", {"--clients", "50", "--seconds", "35"}},
    {"kill", {"--clients", "8", "--restart-at", "10", "--seconds", "35"}},
};
constexpr size_t SCENARIO_COUNT = sizeof SCENARIOS / sizeof SCENARIOS[0];
// The longest run, and the time its stop takes as a rule: a stop that waits
// out every grace of 3 s takes longer.
constexpr int RUN_SECONDS = 35, STOP_SECONDS = 4;
constexpr long JOBS_PER_CPU = 4; // the clients sleep, mostly
constexpr double PROGRESS_EVERY_SECONDS = 5;

constexpr const char *USAGE =
    "usage: klient-grade [--jobs N] [--logs DIR] [--report FILE] COUNTERPART...\n"
    "       each COUNTERPART a program, or a C (.c) or C++ (.cc, .cpp, .cxx) source\n"
    "       (defaults: 4 runs at once per CPU, the logs in grade-logs/, no report)\n"
    "       Each runs contained: never as root, no network, writing only in its run's\n"
    "       scratch directory, within limits of processes, memory, CPU time and output\n"
    "       (man klient-grade).\n";

enum Verdict : unsigned char { VERDICT_OK, VERDICT_FAULTY, VERDICT_UNJUDGED, VERDICT_INTERRUPTED };

struct Counterpart {
    std::string given;   // as on the command line
    std::string shown;   // the same, escaped (shown_text.hpp)
    std::string program; // what runs: given, or what was built from it
    std::string label;   // for file names: its place and name
    Verdict verdict = VERDICT_OK;
    std::string why; // a build failed, or it cannot run: why
};

struct Job {
    size_t counterpart, scenario;
    pid_t pid = 0;
    FILE *log = nullptr;
    std::string log_path;
    std::vector<std::string> faults; // "rule: what"
    std::string last_line;
    Verdict verdict = VERDICT_OK;
    bool done = false;
};

static volatile sig_atomic_t interrupted;

// The grading's control group, where one can be made: each demo makes its
// counterpart's below it, and what a killed demo leaves there goes with it.
static ControlGroup grading;

static void join_grading() {
    join_control_group(grading); // without it, the demo's group lies beside the grader's
}

static void on_interrupt(int) {
    interrupted = 1;
}

// Runs argv to its end, its output and errors kept, unless interrupted.
// Returns its wait status, or -1 with errno set if it could not start.
static int run_to_end(const char *const argv[], std::string *output) {
    Children children;
    if (open_children(&children) == -1 ||
        start_child(&children, argv,
                    {.group = GROUP_OWN, .errors = ERRORS_WITH_OUTPUT, .in_child = join_grading}) ==
            -1)
        return -1;
    auto keep = [output](size_t, const std::string &line, double) { *output += line + "\n"; };
    while (children.list[0].out != -1 && !interrupted)
        read_child_lines(&children, 1000, keep);
    pid_t pid = children.list[0].pid;
    if (interrupted && kill(pid, SIGKILL) == -1) // its namespaces, and all in them, die with it
        err(2, "cannot end %s", argv[0]);        // not yet reaped: the pid is still its own
    int status;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            err(2, "cannot wait for %s", argv[0]);
    close(children.epoll_fd);
    if (children.list[0].out != -1)
        close(children.list[0].out);
    return status;
}

// The last line of output, where a program that failed says why.
static std::string last_line(const std::string &output) {
    size_t end = output.find_last_not_of('\n');
    if (end == std::string::npos)
        return "";
    size_t start = output.rfind('\n', end);
    size_t from = start == std::string::npos ? 0 : start + 1;
    return output.substr(from, end + 1 - from);
}

// The line of a compiler's output that says what is wrong: its first error,
// or else its last line.
static std::string first_error(const std::string &output) {
    for (size_t at = 0; at < output.size();) {
        size_t end = output.find('\n', at);
        std::string line = output.substr(at, end - at);
        if (line.find("error") != std::string::npos)
            return line;
        at = end == std::string::npos ? output.size() : end + 1;
    }
    return last_line(output);
}

// Builds a source into the log directory, contained by the demo as a run is.
static void build(Counterpart *c, const std::string &dir) {
    static const std::string demo = program_path("demo");
    c->program = dir + "/" + c->label;
    fprintf(stderr, "klient-grade: building %s\n", c->shown.c_str());
    const char *argv[] = {demo.c_str(), "--private",        "--build", c->given.c_str(),
                          "--output",   c->program.c_str(), nullptr};
    std::string output;
    int status = run_to_end(argv, &output);
    if (status == 0)
        return;
    if (interrupted) {
        c->verdict = VERDICT_INTERRUPTED;
        c->why = "interrupted while building";
        return;
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    c->verdict = code == 1 ? VERDICT_FAULTY : VERDICT_UNJUDGED;
    if (status == -1)
        c->why = "cannot build: cannot start " + demo + ": " + strerror(errno);
    else if (code == 1)
        c->why = "build failed: " + printable(first_error(output), true);
    else
        c->why = printable(last_line(output), true); // the demo's own, after any notice
}

static const char *verdict_name(Verdict verdict) {
    const char *names[] = {"ok", "faulty", "not judged", "interrupted"};
    return names[verdict];
}

// A run's cell on the report card: its verdict, or the rules it broke.
static std::string cell(const Job &job) {
    if (job.verdict != VERDICT_FAULTY || job.faults.empty())
        return verdict_name(job.verdict);
    std::string rules;
    for (const std::string &fault : job.faults) {
        std::string rule = fault.substr(0, fault.find(':'));
        if (rules.find(rule) == std::string::npos)
            rules += (rules.empty() ? "" : ", ") + rule;
    }
    return rules;
}

// Starts the demo for a job, its output into the job's log.
static void start_job(Children *children, std::vector<Job> *jobs, size_t index,
                      const std::vector<Counterpart> &counterparts, const std::string &dir) {
    static const std::string demo = program_path("demo");
    Job &job = (*jobs)[index];
    const Counterpart &c = counterparts[job.counterpart];
    const Scenario &s = SCENARIOS[job.scenario];
    job.log_path = dir + "/" + c.label + "." + s.name + ".log";
    job.log = fopen(job.log_path.c_str(), "w");
    if (job.log == nullptr)
        err(2, "cannot write %s", job.log_path.c_str());
    std::string command = quoted(c.program);
    std::vector<const char *> argv = {demo.c_str(), "--private", "--counterpart", command.c_str()};
    argv.insert(argv.end(), s.args.begin(), s.args.end());
    argv.push_back(nullptr);
    int child =
        start_child(children, argv.data(),
                    {.group = GROUP_OWN, .errors = ERRORS_WITH_OUTPUT, .in_child = join_grading});
    if (child == -1)
        err(2, "cannot start %s", demo.c_str());
    job.pid = children->list[child].pid;
}

static void print_card(const std::vector<Counterpart> &counterparts, const std::vector<Job> &jobs) {
    std::vector<size_t> width(SCENARIO_COUNT + 1, 11);
    for (const Counterpart &c : counterparts)
        width[0] = std::max(width[0], c.shown.size());
    for (size_t s = 0; s < SCENARIO_COUNT; s++)
        width[s + 1] = std::max(width[s + 1], strlen(SCENARIOS[s].name));
    for (const Job &job : jobs)
        width[job.scenario + 1] = std::max(width[job.scenario + 1], cell(job).size());
    printf("%-*s", static_cast<int>(width[0]), "counterpart");
    for (size_t s = 0; s < SCENARIO_COUNT; s++)
        printf("  %-*s", static_cast<int>(width[s + 1]), SCENARIOS[s].name);
    printf("\n");
    for (size_t i = 0; i < counterparts.size(); i++) {
        printf("%-*s", static_cast<int>(width[0]), counterparts[i].shown.c_str());
        if (!counterparts[i].why.empty()) {
            printf("  %s\n", counterparts[i].why.c_str());
            continue;
        }
        for (const Job &job : jobs)
            if (job.counterpart == i)
                printf("  %-*s", static_cast<int>(width[job.scenario + 1]), cell(job).c_str());
        printf("\n");
    }
}

static void write_report(const char *path, const std::vector<Counterpart> &counterparts,
                         const std::vector<Job> &jobs) {
    FILE *report = fopen(path, "w");
    if (report == nullptr)
        err(2, "cannot write %s", path);
    fprintf(report, "counterpart\tscenario\tverdict\tfaults\tlog\n");
    for (const Counterpart &c : counterparts)
        if (!c.why.empty())
            fprintf(report, "%s\t\t%s\t%s\t\n", c.shown.c_str(), verdict_name(c.verdict),
                    c.why.c_str());
    for (const Job &job : jobs) {
        std::string faults;
        for (const std::string &fault : job.faults)
            faults += (faults.empty() ? "" : " | ") + fault;
        if (job.verdict == VERDICT_UNJUDGED)
            faults = job.last_line;
        fprintf(report, "%s\t%s\t%s\t%s\t%s\n", counterparts[job.counterpart].shown.c_str(),
                SCENARIOS[job.scenario].name, verdict_name(job.verdict),
                printable(faults, true).c_str(), printable(job.log_path, true).c_str());
    }
    if (fclose(report) != 0)
        err(2, "cannot write %s", path);
}

// A counterpart as given: named for its files by its place among them, and
// built first if it is a source.
static Counterpart prepare(const std::string &given, int number, const std::string &dir) {
    Counterpart c;
    c.given = c.program = given;
    c.shown = printable(given, true);
    if (given.find('/') == std::string::npos)
        c.program = "./" + given; // a file here, not a command on PATH
    std::string name = given.substr(given.rfind('/') + 1);
    char place[16];
    snprintf(place, sizeof place, "%02d-", number);
    c.label = place;
    c.label += name.substr(0, 40); // appended: GCC 12 misreads a prepend as an overlap
    std::replace_if(
        c.label.begin(), c.label.end(),
        [](char ch) { return !isalnum(static_cast<unsigned char>(ch)) && ch != '-'; }, '_');
    if (!is_source(given.c_str()))
        return c;
    if (interrupted) {
        c.verdict = VERDICT_INTERRUPTED;
        c.why = "interrupted before its build";
    } else if (access(given.c_str(), R_OK) == -1) {
        c.verdict = VERDICT_UNJUDGED;
        c.why = "cannot read it: " + std::string(strerror(errno));
    } else {
        build(&c, dir);
    }
    return c;
}

// Runs every job, at_once at a time, each the child of its own index, saying
// how far it has got. Interrupted, it ends the runs going, and marks each run
// not done interrupted.
static void run_jobs(std::vector<Job> *jobs, const std::vector<Counterpart> &counterparts,
                     const std::string &dir, long at_once) {
    Children children;
    if (open_children(&children) == -1)
        err(2, "epoll_create1");
    size_t next = 0, running = 0, finished = 0, total = jobs->size();
    long rounds = (static_cast<long>(total) + at_once - 1) / at_once;
    fprintf(stderr,
            "klient-grade: %zu runs (%zu counterparts, %zu each), %ld at once: about %ld s\n",
            total, total / SCENARIO_COUNT, SCENARIO_COUNT, at_once,
            rounds * (RUN_SECONDS + STOP_SECONDS));
    double began = monotonic_seconds(), last_said = began;
    auto on_line = [jobs](size_t child, const std::string &line, double) {
        Job &job = (*jobs)[child];
        fprintf(job.log, "%s\n", line.c_str());
        if (line.starts_with("-- fault: "))
            job.faults.push_back(line.substr(10));
        job.last_line = line;
    };
    while ((next < total || running > 0) && !interrupted) {
        for (; next < total && running < static_cast<size_t>(at_once); next++, running++)
            start_job(&children, jobs, next, counterparts, dir);
        read_child_lines(&children, 200, on_line);
        for (size_t i = 0; i < next; i++) {
            Job &job = (*jobs)[i];
            int status;
            if (job.done || waitpid(job.pid, &status, WNOHANG) != job.pid)
                continue;
            // Its namespaces have died with it: its pipe ends at once.
            for (int tries = 0; tries < 50 && children.list[i].out != -1; tries++)
                read_child_lines(&children, 100, on_line);
            fclose(job.log);
            job.done = true;
            running--;
            finished++;
            int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            job.verdict = code == 0 ? VERDICT_OK : code == 1 ? VERDICT_FAULTY : VERDICT_UNJUDGED;
            last_said = monotonic_seconds();
            fprintf(stderr, "klient-grade: [%zu/%zu] %s %s: %s\n", finished, total,
                    counterparts[job.counterpart].shown.c_str(), SCENARIOS[job.scenario].name,
                    job.verdict == VERDICT_UNJUDGED ? printable(job.last_line, true).c_str()
                                                    : cell(job).c_str());
        }
        double now = monotonic_seconds();
        if (now - last_said >= PROGRESS_EVERY_SECONDS) {
            fprintf(stderr, "klient-grade: %.0f s: %zu running, %zu of %zu done\n", now - began,
                    running, finished, total);
            last_said = now;
        }
    }
    if (!interrupted)
        return;
    for (size_t i = 0; i < total; i++) { // each run's namespaces die with its demo
        Job &job = (*jobs)[i];
        if (job.done)
            continue;
        if (i < next) {
            if (kill(job.pid, SIGKILL) == -1) // not yet reaped: the pid is still its own
                err(2, "cannot end the run %d", job.pid);
            while (waitpid(job.pid, nullptr, 0) == -1)
                if (errno != EINTR)
                    err(2, "cannot wait for the run %d", job.pid);
            fclose(job.log);
        }
        job.verdict = VERDICT_INTERRUPTED;
    }
    warnx("interrupted: %zu of %zu runs done", finished, total);
}

int main(int argc, char **argv) {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    long at_once = JOBS_PER_CPU * std::max(cpus, 1L);
    const char *dir = "grade-logs", *report_path = nullptr;
    int first = read_options(argc, argv,
                             {number_option("jobs", &at_once, 1, 999, "a number of runs at once"),
                              text_option("logs", &dir), text_option("report", &report_path)},
                             USAGE, true);
    if (first == argc)
        usage_error(USAGE, "no counterpart to grade");
    // Each run's output comes through a pipe, into a log.
    rlim_t hard, files = 2 * static_cast<rlim_t>(at_once) + 16;
    if (raise_file_limit(files, &hard) == -1)
        errx(2,
             "%ld runs at once need %llu open files, and the hard limit is %llu: ask for "
             "fewer (--jobs)",
             at_once, static_cast<unsigned long long>(files),
             static_cast<unsigned long long>(hard));
    if (int error = try_private_namespaces())
        errx(2, "cannot make private namespaces for the runs (%s)%s", strerror(error),
             geteuid() == 0 ? ""
                            : ": a normal user needs user namespaces, which this system does "
                              "not allow; run as root, or ask an administrator to allow them");
    if (mkdir(dir, 0777) == -1 && errno != EEXIST)
        err(2, "cannot make %s", dir);
    make_control_group(&grading, "klient-grade"); // where not, each run's log says so

    struct sigaction sa = {};
    sa.sa_handler = on_interrupt; // no SA_RESTART: a wait for lines returns at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::vector<Counterpart> counterparts;
    for (int i = first; i < argc; i++)
        counterparts.push_back(prepare(argv[i], i - first + 1, dir));
    std::vector<Job> jobs;
    for (size_t i = 0; i < counterparts.size(); i++)
        for (size_t s = 0; counterparts[i].why.empty() && s < SCENARIO_COUNT; s++)
            jobs.push_back({i, s, 0, nullptr, "", {}, "", VERDICT_OK, false});
    run_jobs(&jobs, counterparts, dir, at_once);
    remove_control_group(&grading);

    print_card(counterparts, jobs);
    if (report_path != nullptr)
        write_report(report_path, counterparts, jobs);
    printf("\nlogs in %s/%s%s\n", dir, report_path != nullptr ? ", report in " : "",
           report_path != nullptr ? report_path : "");
    // One counterpart not graded outweighs the faults of others.
    Verdict worst = VERDICT_OK;
    for (const Counterpart &c : counterparts)
        worst = std::max(worst, c.verdict);
    for (const Job &job : jobs)
        worst = std::max(worst, job.verdict);
    return worst == VERDICT_OK ? 0 : worst == VERDICT_FAULTY ? 1 : 2;
}
