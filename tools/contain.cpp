// Containing a run before anything starts: its namespaces, its file tree and
// scratch, its user id, and the programs copied in. Each process is then
// contained by contain_process (contain_process.cpp).
#include "contain.hpp"

#include "copy_tree.hpp"

#include "namespaces.hpp"
#include "open_as_user.hpp"
#include "rule_watch.hpp"
#include "shown_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <initializer_list>
#include <net/if.h>
#include <netinet/in.h>
#include <random>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// User ids from 0x7F000000 on: above what Debian gives out to users, system
// users and the subordinate ranges of containers (from 100000, 65536 each).
constexpr uid_t RUN_UID_BASE = 0x7F000000, RUN_UID_SPREAD = 0x00FFFFFF;
constexpr rlim_t SPARE_TASKS = 8; // the demo and the process that waits for it
constexpr long KEEPERS = 2;       // the counterpart's relay and its namespace's init

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

// Copies the program, or the folder, open on in into a new directory dir,
// under the name of its path; a folder as user uid. Returns the copy's path,
// or "" with errno set.
static std::string copy_program(int in, const std::string &path, const std::string &dir,
                                uid_t uid) {
    if (mkdir(dir.c_str(), 0755) == -1)
        return "";
    std::string trimmed = path.substr(0, path.find_last_not_of('/') + 1); // "folder/"
    size_t slash = trimmed.rfind('/');
    std::string name = trimmed.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.empty() || name == "." || name == "..") // a folder given as ".", say
        name = "submission";
    std::string copy = dir + "/" + name;
    struct stat st;
    if (fstat(in, &st) == 0 && S_ISDIR(st.st_mode))
        return copy_tree_as(in, copy, uid) == -1 ? "" : copy;
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

// The System V IPC limits of the run's own IPC namespace: the kernel's
// defaults let a program hold gigabytes in shared memory, message queues
// and semaphore sets that no limit of a process counts. Two sets of one
// semaphore are all the run needs.
static const char *const IPC_LIMITS[][2] = {
    {"sys/kernel/shmmax", "16777216"},    // bytes a segment
    {"sys/kernel/shmall", "4096"},        // pages in all: 16 MiB
    {"sys/kernel/shmmni", "16"},          // segments
    {"sys/kernel/msgmni", "16"},          // queues, of 16 KiB each by default
    {"sys/kernel/sem", "250 2000 32 64"}, // a set, in all, an operation, sets
};

// Lowers the IPC limits of the run's namespace, new and its own, through
// the /proc mounted at proc. Returns 0, or an errno, with *path the file
// that refused.
static int limit_ipc(const char *proc, std::string *path) {
    for (const auto &[name, value] : IPC_LIMITS) {
        *path = std::string(proc) + "/" + name;
        int fd = open(path->c_str(), O_WRONLY | O_CLOEXEC);
        bool set =
            fd != -1 && write(fd, value, strlen(value)) == static_cast<ssize_t>(strlen(value));
        int error = errno;
        if (fd != -1)
            close(fd);
        if (!set)
            return error;
    }
    return 0;
}

// The same through a /proc of the run's own, mounted in its scratch for the
// while: a container's /proc/sys is read-only (systemd-nspawn's), but a new
// /proc's, in the run's mount namespace, is not.
static int limit_ipc_through_own_proc(std::string *path) {
    std::string proc = std::string(SCRATCH) + "/.proc";
    if (mkdir(proc.c_str(), 0700) == -1)
        return errno;
    int error = mount("proc", proc.c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == -1
                    ? errno
                    : limit_ipc(proc.c_str(), path);
    umount2(proc.c_str(), MNT_DETACH);
    rmdir(proc.c_str());
    return error;
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
static int copy_programs(std::vector<std::string> *programs, const std::vector<int> &fds,
                         uid_t uid) {
    std::string dir = std::string(SCRATCH) + "/.programs";
    if (mkdir(dir.c_str(), 0755) == -1)
        return -1;
    for (size_t i = 0; i < programs->size(); i++) { // each in a directory of its own
        std::string copy = copy_program(fds[i], (*programs)[i], dir + "/" + std::to_string(i), uid);
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
        open_programs.push_back(open_as_user(program, theirs ? c->uid : 0));
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
    // Before the run's mount namespace makes the system's groups read-only.
    make_counterpart_group(&c->group, COUNTERPART_MEMORY_MAX_MIB, COUNTERPART_TASKS + KEEPERS);
    // Not the real root, the run has a user namespace of its own, even where
    // this process is root in one already (the scripts' private namespaces,
    // shared by every run they start): the kernel counts the processes of a
    // user against RLIMIT_NPROC in each user namespace apart, so that the
    // counterpart's limit counts its run's processes, not every run's.
    *step = "cannot make a mount, a network and an IPC namespace for the run";
    int flags = CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC;
    if ((real_root() ? unshare(flags) : unshare_in_own_user_namespace(flags)) == -1)
        return -1;
    std::string refused; // before the run's file tree makes /proc read-only:
    int error = limit_ipc("/proc", &refused);
    if (own_tree(step) == -1)
        return -1;
    if (error == EROFS)
        error = limit_ipc_through_own_proc(&refused);
    if (error != 0) // the run goes on: said in one line
        warnx("cannot lower the run's System V IPC limits (%s: %s): its shared memory, "
              "message queues and semaphores are bounded only by the system's",
              refused.c_str(), strerror(error));
    *step = "cannot copy the programs into the run";
    if (copy_programs(programs, open_programs, c->uid) == -1)
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
    remove_control_group(&c->group);
    if (step != nullptr)
        warn("%s", step);
    return -1;
}
