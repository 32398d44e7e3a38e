// Containing a run: namespaces, read-only mounts, a scratch directory, a user
// id, and limits.
#include "contain.hpp"

#include "namespaces.hpp"
#include "rule_watch.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <grp.h>
#include <initializer_list>
#include <linux/capability.h>
#include <linux/close_range.h>
#include <linux/securebits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <random>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

// User ids from 0x7F000000 on: above what Debian gives out to users, system
// users and the subordinate ranges of containers (from 100000, 65536 each).
constexpr uid_t RUN_UID_BASE = 0x7F000000, RUN_UID_SPREAD = 0x00FFFFFF;
constexpr rlim_t SPARE_TASKS = 8; // the demo and the process that waits for it

double counterpart_cpu_seconds(double seconds) {
    return std::max(COUNTERPART_CPU_MIN_SECONDS, COUNTERPART_CPU_SHARE * seconds);
}

long counterpart_output_bytes(double seconds) {
    return 1024 * std::max(COUNTERPART_OUTPUT_MIN_KIB,
                           static_cast<long>(COUNTERPART_OUTPUT_KIB_PER_SECOND * seconds));
}

// Is this process the real root: user id 0 in the first user namespace?
static bool real_root() {
    FILE *f = fopen("/proc/self/uid_map", "re");
    unsigned long inside = 1, outside = 1, count = 0;
    if (f != nullptr) {
        if (fscanf(f, "%lu %lu %lu", &inside, &outside, &count) != 3)
            count = 0;
        fclose(f);
    }
    return geteuid() == 0 && inside == 0 && outside == 0 && count == 4294967295UL;
}

static int loopback_up() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1)
        return -1;
    ifreq request = {};
    strcpy(request.ifr_name, "lo");
    int result = ioctl(fd, SIOCGIFFLAGS, &request);
    if (result == 0) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        result = ioctl(fd, SIOCSIFFLAGS, &request);
    }
    int error = errno;
    close(fd);
    errno = error;
    return result;
}

int copy_all(int in, int out) {
    ssize_t copied;
    while ((copied = sendfile(out, in, nullptr, 1 << 30)) > 0)
        ;
    return copied == 0 ? 0 : -1;
}

// Copies the program open on in into a new directory dir, under the name of
// its path. Returns the copy's path, or "" with errno set.
static std::string copy_program(int in, const std::string &path, const std::string &dir) {
    if (mkdir(dir.c_str(), 0755) == -1)
        return "";
    size_t slash = path.rfind('/');
    std::string copy = dir + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
    int out = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (out == -1)
        return "";
    int copied = copy_all(in, out);
    int error = errno;
    if (close(out) == -1 && copied == 0) {
        error = errno;
        copied = -1;
    }
    errno = error;
    return copied == -1 ? "" : copy;
}

// Mounts a memory file system of size MiB on path, for the run alone.
static int mount_memory(const char *path, long mib, unsigned long flags) {
    char options[64];
    snprintf(options, sizeof options, "size=%ldm,nr_inodes=4096,mode=%s", mib,
             mib > 0 ? "1777" : "0755");
    return mount("run", path, "tmpfs", MS_NOSUID | MS_NODEV | flags, options);
}

// Where the system keeps its users' files, its services' sockets and its
// state: out of the run's sight, the terminals with them.
static const char *const HIDDEN[] = {"/home", "/root", "/run",   "/var",
                                     "/srv",  "/mnt",  "/media", "/dev/pts"};

// The run's own file tree: every mount read-only, the places HIDDEN under
// empty ones, and an empty /tmp of its own as the scratch, which goes with
// the mount namespace.
static int own_tree(const char **step) {
    // No mount made from here on may reach the system's namespace.
    *step = "cannot keep the run's mounts to itself (is / a mount point?)";
    if (mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == -1)
        return -1;
    *step = "cannot make the file systems read-only for the run";
    mount_attr read_only = {};
    read_only.attr_set = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID;
    if (mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &read_only, sizeof read_only) == -1)
        return -1;
    *step = "cannot hide the system's files and terminals from the run";
    for (const char *path : HIDDEN) {
        struct stat st;
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode) &&
            mount_memory(path, 0, MS_RDONLY | MS_NOEXEC) == -1)
            return -1;
    }
    *step = "cannot mount the run's scratch directory on /tmp";
    return mount_memory(SCRATCH, SCRATCH_MIB, 0);
}

// Copies each program into a read-only directory of the scratch, where the
// run's user reaches it.
static int copy_programs(std::vector<std::string> *programs, const std::vector<int> &fds) {
    std::string dir = std::string(SCRATCH) + "/.programs";
    if (mkdir(dir.c_str(), 0755) == -1)
        return -1;
    for (size_t i = 0; i < programs->size(); i++) { // each in a directory of its own
        std::string copy = copy_program(fds[i], (*programs)[i], dir + "/" + std::to_string(i));
        if (copy.empty())
            return -1;
        (*programs)[i] = copy;
    }
    mount_attr read_only = {};
    read_only.attr_set = MOUNT_ATTR_RDONLY;
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) == -1 ||
        mount_setattr(AT_FDCWD, dir.c_str(), 0, &read_only, sizeof read_only) == -1)
        return -1;
    return 0;
}

// Opens path for reading, if it is a regular file (a fifo would never end).
// Returns the descriptor, or -1 with errno set.
static int open_regular(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd != -1 && (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode))) {
        close(fd);
        errno = EINVAL; // "Invalid argument": no regular file
        return -1;
    }
    return fd;
}

