// The counterpart's control group, made in the cgroup v2 hierarchy where the
// demo's own group lies.
#include "control_group.hpp"

#include "rule_watch.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

constexpr int REMOVE_TRIES = 500, REMOVE_EVERY_US = 10000; // 5 s in all: killed, a process
                                                           // still takes its turn to end

// The directory of this process's own group: where the cgroup v2 hierarchy
// is mounted (its root mounted, not a part of it), and the group's path in
// it. "" where there is none.
static std::string own_group_directory() {
    char line[4096], root[1024], point[1024], type[64];
    std::string mounted, own;
    FILE *f = fopen("/proc/self/mountinfo", "re");
    while (f != nullptr && mounted.empty() && fgets(line, sizeof line, f) != nullptr) {
        const char *tail = strstr(line, " - ");
        if (tail != nullptr && sscanf(tail, " - %63s", type) == 1 && strcmp(type, "cgroup2") == 0 &&
            sscanf(line, "%*s %*s %*s %1023s %1023s", root, point) == 2 && strcmp(root, "/") == 0)
            mounted = point;
    }
    if (f != nullptr)
        fclose(f);
    f = fopen("/proc/self/cgroup", "re");
    while (f != nullptr && own.empty() && fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "0::/", 4) == 0)
            own = std::string(line + 3, strcspn(line + 3, "\n"));
    if (f != nullptr)
        fclose(f);
    if (mounted.empty() || own.empty() || own.find("/..") != std::string::npos)
        return "";
    return mounted + (own == "/" ? "" : own);
}

