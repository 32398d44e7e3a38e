// klient-grade: grades counterparts. Each one given, a program, a C or C++
// source built first, or a folder (submission.hpp), goes through every scenario of SCENARIOS, each
// run by the demo in private IPC, PID and mount namespaces of its own, many runs at once. Prints a
// report card, one row per counterpart and one column per scenario, each cell "ok" or the rules
// broken; keeps each run's output in the log directory, and can write the same as a tab-separated
// report.
//
// Exit status 0: every counterpart kept every rule in every scenario; 1: a
// rule broken, or a build failed; 2, whatever else: it could not grade
// (usage, a program that cannot run, a run the demo could not judge, an
// interruption).
#include "child_lines.hpp"
#include "control_group.hpp"
#include "grade_build.hpp"
#include "grade_points.hpp"
#include "grading.hpp"
#include "namespaces.hpp"
#include "options.hpp"
#include "shown_text.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

constexpr long JOBS_PER_CPU = 16; // the clients sleep, mostly: docs/grading.md measures it
constexpr double PROGRESS_EVERY_SECONDS = 5;

constexpr const char *USAGE =
    "usage: klient-grade [--jobs N] [--logs DIR] [--report FILE]... [--points FILE] [--list]\n"
    "                    COUNTERPART...\n"
    "       each COUNTERPART a program, a C (.c) or C++ (.cc, .cpp, .cxx) source, or a\n"
    "       folder: with a Makefile, of sources, or with its program named run\n"
    "       (defaults: 16 runs at once per CPU, the logs in grade-logs/, no report; a\n"
    "       report by its extension: .tsv tab-separated, .json Gradescope, .xml JUnit,\n"
    "       .html a web page with each run's timeline;\n"
    "       --points reads a line \"POINTS NAME\" each: what a run kept, or a rule kept in\n"
    "       every run, is worth, a point a run without it; --list says what would be\n"
    "       graded and how, and runs nothing)\n"
    "       Each runs contained: never as root, no network, writing only in its run's\n"
    "       scratch directory, within limits of processes, memory, CPU time and output\n"
    "       (man klient-grade).\n";

static volatile sig_atomic_t interrupted;

// The grading's control group, where one can be made: each demo, and each
// build, runs in a group of its own below it, and makes its counterpart's
// there; what a killed demo leaves goes with the grading's.
static ControlGroup grading;

static void join_grading() {
    join_new_control_group(grading); // without it, the demo's group lies beside the grader's
}

static void on_interrupt(int) {
    interrupted = 1;
}

// Starts the demo for a job, its output into the job's log.
static void start_job(Children *children, std::vector<Job> *jobs, size_t index,
                      const std::vector<Counterpart> &counterparts, const std::string &dir) {
    static const std::string demo = program_path("demo");
    Job &job = (*jobs)[index];
    const Counterpart &c = counterparts[job.counterpart];
    const Scenario &s = SCENARIOS[job.scenario];
    std::string named = dir + "/" + c.label + "." + s.name;
    job.log_path = named + ".log";
    job.verdict_path = named + ".verdict";
    job.events_path = named + ".events";
    job.log = fopen(job.log_path.c_str(), "w");
    if (job.log == nullptr)
        err(2, "cannot write %s", job.log_path.c_str());
    std::vector<const char *> argv = {demo.c_str(), "--private",
                                      "--verdict",  job.verdict_path.c_str(),
                                      "--log",      job.events_path.c_str()};
    argv.insert(argv.end(), s.args.begin(), s.args.end());
    argv.insert(argv.end(), {"--counterpart", c.program.c_str(), nullptr});
    int child =
        start_child(children, argv.data(),
                    {.group = GROUP_OWN, .errors = ERRORS_WITH_OUTPUT, .in_child = join_grading});
    if (child == -1)
        err(2, "cannot start %s", demo.c_str());
    job.pid = children->list[child].pid;
}

// Reads the rules the job's demo found broken, as it wrote them: a line
// each, "rule<TAB>what<TAB>seconds". A run said faulty without one, or judged
// with one, is not judged: its verdict is not the demo's.
static void read_verdict(Job *job) {
    std::ifstream in(job->verdict_path);
    for (std::string line; std::getline(in, line);)
        if (size_t tab = line.find('\t'), last = line.rfind('\t'); last > tab)
            job->faults.push_back({line.substr(0, tab), line.substr(tab + 1, last - tab - 1),
                                   atof(line.c_str() + last + 1)});
    if (!in.eof() || job->faults.empty() != (job->verdict == VERDICT_OK)) {
        job->verdict = VERDICT_UNJUDGED;
        job->last_line = "no verdict of the demo's in " + job->verdict_path;
    }
}

