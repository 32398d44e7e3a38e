// A program run under ptrace, one system call at a time.
#include "traced_program.hpp"

#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

sigset_t only_sigchld() {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    return chld;
}

Change await_change(pid_t pid, int *status, key_t waits_on, int timeout_ms) {
    const sigset_t chld = only_sigchld();
    double deadline = seconds_now() + timeout_ms / 1000.0;
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid)
            return WIFSTOPPED(*status) ? STOPPED : ENDED;
        if (waits_on != 0 && sem_waiting(waits_on) > 0)
            return WAITING;
        if (r == -1 || seconds_now() > deadline)
            return TIMED_OUT;
        const timespec step = {0, 1000000};
        sigtimedwait(&chld, nullptr, &step);
    }
}

pid_t start_traced(const char *path) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clock_nanosleep, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | 0), // "error" 0: success
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program = {sizeof filter / sizeof filter[0], filter};
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 &&
            prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0)
            execl(path, path, nullptr);
        _exit(127);
    }
    int status;
    if (await_change(pid, &status, 0, STEP_MS) != STOPPED) // the SIGTRAP of its exec
        return -1;
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    return pid;
}

Change next_stop(pid_t pid, __ptrace_syscall_info *info, key_t waits_on) {
    int status, sig = 0;
    for (;;) {
        ptrace(PTRACE_SYSCALL, pid, nullptr, sig);
        Change c = await_change(pid, &status, waits_on, STEP_MS);
        if (c != STOPPED)
            return c;
        if (WSTOPSIG(status) == (SIGTRAP | 0x80))
            break;
        sig = WSTOPSIG(status);
    }
    ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void *>(sizeof *info), info);
    return STOPPED;
}

std::string set_name(key_t key) {
    return key == FREE_SEM_KEY ? "free" : key == ENTRY_SEM_KEY ? "entry" : std::to_string(key);
}

std::string describe(pid_t pid, const __ptrace_syscall_info &in, const std::map<int, key_t> &sets) {
    const auto *a = in.entry.args;
    auto set = sets.find(static_cast<int>(a[0]));
    std::string on_set = set != sets.end() ? set_name(set->second) : "?";
    switch (in.entry.nr) {
    case SYS_semget:
        return "semget " + set_name(static_cast<key_t>(a[0])) + (a[2] & IPC_EXCL ? " excl" : "");
    case SYS_semctl:
        return "semctl " + on_set;
    case SYS_semop:
    case SYS_semtimedop: {
        sembuf ops[4] = {};
        size_t count = std::min<size_t>(a[2], 4);
        iovec local = {ops, sizeof ops};
        iovec remote = {reinterpret_cast<void *>(a[1]), count * sizeof(sembuf)};
        process_vm_readv(pid, &local, 1, &remote, 1, 0);
        std::string what = "semop " + on_set;
        for (size_t i = 0; i < count; i++)
            what += (ops[i].sem_op > 0 ? " +" : " ") + std::to_string(ops[i].sem_op) +
                    (ops[i].sem_flg & SEM_UNDO ? "u" : "");
        return what;
    }
    }
    const std::map<long, const char *> names = {{SYS_write, "write"},
                                                {SYS_getpid, "getpid"},
                                                {SYS_clock_nanosleep, "clock_nanosleep"},
                                                {SYS_rt_sigaction, "rt_sigaction"}};
    auto name = names.find(static_cast<long>(in.entry.nr));
    return name != names.end() ? name->second : "syscall " + std::to_string(in.entry.nr);
}
