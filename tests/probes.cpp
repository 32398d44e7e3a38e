// What a contained run must refuse, or bound: each probe tries one thing and
// says what came of it ("probe: ...").
#include "probes.hpp"

#include "shared_semaphores.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <linux/keyctl.h>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// Writes a line no client wrote into every client's output: the clients
// are this program's siblings. Says how many it reached.
void forge_lines() {
    int forged = 0;
    DIR *proc = opendir("/proc");
    while (dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
        std::string dir = std::string("/proc/") + entry->d_name;
        char stat[256] = {};
        FILE *f = fopen((dir + "/stat").c_str(), "r");
        if (f == nullptr)
            continue;
        bool read = fgets(stat, sizeof stat, f) != nullptr;
        fclose(f);
        int pid, parent;
        char state;
        if (!read || sscanf(stat, "%d (klient) %c %d", &pid, &state, &parent) != 3 ||
            parent != getppid())
            continue;
        int out = open((dir + "/fd/1").c_str(), O_WRONLY);
        forged += out != -1 && dprintf(out, ANNOUNCEMENT, pid, WANTS_TO_ENTER) > 0;
        close(out);
    }
    if (proc != nullptr)
        closedir(proc);
    printf("probe: forged %d lines\n", forged);
    fflush(stdout);
}

static void say(const char *what, bool done) {
    printf("probe: %s: %s\n", what, done ? "done" : strerror(errno));
    fflush(stdout);
}

// words, in order, one space between.
static std::string joined(const std::set<std::string> &words) {
    std::string all;
    for (const std::string &word : words)
        all += (all.empty() ? "" : " ") + word;
    return all;
}

// The names of the processes in sight but this one, in order.
static std::string processes_in_sight() {
    std::set<std::string> names;
    DIR *proc = opendir("/proc");
    while (dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
        char name[64] = {};
        FILE *f = fopen((std::string("/proc/") + entry->d_name + "/comm").c_str(), "r");
        int pid = atoi(entry->d_name); // 0: no process ("self" is this one)
        if (f != nullptr && pid != 0 && pid != getpid() && fgets(name, sizeof name, f) != nullptr)
            names.insert(std::string(name, strcspn(name, "\n")));
        if (f != nullptr)
            fclose(f);
    }
    if (proc != nullptr)
        closedir(proc);
    return joined(names);
}

// The values of the fields of /proc/self/status named in keys, each as
// "key value", one space between.
static std::string status_fields(std::initializer_list<const char *> keys) {
    std::string all;
    FILE *f = fopen("/proc/self/status", "re");
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
        for (const char *key : keys)
            if (strncmp(line, key, strlen(key)) == 0 && line[strlen(key)] == ':') {
                char value[64] = "";
                sscanf(line + strlen(key) + 1, "%63s", value);
                all += std::string(all.empty() ? "" : " ") + key + " " + value;
            }
    if (f != nullptr)
        fclose(f);
    return all;
}

// The mount points it may write on, in order.
static std::string writable_mounts() {
    std::set<std::string> points;
    FILE *f = fopen("/proc/self/mountinfo", "re");
    char point[1024], options[1024];
    while (f != nullptr && fscanf(f, "%*s %*s %*s %*s %1023s %1023s%*[^\n]", point, options) == 2)
        if (strncmp(options, "rw", 2) == 0)
            points.insert(point);
    if (f != nullptr)
        fclose(f);
    return joined(points);
}

