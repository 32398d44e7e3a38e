// Building a source inside a contained run.
#include "contained_build.hpp"

#include "child_lines.hpp"
#include "contain.hpp"
#include "rule_watch.hpp"
#include "shown_text.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Runs the compiler on the source's copy, in the copy's directory, passing
// its lines through, for at most BUILD_SECONDS. Returns its wait status, or
// -1 once it has said why it could not.
static int compile(const Containment &c, const std::string &copy, const std::string &program) {
    size_t slash = copy.rfind('/');
    std::string dir = copy.substr(0, slash), name = "./" + copy.substr(slash + 1); // no option
    const char *argv[] = {"/usr/bin/env",  copy.ends_with(".c") ? "cc" : "c++",
                          "-O2",           "-o",
                          program.c_str(), name.c_str(),
                          nullptr};
    Children children;
    auto in_child = [&c, &dir] {
        contain_process(c, true);
        if (chdir(dir.c_str()) == -1)
            _exit(126);
    };
    if (open_children(&children) == -1 ||
        start_child(&children, argv,
                    {.group = SESSION_OWN, .errors = ERRORS_WITH_OUTPUT, .in_child = in_child}) ==
            -1) {
        warn("cannot start the compiler");
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
            warn("cannot end the compiler");
    }
    int status = -1;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR)
        ;
    fflush(stdout);
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
    std::string program = std::string(SCRATCH) + "/program";
    int status = compile(c, files[0], program);
    remove_control_group(&c.group);
    if (status == -1)
        return 2;
    if (WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127)) {
        warnx("cannot build: %s", WEXITSTATUS(status) == 127 ? "no compiler on the run's PATH"
                                                             : "the compiler could not start");
        return 2;
    }
    if (status != 0)
        return 1;
    int in = open(program.c_str(), O_RDONLY | O_CLOEXEC);
    if (in == -1 || copy_all(in, out) == -1 || close(out) == -1) {
        warn("cannot write %s", output);
        return 2;
    }
    return 0;
}
