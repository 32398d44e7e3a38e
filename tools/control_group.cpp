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

constexpr const char *SELF = "klient-self"; // the name of a group made to hold only its maker

constexpr int REMOVE_TRIES = 500, REMOVE_EVERY_US = 10000; // 5 s in all: killed, a process
                                                           // still takes its turn to end

// The directory of this process's own group: where the cgroup v2 hierarchy
// is mounted (its root mounted, not a part of it), and the group's path in
// it; where that group is one made to hold only its maker, the one above.
// "" where there is none.
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
    size_t last = own.rfind('/'), length = strlen(SELF);
    if (own.compare(last + 1, length, SELF) == 0 && own[last + 1 + length] == '-')
        own.erase(last); // made for this process, to let its parent pass the controllers on
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

// Makes a group in the directory open at parent, under a name no other has,
// into *name. Returns the group's directory, or -1 with errno set.
static int make_group(int parent, const char *prefix, std::string *name) {
    std::random_device random;
    for (int tries = 0; tries < 8; tries++) {
        char made[64];
        snprintf(made, sizeof made, "%s-%08x", prefix, static_cast<unsigned>(random()));
        if (mkdirat(parent, made, 0755) == 0) {
            *name = made;
            return openat(parent, made, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}

// What passes on ('+'), or takes back ('-'), through the cgroup.subtree_control
// of the group open at dir, every controller it has; "" for none.
static std::string controllers(int dir, char sign) {
    char names[512];
    int fd = openat(dir, "cgroup.controllers", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd == -1 ? -1 : read(fd, names, sizeof names - 1);
    if (fd != -1)
        close(fd);
    names[got > 0 ? got : 0] = '\0';
    std::string list;
    for (const char *at = names + strspn(names, " \n"); *at != '\0'; at += strspn(at, " \n")) {
        size_t length = strcspn(at, " \n");
        if (!list.empty())
            list += ' ';
        list += sign;
        list.append(at, length);
        at += length;
    }
    return list;
}

// Whether the group open at dir has controller.
static bool has_controller(int dir, const char *controller) {
    std::string list = controllers(dir, ' ');
    list += ' ';
    return list.find(std::string(" ") + controller + " ") != std::string::npos;
}

// Whether this process is the only one in the group open at dir.
static bool alone_in(int dir) {
    char text[32];
    int fd = openat(dir, "cgroup.procs", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd == -1 ? -1 : read(fd, text, sizeof text - 1);
    if (fd != -1)
        close(fd);
    if (got <= 0)
        return false;
    text[got] = '\0';
    char *end = nullptr;
    return strtol(text, &end, 10) == getpid() && strcmp(end, "\n") == 0;
}

// Passes the controllers of this process's own group (open at g->parent) on
// to the groups made below it, as systemd does for a group it delegates. The
// kernel passes a controller on only from a group that holds no process, but
// for the hierarchy's root, which is the system's to set (it alone has no
// cgroup.type): where this process is alone in its group, it moves first
// into a group of its own below, g->self.
static void pass_on(ControlGroup *g) {
    std::string wanted = controllers(g->parent, '+');
    if (wanted.empty() || faccessat(g->parent, "cgroup.type", F_OK, 0) == -1 ||
        write_file(g->parent, "cgroup.subtree_control", wanted) == 0 || errno != EBUSY ||
        !alone_in(g->parent))
        return;
    std::string self;
    int dir = make_group(g->parent, SELF, &self);
    bool moved = dir != -1 && write_file(dir, "cgroup.procs", "0") == 0;
    if (dir != -1)
        close(dir);
    if (moved && (write_file(g->parent, "cgroup.subtree_control", wanted) == 0 ||
                  write_file(g->parent, "cgroup.procs", "0") == -1))
        g->self = self; // and where it could not move back, the end tries again, and says so
    else if (dir != -1)
        unlinkat(g->parent, self.c_str(), AT_REMOVEDIR);
}

// Makes a group below this process's own. Returns 0, or -1 with errno set.
static int make_below_own(ControlGroup *g, const char *prefix) {
    std::string where = own_group_directory();
    g->parent = where.empty() ? -1 : open(where.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g->parent != -1)
        pass_on(g);
    int dir = g->parent == -1 ? -1 : make_group(g->parent, prefix, &g->name);
    g->procs = dir == -1 ? -1 : openat(dir, "cgroup.procs", O_WRONLY | O_CLOEXEC);
    int error = errno;
    if (dir != -1)
        close(dir);
    if (g->procs == -1)
        remove_control_group(g);
    errno = error;
    return g->procs == -1 ? -1 : 0;
}

// Passes every controller of the group open at dir, which holds no process,
// on to the groups below it; where the kernel refuses, they go without, and
// the demo made there says so.
static void pass_below(int dir) {
    std::string wanted = controllers(dir, '+');
    if (!wanted.empty() && write_file(dir, "cgroup.subtree_control", wanted) == -1) {
        // said below
    }
}

int make_control_group(ControlGroup *g, const char *prefix) {
    if (make_below_own(g, prefix) == -1)
        return -1;
    int dir = openat(g->parent, g->name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir != -1) {
        pass_below(dir);
        close(dir);
    }
    return 0;
}

int join_new_control_group(const ControlGroup &g) {
    if (g.name.empty())
        return 0;
    int dir = openat(g.parent, g.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string name;
    int below = dir == -1 ? -1 : make_group(dir, "klient-run", &name);
    if (below != -1)
        pass_below(below);
    int self = below == -1 ? -1 : make_group(below, SELF, &name);
    int joined = self == -1 ? -1 : write_file(self, "cgroup.procs", "0");
    int error = errno;
    for (int fd : {dir, below, self})
        if (fd != -1)
            close(fd);
    errno = error;
    return joined;
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
        g->memory_events = openat(dir, "memory.events", O_RDONLY | O_CLOEXEC);
        if (g->memory == -1 || g->memory_events == -1)
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
    if (make_below_own(g, "klient-demo") == 0) {
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

long control_group_memory_kills(const ControlGroup &g) {
    return static_cast<long>(read_number(g.memory_events, "oom_kill "));
}

int kill_control_group(const ControlGroup &g) {
    return g.kill == -1 || write(g.kill, "1", 1) == 1 ? 0 : -1;
}

// Removes the group name of the directory open at parent, once its processes
// have left it, after the groups below it; first, where kill, ends every
// process in them. Returns 0, or -1 with errno set.
static int remove_group(int parent, const char *name, bool kill) {
    int dir = openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *below = dir == -1 ? nullptr : fdopendir(dir);
    while (dirent *entry = below != nullptr ? readdir(below) : nullptr) // a killed demo's
        if (entry->d_type == DT_DIR && entry->d_name[0] != '.' &&
            remove_group(dirfd(below), entry->d_name, kill) == -1)
            break; // and so this one stays too, and says so
    if (below != nullptr)
        closedir(below);
    std::string killing = std::string(name) + "/cgroup.kill";
    int fd = kill ? openat(parent, killing.c_str(), O_WRONLY | O_CLOEXEC) : -1;
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

// Moves this process back into its own group, out of g->self, as it was.
static void take_back(ControlGroup *g) {
    if (g->self.empty())
        return;
    if (write_file(g->parent, "cgroup.subtree_control", controllers(g->parent, '-')) == -1 ||
        write_file(g->parent, "cgroup.procs", "0") == -1 ||
        remove_group(g->parent, g->self.c_str(), false) == -1)
        warn("cannot move back out of the control group %s", g->self.c_str());
    g->self.clear();
}

void remove_control_group(ControlGroup *g) {
    for (int *fd : {&g->procs, &g->kill, &g->cpu, &g->memory, &g->memory_events})
        if (*fd != -1) {
            close(*fd);
            *fd = -1;
        }
    if (!g->name.empty() && remove_group(g->parent, g->name.c_str(), true) == -1)
        warn("cannot remove the control group %s", g->name.c_str());
    take_back(g);
    if (g->parent != -1)
        close(g->parent);
    g->parent = -1;
    g->name.clear();
}
