// Building a source inside a contained run.
#include "contained_build.hpp"

#include "child_lines.hpp"
#include "contain.hpp"
#include "copy_tree.hpp"
#include "rule_watch.hpp"
#include "shown_text.hpp"
#include "submission.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Runs argv (a compiler, or make) in dir, passing its lines through, for at
// most BUILD_SECONDS. Returns its wait status, or -1 once it has said why it
// could not.
static int build_step(const Containment &c, const std::string &dir,
                      const std::vector<std::string> &argv) {
    std::vector<const char *> args = {"/usr/bin/env"};
    for (const std::string &arg : argv)
        args.push_back(arg.c_str());
    args.push_back(nullptr);
    Children children;
    auto in_child = [&c, &dir] {
        contain_process(c, true);
        if (chdir(dir.c_str()) == -1)
            _exit(126);
    };
    if (open_children(&children) == -1 ||
        start_child(&children, args.data(),
                    {.group = SESSION_OWN, .errors = ERRORS_WITH_OUTPUT, .in_child = in_child}) ==
            -1) {
        warn("cannot start %s", argv[0].c_str());
        return -1;
    }
    pid_t pid = children.list[0].pid;
    auto pass = [](size_t, const std::string &line, double) {
        printf("%s\n", printable(line, true).c_str());
    };
    double deadline = monotonic_seconds() + BUILD_SECONDS;
    while (children.list[0].out != -1 && monotonic_seconds() < deadline)
        read_child_lines(&children, 1000, pass);
    if (children.list[0].out != -1) {
        printf("the build took longer than %d s, and was killed\n", BUILD_SECONDS);
        if (kill(-pid, SIGKILL) == -1 && errno != ESRCH)
            warn("cannot end the build");
    }
    int status = -1;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
        ;
    fflush(stdout);
    return status;
}

// The compiler's arguments for sources, each "./" and a name in the
// working directory, into program: cc for C alone, else c++, C files still
// read as C.
static std::vector<std::string> compiler_args(const std::vector<std::string> &sources,
                                              const std::string &program) {
    bool cpp = std::any_of(sources.begin(), sources.end(),
                           [](const std::string &s) { return !s.ends_with(".c"); });
    std::vector<std::string> argv = {cpp ? "c++" : "cc", "-O2", "-o", program};
    for (const std::string &source : sources) {
        if (cpp)
            argv.insert(argv.end(), {"-x", source.ends_with(".c") ? "c" : "c++"});
        argv.push_back("./" + source); // never an option
    }
    return argv;
}

// Builds the folder copied at copy, of the form given: with make in a copy
// of its own, which the run's user may write, the program being the build's
// "run" or the one executable file it made; or its sources into program.
// Returns the wait status, or -1 once said; *built is the program made.
static int build_folder(const Containment &c, const std::string &copy, Form form,
                        const std::string &program, std::string *built) {
    int from = open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (from == -1) {
        warn("cannot read the copy of the folder");
        return -1;
    }
    if (form == FORM_SOURCES) {
        std::vector<std::string> sources = folder_sources(from);
        close(from);
        *built = program;
        return build_step(c, copy, compiler_args(sources, program));
    }
    std::string dir = std::string(SCRATCH) + "/build";
    std::vector<std::string> before = folder_executables(from); // not the build's own
    int copied = copy_tree_as(from, dir, c.uid);
    close(from);
    if (copied == -1) {
        warn("cannot copy the folder to build it");
        return -1;
    }
    int status = build_step(c, dir, {"make"});
    int made = status == 0 ? open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    std::string why, name = made == -1 ? "" : folder_program(made, &why, before);
    if (made != -1)
        close(made);
    if (status == 0 && name.empty()) {
        printf("error: the build made no program to run: %s\n", why.c_str());
        return 1 << 8; // as a failed build
    }
    *built = dir + "/" + name;
    return status;
}

int build_contained(const char *source, const char *output) {
    int out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    if (out == -1) {
        warn("cannot write %s", output);
        return 2;
    }
    Containment c;
    std::vector<std::string> files = {source};
    if (contain_run(&c, &files, 0, 0, BUILD_SECONDS) == -1)
        return 2;
    c.cpu_seconds = BUILD_SECONDS;
    std::string program = std::string(SCRATCH) + "/program", built = program;
    Form form = submission_form(files[0]);
    size_t slash = files[0].rfind('/');
    int status = form == FORM_SOURCE
                     ? build_step(c, files[0].substr(0, slash),
                                  compiler_args({files[0].substr(slash + 1)}, program))
                     : build_folder(c, files[0], form, program, &built);
    remove_control_group(&c.group);
    if (status == -1)
        return 2;
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)) {
        bool make = form == FORM_MAKEFILE;
        if (WEXITSTATUS(status) == 127)
            warnx("cannot build: no %s on the run's PATH", make ? "make" : "compiler");
        else
            warnx("cannot build: %s could not start", make ? "make" : "the compiler");
        return 2;
    }
    if (status != 0)
        return 1;
    int in = open(built.c_str(), O_RDONLY | O_CLOEXEC);
    if (in == -1 || copy_all(in, out) == -1 || close(out) == -1) {
        warn("cannot write %s", output);
        return 2;
    }
    return 0;
}
