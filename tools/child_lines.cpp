// Programs on pipes, watched with epoll.
#include "child_lines.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char **environ;

// The directory of this program, as /proc shows it now.
static std::string own_directory() {
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = length > 0 ? std::string(self, static_cast<size_t>(length)) : ".";
    dir.erase(dir.rfind('/') == std::string::npos ? 0 : dir.rfind('/'));
    return dir;
}

std::string program_path(const char *name) {
    static const std::string dir = own_directory();
    std::string prefix;
    if (dir.ends_with(INSTALLED_DEMO_DIR))
        prefix = dir.substr(0, dir.size() - strlen(INSTALLED_DEMO_DIR));
    else if (dir.ends_with(INSTALLED_PROGRAM_DIR))
        prefix = dir.substr(0, dir.size() - strlen(INSTALLED_PROGRAM_DIR));
    else
        return dir + "/" + name; // the build tree
    bool demo = strcmp(name, "demo") == 0;
    return prefix + (demo ? INSTALLED_DEMO_DIR : INSTALLED_PROGRAM_DIR) + "/" + name;
}

int raise_file_limit(rlim_t needed, rlim_t *hard) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == -1 || limit.rlim_cur >= needed)
        return 0;
    *hard = limit.rlim_max;
    if (limit.rlim_max < needed)
        return -1;
    limit.rlim_cur = needed;
    return setrlimit(RLIMIT_NOFILE, &limit);
}

double monotonic_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int open_children(Children *children) {
    children->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    return children->epoll_fd == -1 ? -1 : 0;
}

int share_one_pipe(Children *children) {
    int fds[2];
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = FROM_SHARED_PIPE;
    if (pipe2(fds, O_CLOEXEC) == -1 || fcntl(fds[0], F_SETFL, O_NONBLOCK) == -1 ||
        epoll_ctl(children->epoll_fd, EPOLL_CTL_ADD, fds[0], &ev) == -1)
        return -1;
    children->shared_in = fds[0];
    children->shared_out = fds[1];
    return 0;
}

// The child's side of a start with in_child: what posix_spawn would do, then
// in_child, then the exec. Signals come blocked from the parent, and are let
// in only once their handlers are the default.
[[noreturn]] static void exec_forked(const char *const argv[], int out, int err,
                                     const StartHow &how) {
    dup2(out, STDOUT_FILENO);
    if (err != -1)
        dup2(err, STDERR_FILENO);
    if (how.group == GROUP_OWN)
        setpgid(0, 0);
    else if (how.group == SESSION_OWN)
        setsid();
    struct sigaction default_action = {};
    default_action.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++)
        sigaction(sig, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    how.in_child();
    // execv only reads the arguments; its prototype predates const.
    execv(how.file != nullptr ? how.file : argv[0], const_cast<char *const *>(argv));
    _exit(127);
}

// Forks for exec_forked, and returns once the child has executed its file or
// ended: by then its group and its signal handling are as asked. Returns 0
// with *pid set, or an error number.
static int fork_and_exec(const char *const argv[], int out, int err, const StartHow &how,
                         pid_t *pid) {
    int started[2]; // its write end closes at the child's exec or end
    if (pipe2(started, O_CLOEXEC) == -1)
        return errno;
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, &old);
    *pid = fork();
    if (*pid == 0) {
        close(started[0]);
        exec_forked(argv, out, err, how);
    }
    int error = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    close(started[1]);
    char byte;
    while (*pid != -1 && (read(started[0], &byte, 1) == -1 && errno == EINTR))
        ;
    close(started[0]);
    return *pid == -1 ? error : 0;
}

