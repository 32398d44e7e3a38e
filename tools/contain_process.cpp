// Containing one process of a run, between its fork and its exec: limits,
// user, capabilities, environment, and for the counterpart a PID namespace
// of its own and a filter of system calls.
#include "contain.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <linux/securebits.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

[[noreturn]] static void cannot(const char *what) {
    char line[256];
    int length = snprintf(line, sizeof line, "demo: cannot contain the program: %s: %s\n", what,
                          strerror(errno));
    if (write(STDERR_FILENO, line, static_cast<size_t>(length)) < 0) {
        // nothing more to say it with
    }
    _exit(126);
}

static void limit(int resource, rlim_t soft, rlim_t hard, const char *what) {
    rlimit value = {soft, hard};
    if (setrlimit(resource, &value) == -1)
        cannot(what);
}

// Every capability gone for good, also from a root user id in a user
// namespace, which would regain them all at its exec; and, where the demo is
// the real root, the run's user id.
static void drop_privileges(uid_t uid) {
    if (prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                     SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_KEEP_CAPS_LOCKED |
                                     SECBIT_NO_CAP_AMBIENT_RAISE |
                                     SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED) == -1)
        cannot("its secure bits");
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap) >= 0; cap++)
        if (prctl(PR_CAPBSET_DROP, cap) == -1)
            cannot("its capability bounding set");
    if (uid != 0 && (setgroups(0, nullptr) == -1 || setresgid(uid, uid, uid) == -1 ||
                     setresuid(uid, uid, uid) == -1))
        cannot("its user");
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (syscall(SYS_capset, &header, none) == -1)
        cannot("its capabilities");
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == -1)
        cannot("its privileges");
}

// What a counterpart of this simulation never needs, and what would let it
// reach past its run: other processes' memory and descriptors, the kernel's
// keyrings, memory files (which no limit of a process counts), mounts and
// namespaces, the kernel itself.
static const char *const REFUSED_CALLS[] = {"ptrace",
                                            "process_vm_readv",
                                            "process_vm_writev",
                                            "pidfd_getfd",
                                            "kcmp",
                                            "add_key",
                                            "request_key",
                                            "keyctl",
                                            "bpf",
                                            "perf_event_open",
                                            "userfaultfd",
                                            "memfd_create",
                                            "memfd_secret",
                                            "mount",
                                            "umount2",
                                            "pivot_root",
                                            "unshare",
                                            "setns",
                                            "fsopen",
                                            "fsmount",
                                            "fsconfig",
                                            "fspick",
                                            "move_mount",
                                            "open_tree",
                                            "mount_setattr",
                                            "open_by_handle_at",
                                            "name_to_handle_at",
                                            "kexec_load",
                                            "kexec_file_load",
                                            "init_module",
                                            "finit_module",
                                            "delete_module",
                                            "swapon",
                                            "swapoff",
                                            "reboot",
                                            "acct",
                                            "syslog",
                                            "io_uring_setup",
                                            "io_uring_enter",
                                            "io_uring_register"};

// Loads the filter that refuses those calls with EPERM, new namespaces made
// by clone, and the two ioctls that type into a terminal or reach its
// console. clone3, whose flags a filter cannot read, is answered ENOSYS, so
// that the C library falls back to clone.
static void refuse_calls() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr)
        cannot("its system call filter");
    int failed = 0;
    for (const char *name : REFUSED_CALLS) {
        int call = seccomp_syscall_resolve_name(name);
        if (call >= 0) // not every machine has every call
            failed |= seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
    }
    // libseccomp's SCMP_A0 and SCMP_A1 are C compound literals: the records
    // are written out here instead.
    for (unsigned long request : {TIOCSTI, TIOCLINUX})
        failed |= seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                                   scmp_arg_cmp{1, SCMP_CMP_MASKED_EQ, 0xFFFFFFFF, request});
    for (scmp_datum_t flag : {CLONE_NEWUSER, CLONE_NEWNS, CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWIPC,
                              CLONE_NEWUTS, CLONE_NEWCGROUP})
        failed |= seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                   scmp_arg_cmp{0, SCMP_CMP_MASKED_EQ, flag, flag});
    failed |= seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    if (failed != 0 || seccomp_load(filter) != 0) {
        errno = failed != 0 ? -failed : EINVAL;
        cannot("its system call filter");
    }
    seccomp_release(filter);
}

// Only this, and nothing of the environment the demo was given.
static void fresh_environment() {
    if (clearenv() != 0 || setenv("PATH", RUN_PATH, 1) == -1 || setenv("HOME", SCRATCH, 1) == -1 ||
        setenv("TMPDIR", SCRATCH, 1) == -1 || setenv("LANG", "C.UTF-8", 1) == -1)
        cannot("its environment");
}

