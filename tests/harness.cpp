#include "harness.hpp"

#include "namespaces.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

void PrivateIpc::SetUp() {
    ASSERT_EQ(unshare_as_root(CLONE_NEWIPC), 0)
        << "cannot make a private IPC namespace (" << strerror(errno)
        << "): run as root, or enable unprivileged user namespaces; the tests never use the "
           "host's semaphores";
    ASSERT_EQ(open_children(&spawned), 0) << strerror(errno);
}

void PrivateIpc::TearDown() {
    for (pid_t pid : traced)
        kill(pid, SIGKILL);
    for (const Child &s : spawned.list) {
        kill(s.pid, SIGKILL);
        waitpid(s.pid, nullptr, 0);
        close(s.out);
        close(s.err);
    }
    close(spawned.epoll_fd);
}

Child PrivateIpc::spawn(const char *path, std::vector<std::string> args,
                        const std::function<void()> &in_child) {
    std::vector<const char *> argv{path};
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);
    if (start_child(&spawned, argv.data(), {.errors = ERRORS_OWN_PIPE, .in_child = in_child}) == -1)
        throw std::runtime_error(std::string("cannot start ") + path + ": " + strerror(errno));
    return spawned.list.back();
}

Child PrivateIpc::spawn_with_call_paused(const char *path, const char *syscalls, int nth,
                                         pid_t *program, int pause_seconds) {
    const char *strace = "/usr/bin/strace";
    if (access(strace, X_OK) != 0)
        throw std::runtime_error("strace is needed for this test");
    // strace writes each traced call to standard error as it returns, the
    // paused one marked "(DELAYED)" as its pause begins.
    std::string inject = std::string("inject=") + syscalls +
                         ":delay_exit=" + std::to_string(pause_seconds * 1000000) +
                         ":when=" + std::to_string(nth);
    Child tracer =
        spawn(strace, {"-qq", "-e", std::string("trace=") + syscalls, "-e", inject, path});
    // strace forks test children of its own first: wait for the one that
    // runs path.
    std::string children =
        "/proc/" + std::to_string(tracer.pid) + "/task/" + std::to_string(tracer.pid) + "/children";
    char *wanted = realpath(path, nullptr);
    *program = 0;
    eventually([&] {
        FILE *f = fopen(children.c_str(), "r");
        int pid;
        while (f != nullptr && *program == 0 && fscanf(f, "%d", &pid) == 1) {
            char exe[4096] = {};
            std::string link = "/proc/" + std::to_string(pid) + "/exe";
            if (readlink(link.c_str(), exe, sizeof exe - 1) > 0 && strcmp(exe, wanted) == 0)
                *program = pid;
        }
        if (f != nullptr)
            fclose(f);
        return *program > 0;
    });
    free(wanted);
    if (*program == 0) // never hand out 0: kill(0, ...) would reach the test itself
        throw std::runtime_error("the traced program did not start");
    traced.push_back(*program);
    return tracer;
}

void no_leak_check() {
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
}

void await_pause(const Child &traced) {
    std::string line;
    while (!(line = read_line(traced.err)).empty()) // strace's lines come late on a loaded machine
        if (line.find("(DELAYED)") != std::string::npos)
            return;
    ADD_FAILURE() << "the traced program never paused";
}

std::string read_line(int fd, int timeout_ms) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char c = 0;
    while (c != '\n') {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {fd, POLLIN, 0}; // what has come is read, even past the deadline
        if (poll(&p, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0 ||
            read(fd, &c, 1) != 1)
            return line; // what came of the line, if anything
        line += c;
    }
    return line;
}

std::string read_rest(int fd, int timeout_ms) {
    std::string text, line;
    while (!(line = read_line(fd, timeout_ms)).empty())
        text += line;
    return text;
}

int wait_exit(pid_t pid, int timeout_ms) {
    int status = -1;
    eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout_ms);
    return status;
}

bool eventually(const std::function<bool()> &cond, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int sem_id(key_t key) {
    return semget(key, 1, 0);
}

int sem_value(key_t key) {
    return semctl(sem_id(key), 0, GETVAL);
}

int sem_waiting(key_t key) {
    return semctl(sem_id(key), 0, GETNCNT);
}

void sem_set(key_t key, int value) {
    int id = semget(key, 1, IPC_CREAT | 0644);
    ASSERT_NE(id, -1) << strerror(errno);
    ASSERT_EQ(semctl(id, 0, SETVAL, value), 0) << strerror(errno);
}

std::string announcement(const char *what, pid_t pid) {
    return "Klient " + std::to_string(pid) + " " + what + "!\n";
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string wants(pid_t pid) {
    return announcement("chce wejsc", pid);
}

std::string consumes(pid_t pid) {
    return announcement("konsumuje", pid);
}

std::string leaves(pid_t pid) {
    return announcement("ucieka", pid);
}
