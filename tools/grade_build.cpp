// A counterpart made ready for its runs: named, and built if it is a source.
#include "grade_build.hpp"

#include "child_lines.hpp"
#include "options.hpp"
#include "shown_text.hpp"
#include "submission.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <err.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

constexpr size_t OUTPUT_KEPT = 65536; // bytes of a build's output: room for its first errors

// Runs argv to its end, unless interrupted, its output and errors kept: the
// first OUTPUT_KEPT bytes, then its last line, however much it writes.
// Returns its wait status, or -1 with errno set if it could not start.
static int run_to_end(const char *const argv[], std::string *output, const Stop &stop) {
    Children children;
    if (open_children(&children) == -1 ||
        start_child(
            &children, argv,
            {.group = GROUP_OWN, .errors = ERRORS_WITH_OUTPUT, .in_child = stop.in_child}) == -1)
        return -1;
    std::string last; // past OUTPUT_KEPT
    auto keep = [output, &last](size_t, const std::string &line, double) {
        if (output->size() < OUTPUT_KEPT)
            *output += line + "\n";
        else
            last = line;
    };
    while (children.list[0].out != -1 && !*stop.interrupted)
        read_child_lines(&children, 1000, keep);
    if (!last.empty())
        *output += last + "\n";
    pid_t pid = children.list[0].pid;
    if (*stop.interrupted &&
        kill(pid, SIGKILL) == -1)         // its namespaces, and all in them, die with it
        err(2, "cannot end %s", argv[0]); // not yet reaped: the pid is still its own
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
static void build(Counterpart *c, const std::string &dir, const Stop &stop) {
    static const std::string demo = program_path("demo");
    c->program = dir + "/" + c->label;
    fprintf(stderr, "klient-grade: building %s\n", c->shown.c_str());
    const char *argv[] = {demo.c_str(), "--private",        "--build", c->given.c_str(),
                          "--output",   c->program.c_str(), nullptr};
    std::string output;
    int status = run_to_end(argv, &output, stop);
    if (status == 0)
        return;
    if (*stop.interrupted) {
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

Counterpart prepare_counterpart(const std::string &given, int number, const std::string &dir,
                                const Stop &stop) {
    Counterpart c;
    c.given = c.program = given;
    c.shown = printable(given, true);
    if (given.find('/') == std::string::npos)
        c.program = "./" + given; // a file here, not a command on PATH
    std::string trimmed = given.substr(0, given.find_last_not_of('/') + 1); // "folder/"
    std::string name = trimmed.substr(trimmed.rfind('/') + 1);
    char place[16];
    snprintf(place, sizeof place, "%02d-", number);
    c.label = place;
    c.label += name.substr(0, 40); // appended: GCC 12 misreads a prepend as an overlap
    std::replace_if(
        c.label.begin(), c.label.end(),
        [](char ch) { return !isalnum(static_cast<unsigned char>(ch)) && ch != '-'; }, '_');
    Form form = submission_form(given);
    if (form == FORM_PROGRAM || form == FORM_FOLDER)
        return c;
    if (*stop.interrupted) {
        c.verdict = VERDICT_INTERRUPTED;
        c.why = "interrupted before its build";
    } else if (access(given.c_str(), R_OK) == -1) {
        c.verdict = VERDICT_UNJUDGED;
        c.why = "cannot read it: " + std::string(strerror(errno));
    } else {
        build(&c, dir, stop);
    }
    return c;
}

// Each counterpart once, however often it is named: known by the file it
// is, or, where there is none, by its name.
std::vector<std::string> named_once(int count, char *const names[]) {
    std::vector<std::string> once;
    std::set<std::string> seen;
    for (int i = 0; i < count; i++) {
        char *real = realpath(names[i], nullptr);
        bool first = seen.insert(real != nullptr ? real : names[i]).second;
        free(real);
        if (first)
            once.emplace_back(names[i]);
        else
            warnx("%s is named twice: graded once", printable(names[i], true).c_str());
    }
    return once;
}

// What a grading would do, said without doing it: each counterpart, how it
// would be built, and the runs each would go through. Returns 0.
int list(const std::vector<std::string> &given, long at_once) {
    for (const std::string &name : given) {
        std::string shown = printable(name, true);
        if (access(name.c_str(), R_OK) == -1) {
            printf("%s: cannot read it: %s\n", shown.c_str(), strerror(errno));
            continue;
        }
        switch (submission_form(name)) {
        case FORM_SOURCE:
            printf("%s: a source, built with %s -O2, then run\n", shown.c_str(),
                   name.ends_with(".c") ? "cc" : "c++");
            break;
        case FORM_MAKEFILE:
            printf("%s: a folder with a Makefile, built with make, then its program run\n",
                   shown.c_str());
            break;
        case FORM_SOURCES:
            printf("%s: a folder of sources, built into one program, then run\n", shown.c_str());
            break;
        case FORM_FOLDER:
            printf("%s: a folder, its program run with the folder beside it\n", shown.c_str());
            break;
        case FORM_PROGRAM:
            printf("%s: a program, run as it is\n", shown.c_str());
            break;
        }
    }
    for (const Scenario &s : SCENARIOS) {
        printf("run %s: demo", s.name);
        for (const char *arg : s.args)
            printf(" %s", arg);
        printf("\n");
    }
    long runs = static_cast<long>(given.size() * SCENARIO_COUNT);
    printf("%ld runs, %ld at once: about %ld s\n", runs, at_once, grading_seconds(runs, at_once));
    return 0;
}