// A message of one error number, with room for one descriptor.
struct Handover {
    int error = EIO;
    iovec data = {&error, sizeof error};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    Handover() {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    Handover(const Handover &) = delete; // it points into itself
    Handover &operator=(const Handover &) = delete;
};

// Opens path for reading with the rights of the run's user (uid 0: this
// process's): a file, or a link, that this process may read and that user
// may not is refused, and so is anything but a regular file. A child of
// that user opens it and hands the descriptor over. Returns the descriptor,
// or -1 with errno set.
static int open_as_run_user(const std::string &path, uid_t uid) {
    int pair[2];
    if (uid == 0)
        return open_regular(path);
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) == -1)
        return -1;
    Handover h;
    pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
        bool as_user = setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
                       setresuid(uid, uid, uid) == 0;
        int fd = as_user ? open_regular(path) : -1;
        h.error = fd == -1 ? errno : 0;
        cmsghdr *header = CMSG_FIRSTHDR(&h.message);
        if (fd != -1) {
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof fd);
            memcpy(CMSG_DATA(header), &fd, sizeof fd);
        } else {
            h.message.msg_controllen = 0; // the error alone
        }
        _exit(sendmsg(pair[1], &h.message, 0) == -1 ? 1 : 0);
    }
    close(pair[1]);
    int fd = -1;
    if (child != -1 && recvmsg(pair[0], &h.message, MSG_CMSG_CLOEXEC) > 0) {
        cmsghdr *header = CMSG_FIRSTHDR(&h.message);
        if (header != nullptr && header->cmsg_type == SCM_RIGHTS)
            memcpy(&fd, CMSG_DATA(header), sizeof fd);
    }
    close(pair[0]);
    if (child != -1)
        waitpid(child, nullptr, 0);
    errno = fd == -1 ? h.error : 0;
    return fd;
}

// Tries contain_process once, so that a program is never blamed for its start.
static int try_containment(const Containment &c, const char **step) {
    *step = "cannot try the run's containment";
    pid_t trial = fork();
    if (trial == 0) {
        contain_process(c, true);
        _exit(0);
    }
    int status;
    if (trial == -1 || waitpid(trial, &status, 0) == -1)
        return -1;
    if (status != 0) {
        *step = nullptr; // the trial has said why
        errno = EPERM;
        return -1;
    }
    return 0;
}

static int contain_steps(Containment *c, std::vector<std::string> *programs, size_t ours,
                         long clients, double seconds, const char **step) {
    if (real_root()) {
        std::random_device random;
        c->uid = RUN_UID_BASE + random() % RUN_UID_SPREAD;
    }
    std::vector<int> open_programs; // before the scratch hides where they lie
    for (const std::string &program : *programs) {
        bool theirs = open_programs.size() >= ours;
        open_programs.push_back(open_as_run_user(program, theirs ? c->uid : 0));
        if (open_programs.back() == -1 && !theirs)
            warn("cannot read %s", printable(program, true).c_str());
        else if (open_programs.back() == -1)
            warn("cannot read %s with the rights of the user that runs it (make it, and the "
                 "directories above it, readable to others)",
                 printable(program, true).c_str());
        if (open_programs.back() == -1) {
            *step = nullptr; // said
            return -1;
        }
    }
    *step = "cannot make a mount and a network namespace for the run";
    if (unshare_as_root(CLONE_NEWNS | CLONE_NEWNET) == -1 || own_tree(step) == -1)
        return -1;
    *step = "cannot copy the programs into the run";
    if (copy_programs(programs, open_programs) == -1)
        return -1;
    for (int fd : open_programs)
        close(fd);
    // Where the system refuses it (a container without CAP_NET_ADMIN), the
    // run has no network at all, not even a loopback.
    *step = "cannot bring up the run's loopback";
    if (loopback_up() == -1 && errno != EPERM)
        return -1;
    // The programs may share this process's user: none of them may trace it.
    *step = "cannot keep the demo from being traced";
    if (prctl(PR_SET_DUMPABLE, 0) == -1)
        return -1;
    c->tasks = static_cast<rlim_t>(COUNTERPART_TASKS + clients) + SPARE_TASKS;
    c->cpu_seconds = static_cast<rlim_t>(counterpart_cpu_seconds(seconds)) + 1;
    return try_containment(*c, step);
}

int contain_run(Containment *c, std::vector<std::string> *programs, size_t ours, long clients,
                double seconds) {
    const char *step = nullptr;
    if (contain_steps(c, programs, ours, clients, seconds, &step) == 0)
        return 0;
    if (step != nullptr)
        warn("%s", step);
    return -1;
}

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
// keyrings, mounts and namespaces, the kernel itself.
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
    pid_t init = fork();
    if (init == -1)
        cannot("its PID namespace's init");
    if (init > 0)
        relay_end(init, status[0]);
    close(status[0]);
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == -1)
        cannot("its /proc");
    pid_t first = fork();
    if (first == -1)
        cannot("its first process");
    if (first > 0)
        reap_namespace(first, status[1]);
    close(status[1]);
}

void contain_process(const Containment &c, bool counterpart) {
    limit(RLIMIT_CORE, 0, 0, "its core size");
    own_descriptors();
    if (counterpart)
        own_pid_namespace();
    drop_privileges(c.uid);
    if (counterpart) {
        // After the change of user: a change counts the processes against it.
        limit(RLIMIT_NPROC, c.tasks, c.tasks, "its processes");
        limit(RLIMIT_CPU, c.cpu_seconds, c.cpu_seconds + 2, "its CPU time");
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