// A job's demo has ended with status: its last lines are read into its log,
// and its verdict said.
static void finish_job(Job *job, int status, Children *children, size_t index,
                       const LineHandler &on_line) {
    job->done = true;
    // Its namespaces have died with it: its pipe ends at once.
    for (int tries = 0; tries < 50 && children->list[index].out != -1; tries++)
        read_child_lines(children, 100, on_line);
    if (fclose(job->log) != 0 && job->log_error == 0) {
        job->log_error = errno;
        warn("cannot write %s", job->log_path.c_str());
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    job->verdict = code == 0 ? VERDICT_OK : code == 1 ? VERDICT_FAULTY : VERDICT_UNJUDGED;
    if (code == 0 || code == 1)
        read_verdict(job);
    if (job->log_error != 0) { // the grader's failure, never the counterpart's
        job->verdict = VERDICT_UNJUDGED;
        job->last_line = "cannot write " + job->log_path + ": " + strerror(job->log_error);
    }
}

// Keeps a line of a run's in its log. A log that cannot be written ends the
// run: a verdict without its log would be one the teacher cannot check.
static void keep_line(Job *job, const std::string &line) {
    if (job->log_error != 0)
        return;
    if (fprintf(job->log, "%s\n", line.c_str()) >= 0 && fflush(job->log) == 0)
        return;
    job->log_error = errno;
    warn("cannot write %s", job->log_path.c_str());
    if (!job->done && kill(job->pid, SIGKILL) == -1) // not yet reaped: the pid is its own
        err(2, "cannot end the run %d", job->pid);
}

// Interrupted: ends each run going, and marks each run not done interrupted.
static void end_interrupted(std::vector<Job> *jobs, size_t started) {
    for (size_t i = 0; i < jobs->size(); i++) { // each run's namespaces die with its demo
        Job &job = (*jobs)[i];
        if (job.done)
            continue;
        if (i < started) {
            if (kill(job.pid, SIGKILL) == -1) // not yet reaped: the pid is still its own
                err(2, "cannot end the run %d", job.pid);
            while (waitpid(job.pid, nullptr, 0) == -1)
                if (errno != EINTR)
                    err(2, "cannot wait for the run %d", job.pid);
            fclose(job.log);
        }
        job.verdict = VERDICT_INTERRUPTED;
    }
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
    fprintf(stderr,
            "klient-grade: %zu runs (%zu counterpart%s, %zu each), %ld at once: about %ld s\n",
            total, total / SCENARIO_COUNT, total == SCENARIO_COUNT ? "" : "s", SCENARIO_COUNT,
            at_once, grading_seconds(static_cast<long>(total), at_once));
    double began = monotonic_seconds(), last_said = began;
    LineHandler on_line = [jobs](size_t child, const std::string &line, double) {
        Job &job = (*jobs)[child];
        keep_line(&job, line);
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
            finish_job(&job, status, &children, i, on_line);
            running--;
            finished++;
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
    end_interrupted(jobs, next);
    warnx("interrupted: %zu of %zu runs done", finished, total);
}

// Exits with status 2, saying why, where runs cannot be made at_once at a
// time, or their logs kept in dir.
static void check_can_grade(long at_once, const char *dir) {
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
}

int main(int argc, char **argv) {
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    long at_once = JOBS_PER_CPU * std::max(cpus, 1L);
    const char *dir = "grade-logs", *points_path = nullptr;
    std::vector<const char *> reports;
    bool listed = false;
    int first = read_options(argc, argv,
                             {number_option("jobs", &at_once, 1, 999, "a number of runs at once"),
                              text_option("logs", &dir), texts_option("report", &reports),
                              text_option("points", &points_path), flag_option("list", &listed)},
                             USAGE, true);
    if (first == argc)
        usage_error(USAGE, "no counterpart to grade");
    for (const char *report : reports)
        if (!report_format_known(report))
            usage_error(USAGE,
                        "--report wants a file ending in .tsv, .json, .xml or .html, got '%s'",
                        report);
    Points points = points_path != nullptr ? read_points(points_path) : Points{};
    std::vector<std::string> given = named_once(argc - first, argv + first);
    if (listed)
        return list(given, at_once);
    check_can_grade(at_once, dir);
    make_control_group(&grading, "klient-grade"); // where not, each run's log says so

    struct sigaction sa = {};
    sa.sa_handler = on_interrupt; // no SA_RESTART: a wait for lines returns at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    std::vector<Counterpart> counterparts;
    counterparts.reserve(given.size());
    Stop stop = {&interrupted, join_grading};
    for (size_t i = 0; i < given.size(); i++)
        counterparts.push_back(prepare_counterpart(given[i], static_cast<int>(i) + 1, dir, stop));
    std::vector<Job> jobs;
    for (size_t i = 0; i < counterparts.size(); i++)
        for (size_t s = 0; counterparts[i].why.empty() && s < SCENARIO_COUNT; s++)
            jobs.push_back({.counterpart = i, .scenario = s});
    run_jobs(&jobs, counterparts, dir, at_once);
    remove_control_group(&grading);

    print_card(counterparts, jobs, points);
    std::string written;
    for (const char *report : reports) {
        write_report(report, counterparts, jobs, points);
        written.append(written.empty() ? ", reports in " : ", ").append(report);
    }
    printf("\nlogs in %s/%s\n", dir, written.c_str());
    // One counterpart not graded outweighs the faults of others.
    Verdict worst = VERDICT_OK;
    for (const Counterpart &c : counterparts)
        worst = std::max(worst, c.verdict);
    for (const Job &job : jobs)
        worst = std::max(worst, job.verdict);
    return worst == VERDICT_OK ? 0 : worst == VERDICT_FAULTY ? 1 : 2;
}