// Starts argv with standard output on out and standard error on err (-1:
// kept). Returns 0 with *pid set, or an error number.
static int spawn_or_fork(const char *const argv[], int out, int err, const StartHow &how,
                         pid_t *pid) {
    if (how.in_child)
        return fork_and_exec(argv, out, err, how, pid);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err != -1)
        posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    posix_spawnattr_init(&attr);
    // Signals this process ignores or blocks would otherwise stay so in the child.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (how.group == GROUP_OWN)
        flags |= POSIX_SPAWN_SETPGROUP; // with group 0: a group of its own
    else if (how.group == SESSION_OWN)
        flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attr, flags);
    // posix_spawn only reads the arguments; its prototype predates const.
    int error = posix_spawn(pid, how.file != nullptr ? how.file : argv[0], &actions, &attr,
                            const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return error;
}

int start_child(Children *children, const char *const argv[], const StartHow &how) {
    bool shared = children->shared_out != -1;
    int fds[2] = {-1, children->shared_out};
    int errors[2] = {-1, -1};
    if (!shared && pipe2(fds, O_CLOEXEC) == -1)
        return -1;
    if (how.errors == ERRORS_OWN_PIPE && pipe2(errors, O_CLOEXEC) == -1) {
        int error = errno;
        if (!shared) {
            close(fds[0]);
            close(fds[1]);
        }
        errno = error;
        return -1;
    }
    if (how.errors == ERRORS_WITH_OUTPUT)
        errors[1] = fds[1];
    pid_t pid = 0; // set once started: never 0 or -1 for kill
    int err = spawn_or_fork(argv, fds[1], errors[1], how, &pid);
    if (how.errors == ERRORS_OWN_PIPE)
        close(errors[1]);
    if (!shared) {
        close(fds[1]);
        epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = children->list.size();
        if (err == 0 && (fcntl(fds[0], F_SETFL, O_NONBLOCK) == -1 ||
                         epoll_ctl(children->epoll_fd, EPOLL_CTL_ADD, fds[0], &ev) == -1)) {
            err = errno;
            // Started, but nobody could read it: it must not run on untracked.
            if (pid > 0 && kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
        }
        if (err != 0)
            close(fds[0]);
    }
    if (err != 0) {
        if (errors[0] != -1)
            close(errors[0]);
        errno = err;
        return -1;
    }
    Child child = {pid, fds[0]};
    child.err = errors[0]; // -1 but for ERRORS_OWN_PIPE
    children->list.push_back(child);
    return static_cast<int>(children->list.size() - 1);
}

int read_child_lines(Children *children, int timeout_ms, const LineHandler &on_line) {
    epoll_event events[64];
    int n = epoll_wait(children->epoll_fd, events, 64, timeout_ms);
    if (n == -1)
        return errno == EINTR ? 0 : -1;
    std::vector<std::pair<size_t, std::string>> lines;
    double when = monotonic_seconds();
    for (int i = 0; i < n; i++) {
        size_t index = events[i].data.u64;
        bool shared = index == FROM_SHARED_PIPE;
        int *fd = shared ? &children->shared_in : &children->list[index].out;
        std::string &partial = shared ? children->shared_partial : children->list[index].partial;
        // One pipe's worth at a time, so that a program that writes without
        // pause cannot hold the reader on its pipe alone.
        char buf[65536];
        ssize_t len = read(*fd, buf, sizeof buf);
        if (len > 0)
            partial.append(buf, static_cast<size_t>(len));
        if (len == 0) { // every writer has ended and the pipe is empty
            epoll_ctl(children->epoll_fd, EPOLL_CTL_DEL, *fd, nullptr);
            close(*fd);
            *fd = -1;
        }
        size_t start = 0;
        for (size_t end; (end = partial.find('\n', start)) != std::string::npos ||
                         partial.size() - start >= MAX_LINE;) {
            size_t length = std::min(end == std::string::npos ? MAX_LINE : end - start, MAX_LINE);
            lines.emplace_back(index, partial.substr(start, length));
            start += length + (start + length == end);
        }
        partial.erase(0, start);
    }
    // Handed over only now: a handler may start children, which moves the list.
    for (const auto &[index, line] : lines)
        on_line(index, line, when);
    return static_cast<int>(lines.size());
}