// Writes text into the file name of the directory dir. Returns 0, or -1 with
// errno set.
static int write_file(int dir, const char *name, const std::string &text) {
    int fd = openat(dir, name, O_WRONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    ssize_t written = write(fd, text.data(), text.size());
    int error = errno;
    close(fd);
    errno = error;
    return written == static_cast<ssize_t>(text.size()) ? 0 : -1;
}

// Whether the group open at dir has controller.
static bool has_controller(int dir, const char *controller) {
    char names[512];
    int fd = openat(dir, "cgroup.controllers", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd == -1 ? -1 : read(fd, names, sizeof names - 1);
    if (fd != -1)
        close(fd);
    names[got > 0 ? got : 0] = '\0';
    size_t length = strlen(controller);
    for (const char *at = names; (at = strstr(at, controller)) != nullptr; at += length)
        if ((at == names || at[-1] == ' ') && strchr(" \n", at[length]) != nullptr)
            return true;
    return false;
}

// Makes the group in the directory open at parent, under a name no other
// has. Returns the group's directory, or -1 with errno set.
static int make_group(ControlGroup *g, const char *prefix) {
    std::random_device random;
    for (int tries = 0; tries < 8; tries++) {
        char name[64];
        snprintf(name, sizeof name, "%s-%08x", prefix, static_cast<unsigned>(random()));
        if (mkdirat(g->parent, name, 0755) == 0) {
            g->name = name;
            return openat(g->parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

int make_control_group(ControlGroup *g, const char *prefix) {
    std::string where = own_group_directory();
    g->parent = where.empty() ? -1 : open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int dir = g->parent == -1 ? -1 : make_group(g, prefix);
    g->procs = dir == -1 ? -1 : openat(dir, "cgroup.procs", O_WRONLY | O_CLOEXEC);
    int error = errno;
    if (dir != -1)
        close(dir);
    if (g->procs == -1)
        remove_control_group(g);
    errno = error;
    return g->procs == -1 ? -1 : 0;
}

// Opens the group's files, and sets the limits its controllers allow.
// Returns 0, or -1 with errno set.
static int open_counted(ControlGroup *g, int dir, long memory_mib, long tasks) {
    g->cpu = openat(dir, "cpu.stat", O_RDONLY | O_CLOEXEC);
    if (g->cpu == -1)
        return -1;
    g->kill = openat(dir, "cgroup.kill", O_WRONLY | O_CLOEXEC); // -1 on older kernels
    if (has_controller(dir, "memory")) {
        if (write_file(dir, "memory.max", std::to_string(memory_mib << 20)) == -1 ||
            (write_file(dir, "memory.swap.max", "0") == -1 && errno != ENOENT))
            return -1;
        g->memory = openat(dir, "memory.current", O_RDONLY | O_CLOEXEC);
        if (g->memory == -1)
            return -1;
    }
    if (has_controller(dir, "pids")) {
        if (write_file(dir, "pids.max", std::to_string(tasks)) == -1)
            return -1;
        g->tasks = true;
    }
    return 0;
}

void make_counterpart_group(ControlGroup *g, long memory_mib, long tasks) {
    const char *failed = "cannot make one";
    if (make_control_group(g, "klient-demo") == 0) {
        int dir = openat(g->parent, g->name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir == -1 || open_counted(g, dir, memory_mib, tasks) == -1) {
            failed = "cannot set it up";
            int error = errno;
            remove_control_group(g);
            errno = error;
        }
        if (dir != -1)
            close(dir);
    }
    if (g->name.empty() && own_group_directory().empty())
        warnx("no control group for the counterpart (no cgroup v2 hierarchy is mounted): its CPU "
              "time counts only the processes waited for, its memory only resident pages");
    else if (g->name.empty())
        warnx("no control group for the counterpart (%s: %s): its CPU time counts only the "
              "processes waited for, its memory only resident pages",
              failed, strerror(errno));
    else if (g->memory == -1 || !g->tasks)
        warnx("the counterpart's control group has no %s controller: %s%s%s",
              g->memory == -1 && !g->tasks ? "memory or pids"
              : g->memory == -1            ? "memory"
                                           : "pids",
              g->memory == -1 ? "its memory counts only resident pages" : "",
              g->memory == -1 && !g->tasks ? ", and " : "",
              g->tasks ? "" : "its processes count against its user's");
}

int join_control_group(const ControlGroup &g) {
    if (g.procs == -1)
        return 0;
    return write(g.procs, "0", 1) == 1 ? 0 : -1;
}

// The first number after key in the file open at fd, or -1.
static double read_number(int fd, const char *key) {
    char text[2048];
    ssize_t got = fd == -1 ? -1 : pread(fd, text, sizeof text - 1, 0);
    if (got <= 0)
        return -1;
    text[got] = '\0';
    const char *at = strstr(text, key);
    return at == nullptr ? -1 : strtod(at + strlen(key), nullptr);
}

double control_group_cpu_seconds(const ControlGroup &g) {
    double usec = read_number(g.cpu, "usage_usec ");
    return usec < 0 ? -1 : usec / 1e6;
}

double control_group_mib(const ControlGroup &g) {
    double bytes = read_number(g.memory, "");
    return bytes < 0 ? -1 : bytes / 1048576;
}

bool kill_control_group(const ControlGroup &g) {
    return g.kill != -1 && write(g.kill, "1", 1) == 1;
}

// Ends every process in the group name of the directory open at parent, and
// removes it, once its processes have left it. Returns 0, or -1 with errno
// set.
static int remove_group(int parent, const char *name) {
    std::string kill = std::string(name) + "/cgroup.kill";
    int fd = openat(parent, kill.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd != -1) {
        if (write(fd, "1", 1) != 1) {
            // its processes are ended below by their own, or the wait fails
        }
        close(fd);
    }
    int removed, tries = 0; // a process killed leaves its group as it ends
    while ((removed = unlinkat(parent, name, AT_REMOVEDIR)) == -1 && errno == EBUSY &&
           ++tries < REMOVE_TRIES)
        usleep(REMOVE_EVERY_US);
    return removed;
}

void remove_control_group(ControlGroup *g) {
    for (int *fd : {&g->procs, &g->kill, &g->cpu, &g->memory})
        if (*fd != -1) {
            close(*fd);
            *fd = -1;
        }
    int dir = g->name.empty() ? -1 : openat(g->parent, g->name.c_str(), O_RDONLY | O_DIRECTORY);
    DIR *below = dir == -1 ? nullptr : fdopendir(dir);
    while (dirent *entry = below != nullptr ? readdir(below) : nullptr) // a killed demo's
        if (entry->d_type == DT_DIR && entry->d_name[0] != '.' &&
            remove_group(dirfd(below), entry->d_name) == -1)
            warn("cannot remove the control group %s/%s", g->name.c_str(), entry->d_name);
    if (below != nullptr)
        closedir(below);
    if (!g->name.empty() && remove_group(g->parent, g->name.c_str()) == -1)
        warn("cannot remove the control group %s", g->name.c_str());
    if (g->parent != -1)
        close(g->parent);
    g->parent = -1;
    g->name.clear();
}