// Standard input from nothing, and no descriptor but the three standard ones
// past the exec.
static void own_descriptors() {
    int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null == -1 || dup2(null, STDIN_FILENO) == -1 ||
        syscall(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC) == -1)
        cannot("its descriptors");
}

// Closes every descriptor from 3 on but keep.
static void close_all_but(int keep) {
    if ((keep > 3 && syscall(SYS_close_range, 3, keep - 1, 0) == -1) ||
        syscall(SYS_close_range, keep + 1, ~0U, 0) == -1)
        cannot("its descriptors");
}

// The relay, the process the demo started: it keeps no descriptor of the
// run's but from, ignores every signal it can, since a stop sent to the
// counterpart's process group is the counterpart's, and ends as the
// counterpart's first process ended, as from says, or as init ended if it
// could not say: so the demo sees that end apart from the end of the last.
[[noreturn]] static void relay_end(pid_t init, int from) {
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    for (int sig = 1; sig < NSIG; sig++)
        if (sig != SIGCHLD)
            sigaction(sig, &action, nullptr); // SIGKILL and SIGSTOP refuse it
    close_all_but(from);
    dup2(STDIN_FILENO, STDOUT_FILENO); // nothing of its own to say: /dev/null
    dup2(STDIN_FILENO, STDERR_FILENO);
    int status;
    ssize_t got;
    while ((got = read(from, &status, sizeof status)) == -1 && errno == EINTR)
        ;
    if (got != sizeof status && waitpid(init, &status, 0) != init)
        status = SIGKILL; // a status of death by SIGKILL
    if (WIFEXITED(status))
        _exit(WEXITSTATUS(status));
    action.sa_handler = SIG_DFL;
    sigaction(WTERMSIG(status), &action, nullptr);
    raise(WTERMSIG(status));
    _exit(128 + WTERMSIG(status));
}

// The init of the counterpart's PID namespace, named so: it reaps every
// process there, says on to how the first one ended, and ends once none is
// left, which ends the namespace. Signals reach it only as SIGKILL and
// SIGSTOP from the demo: it has no handler.
[[noreturn]] static void reap_namespace(pid_t first, int to) {
    prctl(PR_SET_NAME, "init");
    close_all_but(to);
    dup2(STDIN_FILENO, STDOUT_FILENO);
    dup2(STDIN_FILENO, STDERR_FILENO);
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid == first && write(to, &status, sizeof status) == sizeof status)
            close(to);
        else if (pid == -1 && errno == ECHILD)
            _exit(0);
    }
}

// A PID namespace, and a /proc, of the counterpart's own, so that it can
// name no process but its own: not the clients, not the demo. This process
// becomes its relay, a child its init, and a grandchild goes on.
static void own_pid_namespace() {
    int status[2];
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) == -1 || pipe2(status, O_CLOEXEC) == -1)
        cannot("its PID namespace");
    auto fork_for = [](const char *what) {
        pid_t pid = fork();
        if (pid == -1)
            cannot(what);
        return pid;
    };
    if (pid_t init = fork_for("its PID namespace's init"); init > 0)
        relay_end(init, status[0]);
    close(status[0]);
    if (mount("proc", "/proc", "proc", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == -1)
        cannot("its /proc");
    if (pid_t first = fork_for("its first process"); first > 0)
        reap_namespace(first, status[1]);
    close(status[1]);
}

void contain_process(const Containment &c, bool counterpart) {
    if (counterpart && join_control_group(c.group) == -1)
        cannot("its control group");
    limit(RLIMIT_CORE, 0, 0, "its core size");
    own_descriptors();
    if (counterpart)
        own_pid_namespace();
    drop_privileges(c.uid);
    if (counterpart) {
        // After the change of user: a change counts the processes against it.
        limit(RLIMIT_NPROC, c.tasks, c.tasks, "its processes");
        limit(RLIMIT_CPU, c.cpu_seconds, c.cpu_seconds + 2, "its CPU time");
        limit(RLIMIT_NOFILE, COUNTERPART_FILES, COUNTERPART_FILES, "its open files");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // A sanitized build's programs reserve terabytes of address space.
        rlim_t address = static_cast<rlim_t>(COUNTERPART_ADDRESS_MIB) << 20;
        limit(RLIMIT_AS, address, address, "its address space");
#endif
    }
    if (chdir(SCRATCH) == -1)
        cannot("its scratch directory");
    fresh_environment();
    if (counterpart)
        refuse_calls(); // last: it refuses calls made above
}
