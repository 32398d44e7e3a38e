// The processes of a contained program, found through /proc.
#include "contained_processes.hpp"

#include "rule_watch.hpp"
#include "shown_text.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <err.h>
#include <unistd.h>

// A process's proportional share of the memory it maps, in KiB: pages it
// shares, after a fork or of a library, count once among all who map them.
// -1 where /proc does not show it.
static long proportional_kib(pid_t pid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/smaps_rollup", pid);
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return -1;
    long kib = -1;
    while (kib == -1 && fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "Pss: %ld kB", &kib) != 1)
            kib = -1;
    fclose(f);
    return kib;
}

// What /proc shows of a process; false for one that has ended.
static bool read_stat(pid_t pid, Seen *seen) {
    char path[64], line[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return false;
    bool read = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!read)
        return false;
    // "pid (name) state ...": the name may hold anything.
    char *open = strchr(line, '('), *close = strrchr(line, ')');
    char state;
    unsigned long user, system;
    long children_user, children_system, threads, resident;
    if (open == nullptr || close == nullptr ||
        sscanf(close + 1,
               " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %ld %ld %*d %*d %ld %*d %*u "
               "%*u %ld",
               &state, &user, &system, &children_user, &children_system, &threads,
               &resident) != 7 ||
        state == 'Z')
        return false;
    double ticks =
        static_cast<double>(user + system) + static_cast<double>(children_user + children_system);
    long kib = proportional_kib(pid);
    if (kib == -1)
        kib = resident * (sysconf(_SC_PAGESIZE) / 1024);
    *seen = {pid, printable(std::string(open + 1, close)),           threads,
             kib, ticks / static_cast<double>(sysconf(_SC_CLK_TCK)), false,
             0};
    return true;
}

// The children of a process, as each of its threads has them.
static std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> children;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    while (dirent *task = dir != nullptr ? readdir(dir) : nullptr) {
        if (task->d_name[0] < '1' || task->d_name[0] > '9')
            continue;
        FILE *f = fopen((tasks + "/" + task->d_name + "/children").c_str(), "re");
        for (int child; f != nullptr && fscanf(f, "%d", &child) == 1;)
            children.push_back(child);
        if (f != nullptr)
            fclose(f);
    }
    if (dir != nullptr)
        closedir(dir);
    return children;
}

// pid's number in the PID namespace it was made in, where that lies below
// the demo's; 0 where it is the demo's own.
static pid_t pid_inside(pid_t pid) {
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "re");
    pid_t inside = 0;
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        if (const char *last = strrchr(line, '\t');
            strncmp(line, "NSpid:", 6) == 0 && last != nullptr && last != strchr(line, '\t'))
            inside = static_cast<pid_t>(atoi(last + 1));
    if (f != nullptr)
        fclose(f);
    return inside;
}

std::vector<Seen> processes_below(const std::set<pid_t> &skip, const std::set<pid_t> &relays) {
    std::vector<pid_t> next;
    for (pid_t child : children_of(getpid()))
        if (!skip.contains(child))
            next.push_back(child);
    std::vector<Seen> theirs;
    std::set<pid_t> found;
    while (!next.empty()) {
        pid_t pid = next.back();
        next.pop_back();
        Seen seen;
        if (!found.insert(pid).second)
            continue;
        if (read_stat(pid, &seen)) {
            seen.inside = pid_inside(pid);
            // The counterpart can make no PID namespace: a first process of
            // one is the init of its own.
            seen.keeper = relays.contains(pid) || seen.inside == 1;
            theirs.push_back(seen);
        }
        for (pid_t child : children_of(pid))
            next.push_back(child);
    }
    return theirs;
}

Usage usage_of(const std::vector<Seen> &processes) {
    Usage use;
    long kib = 0;
    for (const Seen &p : processes) {
        use.tasks += p.keeper ? 0 : p.threads; // the demo's copies, not the program's
        kib += p.keeper ? 0 : p.memory_kib;
        use.cpu_seconds += p.cpu_seconds;
    }
    use.mib = static_cast<double>(kib) / 1024;
    return use;
}

std::vector<Seen> family_processes(const Family &family) {
    return processes_below(family.others, family.relays);
}

Usage family_usage(const Family &family) {
    Usage use = usage_of(family_processes(family));
    if (family.group != nullptr) {
        use.mib = std::max(use.mib, control_group_mib(*family.group));
        use.cpu_seconds = std::max(use.cpu_seconds, control_group_cpu_seconds(*family.group));
    }
    return use;
}

pid_t family_first(const Family &family) {
    for (const Seen &p : family_processes(family))
        if (!p.keeper && p.inside == 2) // the init's first child
            return p.pid;
    return 0;
}

int kill_family(const Family &family, pid_t leader) {
    if (leader > 0)
        send_signal(-leader, SIGKILL);
    // The group's end reaches also what no look has found yet.
    if (family.group != nullptr && kill_control_group(*family.group) == -1)
        warn("cannot end the counterpart's control group");
    int others = 0;
    for (const Seen &p : family_processes(family))
        if (p.pid != leader) {
            send_signal(p.pid, SIGKILL);
            others += !p.keeper;
        }
    return others;
}

void send_signal(pid_t target, int sig) {
    if (kill(target, sig) == -1 && errno != ESRCH)
        warn("cannot send SIG%s to %s %d", sigabbrev_np(sig),
             target < 0 ? "process group" : "process", target < 0 ? -target : target);
}
