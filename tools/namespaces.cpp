// New namespaces by unshare(2), as unshare(1) makes them.
#include "namespaces.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

static pid_t first_process;

static void pass_on(int sig) {
    kill(first_process, sig);
}

static bool write_file(const char *path, const char *text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool ok = write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
    close(fd);
    return ok;
}

int unshare_in_own_user_namespace(int flags) {
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | flags) == -1)
        return -1;
    char map[64];
    snprintf(map, sizeof map, "0 %d 1", static_cast<int>(uid));
    if (!write_file("/proc/self/uid_map", map) || !write_file("/proc/self/setgroups", "deny"))
        return -1;
    snprintf(map, sizeof map, "0 %d 1", static_cast<int>(gid));
    return write_file("/proc/self/gid_map", map) ? 0 : -1;
}

// Root needs nothing more for them; a normal user needs a user namespace
// around them, in which it is root.
int unshare_as_root(int flags) {
    if (unshare(flags) == 0)
        return 0;
    return errno != EPERM ? -1 : unshare_in_own_user_namespace(flags);
}

// A /proc that shows the new PID namespace, mounted where no mount outside
// can see it: over a / made private, or, where / is no mount point (a
// chroot), over a /proc made private first.
static int mount_own_proc() {
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 &&
        mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
        return -1;
    return mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
}

static int unshare_all() {
    return unshare_as_root(CLONE_NEWIPC | CLONE_NEWPID | CLONE_NEWNS);
}

int enter_private_namespaces() {
    if (unshare_all() == -1)
        return -1;
    first_process = fork();
    if (first_process == -1)
        return -1;
    if (first_process == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (mount_own_proc() == -1) {
            perror("cannot mount /proc in the new namespaces");
            _exit(2);
        }
        return 0;
    }
    struct sigaction sa = {};
    sa.sa_handler = pass_on;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    int status;
    while (waitpid(first_process, &status, 0) == -1)
        if (errno != EINTR)
            _exit(2);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

int try_private_namespaces() {
    pid_t pid = fork();
    if (pid == -1)
        return errno;
    if (pid == 0)
        _exit(unshare_all() == 0 ? 0 : errno);
    int status;
    if (waitpid(pid, &status, 0) == -1)
        return errno;
    return WIFEXITED(status) ? WEXITSTATUS(status) : EPERM;
}