// What the run gave it: its user, its powers, its limits, what it may write
// and open. One line.
static std::string what_was_given() {
    rlimit core, tasks, cpu, files;
    getrlimit(RLIMIT_CORE, &core);
    getrlimit(RLIMIT_NPROC, &tasks);
    getrlimit(RLIMIT_CPU, &cpu);
    getrlimit(RLIMIT_NOFILE, &files);
    // Standard input by what it is: opened before the run's last mount
    // namespace, its path may read otherwise in a chroot.
    struct stat in = {};
    const char *input = fstat(STDIN_FILENO, &in) == -1 ? "none"
                        : S_ISCHR(in.st_mode) && major(in.st_rdev) == 1 && minor(in.st_rdev) == 3
                            ? "/dev/null"
                            : "something else";
    int descriptors = 0;
    for (int fd = 3; fd < 1024; fd++)
        descriptors += fcntl(fd, F_GETFD) != -1;
    bool terminal = open("/dev/tty", O_RDWR) != -1;
    return std::string("user ") +
           (getuid() >= 0x7F000000 ? "the run's" : std::to_string(getuid())) + ", groups " +
           std::to_string(getgroups(0, nullptr)) + ", " +
           status_fields(
               {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb", "NoNewPrivs", "Seccomp"}) +
           ", core " + std::to_string(core.rlim_max) + ", tasks " + std::to_string(tasks.rlim_max) +
           ", cpu " + std::to_string(cpu.rlim_cur) + ", files " + std::to_string(files.rlim_max) +
           ", input " + input + ", descriptors " + std::to_string(descriptors) + ", terminal " +
           (terminal ? "yes" : "no") + ", writable " + writable_mounts() +
           "."; // the end: nothing more
}

// Types a command into the terminal, which its shell would run after the demo.
static bool type_into_terminal() {
    int tty = open("/dev/tty", O_RDWR);
    const char *command = "echo typed\n";
    bool typed = true;
    for (const char *c = command; *c != '\0' && typed; c++)
        typed = ioctl(tty != -1 ? tty : STDIN_FILENO, TIOCSTI, c) == 0;
    return typed;
}

// The names in the environment, in order.
static std::string environment() {
    std::set<std::string> names;
    for (char **e = environ; *e != nullptr; e++)
        names.insert(std::string(*e).substr(0, std::string(*e).find('=')));
    return joined(names);
}

// What it was given, and what it can see or reach of the processes and the
// terminal around it.
static void probe_sight(const char *mode) {
    auto is = [mode](const char *m) { return strcmp(mode, m) == 0; };
    if (is("types"))
        say("type into the terminal", type_into_terminal());
    if (is("takes-output")) { // a descriptor of another process's, here its own
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
        say("take a process's descriptor", syscall(SYS_pidfd_getfd, pidfd, STDOUT_FILENO, 0) != -1);
    }
    if (is("sees-processes")) {
        printf("probe: processes in sight: %s\n", processes_in_sight().c_str());
        fflush(stdout);
    }
    if (is("keeps-key"))
        say("add a key",
            syscall(SYS_add_key, "user", "klient-probe", "x", 1, KEY_SPEC_USER_KEYRING) != -1);
    if (is("given")) {
        printf("probe: given: %s\n", what_was_given().c_str());
        fflush(stdout);
    }
    if (is("environment")) {
        printf("probe: environment: %s.\n", environment().c_str()); // all of it
        fflush(stdout);
    }
}

// What it can reach of the system's files and network; given says where.
static void probe_reach(const char *mode, const char *given) {
    auto is = [mode](const char *m) { return strcmp(mode, m) == 0; };
    if (is("reads-host-file")) // one that anyone may read
        say("read a file of the host's", open(given, O_RDONLY) != -1);
    if (is("writes-outside")) // where anyone may write
        say("write in /dev/shm", open(given, O_WRONLY | O_CREAT, 0644) != -1);
    if (is("kills-parent")) // the demo, were it the parent: ended early, it judges the run so far
        say("signal its parent", kill(getppid(), SIGTERM) == 0);
    if (is("connects-by-path")) { // a host's service, by its socket in the file tree
        sockaddr_un to = {};
        to.sun_family = AF_UNIX;
        strncpy(to.sun_path, given, sizeof to.sun_path - 1);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        say("connect to the test's socket",
            connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0);
    }
    if (is("connects")) {
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(atoi(given)));
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        say("connect to the test's loopback",
            connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0);
    }
}

// How far its resources go: processes, memory, CPU time, output.
static void probe_resources(const char *mode) {
    auto is = [mode](const char *m) { return strcmp(mode, m) == 0; };
    if (is("forks")) {
        int forked = 0;
        for (pid_t pid = 0; forked < 2000 && (pid = fork()) != -1; forked++)
            while (pid == 0) // a child
                pause();
        say("fork 2000 processes", forked == 2000);
    }
    if (is("allocates") && fork() == 0) { // a worker, beside one that lets clients in
        const size_t chunk = 64 << 20;
        int mib = 0;
        for (char *p; mib < 1024 && (p = static_cast<char *>(malloc(chunk))) != nullptr; mib += 64)
            memset(p, 1, chunk);
        printf("probe: memory %d of 1024 MiB\n", mib);
    }
    for (int i = 0; is("spins") && i < 2; i++) // workers that spin, beside one that lets in
        if (fork() == 0) {
            if (nice(19) == -1) // the process that admits stays first in line
                _exit(1);
            for (;;)
                getppid(); // a call, which the loop may not be optimized away around
        }
    if (is("holds-ipc")) { // memory of the kernel's, which no limit of a process counts
        int shm = shmget(IPC_PRIVATE, 256 << 20, IPC_CREAT | 0600);
        int sets = 0, queues = 0;
        while (sets < 100 && semget(IPC_PRIVATE, 250, IPC_CREAT | 0600) != -1)
            sets++;
        while (queues < 100 && msgget(IPC_PRIVATE, IPC_CREAT | 0600) != -1)
            queues++;
        printf("probe: held %s of shared memory, %d sets of 250 semaphores, %d queues.\n",
               shm == -1 ? "none" : "256 MiB", sets, queues);
    }
    if (is("holds-memfd")) { // memory in a file of no file system's, that nobody maps
        int fd = static_cast<int>(syscall(SYS_memfd_create, "probe", 0));
        std::string page(1 << 20, 'm');
        int mib = 0;
        while (fd != -1 && mib < 512 && write(fd, page.data(), page.size()) > 0)
            mib++;
        say("hold 512 MiB in a memory file", mib == 512);
    }
    if (is("holds-pipes")) { // memory in pipes' buffers, full, that nobody reads
        rlimit files;
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        std::string chunk(1 << 16, 'p');
        long kib = 0;
        for (int ends[2]; kib < (32 << 10) && pipe2(ends, O_NONBLOCK) == 0;)
            for (ssize_t n; (n = write(ends[1], chunk.data(), chunk.size())) > 0;)
                kib += n >> 10;
        say("hold 32 MiB in pipes", kib >= (32 << 10));
    }
    if (is("hides-cpu") && fork() == 0) { // a worker whose spinning children nobody waits for
        signal(SIGCHLD, SIG_IGN);
        for (double spun = 0;; spun += 1) { // four children, a quarter of a second each
            for (int i = 0; i < 4; i++)
                if (fork() == 0) {
                    if (nice(19) == -1) // as "spins"
                        _exit(1);
                    timespec used = {};
                    while (used.tv_sec == 0 && used.tv_nsec < 250000000)
                        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
                    _exit(0);
                }
            while (wait(nullptr) != -1 || errno == EINTR) // until every one has ended
                ;
            printf("probe: children spun %.0f s\n", spun + 1); // as much as a load let them
            fflush(stdout);
        }
    }
    if (is("floods"))
        puts("probe: \033[2J clears a terminal that obeys it");
    std::string flood(4095, 'f'); // lines of 4 KiB: the limit comes after 64 of them
    for (int i = 0; is("floods") && i < 200; i++) // 800 KB: soon past the limit, soon over
        puts(flood.c_str());
}

void probe(const char *mode, const char *given) {
    probe_sight(mode);
    probe_reach(mode, given);
    probe_resources(mode);
    fflush(stdout);
}
