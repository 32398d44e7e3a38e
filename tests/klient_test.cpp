// The real klient binary, end to end: its lines read from pipes, the
// semaphores read with semctl.
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Klient = PrivateIpc;

// Fills the pipe whose read end is fd through a description of the test's
// own, so that the writer's stays blocking. Returns that write end; *filled
// is how many bytes it wrote.
static int fill_pipe(int fd, size_t *filled = nullptr) {
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    int filler = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    EXPECT_NE(filler, -1) << strerror(errno);
    size_t count = 0;
    while (write(filler, "x", 1) == 1)
        count++;
    if (filled != nullptr)
        *filled = count;
    return filler;
}

// Whether pid is blocked in write(2), with the entry semaphore at 0 (let in).
static bool blocked_writing(pid_t pid) {
    std::string in_write = std::to_string(SYS_write) + " ";
    std::string syscall_path = "/proc/" + std::to_string(pid) + "/syscall";
    return eventually([&] {
        FILE *f = fopen(syscall_path.c_str(), "r");
        char call[64] = {};
        bool blocked = f != nullptr && fgets(call, sizeof call, f) != nullptr &&
                       std::string(call).starts_with(in_write);
        if (f != nullptr)
            fclose(f);
        return blocked && sem_value(ENTRY_SEM_KEY) == 0;
    });
}

static std::string wants(pid_t pid) {
    return announcement("chce wejsc", pid);
}
static std::string consumes(pid_t pid) {
    return announcement("konsumuje", pid);
}
static std::string leaves(pid_t pid) {
    return announcement("ucieka", pid);
}

TEST_F(Klient, OnFreshSetsCreatesThemAnnouncesAndWaits) {
    Child k = spawn(KLIENT_PATH, {"--help", "x"}); // arguments change nothing
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    // The keys and starting values by their literal numbers, as other programs know them.
    ASSERT_TRUE(eventually([] { return sem_waiting(66267) == 1; }));
    EXPECT_EQ(sem_value(0x102DC), 5);
    EXPECT_EQ(sem_value(0x102DB), 0);
    EXPECT_LT(sem_id(66268), sem_id(66267)); // the free set was made first
    EXPECT_EQ(read_line(k.out, 500), "");
}

// The creator of a set is paused between making it and giving it its starting
// value: a unit added meanwhile must stay. A set removed between a failed
// exclusive create and the attach must be made afresh.
TEST_F(Klient, JoinKeepsWhatOthersDidAndSurvivesARemovedSet) {
    pid_t pid;
    Child creator = spawn_with_call_paused(KLIENT_PATH, "semget", 1, &pid);
    await_pause(creator); // the free set exists, its starting value not yet given
    sembuf up = {0, 1, 0};
    ASSERT_EQ(semop(sem_id(FREE_SEM_KEY), &up, 1), 0);
    EXPECT_EQ(read_line(creator.out, 2 * PAUSE_SECONDS * 1000), wants(pid));
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);

    Child joiner = spawn_with_call_paused(KLIENT_PATH, "semget", 1, &pid);
    await_pause(joiner); // its exclusive create has failed: the set exists
    ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID), 0);
    EXPECT_EQ(read_line(joiner.out, 2 * PAUSE_SECONDS * 1000), wants(pid));
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
}

TEST_F(Klient, CreatesTheMissingFreeSetAndAttachesToTheEntrySet) {
    sem_set(ENTRY_SEM_KEY, 4);
    Child k = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    EXPECT_EQ(read_line(k.out), consumes(k.pid));
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 3);
}

// Stopped for a while in the middle of its visit, a client still leaves 15
// seconds after it was let in: the time stopped is not added.
TEST_F(Klient, VisitLastsFifteenSecondsAndGivesOneUnitBack) {
    sem_set(ENTRY_SEM_KEY, 1);
    Child k = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    EXPECT_EQ(read_line(k.out), consumes(k.pid));
    double entered = seconds_now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    kill(k.pid, SIGSTOP);
    int status;
    ASSERT_EQ(waitpid(k.pid, &status, WUNTRACED), k.pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    std::this_thread::sleep_for(std::chrono::seconds(4));
    kill(k.pid, SIGCONT);
    EXPECT_EQ(read_line(k.out, 17000), leaves(k.pid));
    EXPECT_NEAR(seconds_now() - entered, 15.0, 0.5);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);
    EXPECT_EQ(read_line(k.out, 100), wants(k.pid)); // no pause before the next visit
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
    kill(k.pid, SIGKILL); // a unit given back must not come back a second time
    EXPECT_TRUE(WIFSIGNALED(wait_exit(k.pid)));
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);
}

TEST_F(Klient, StopAndContinueWhileWaitingLetsNothingIn) {
    Child k = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    kill(k.pid, SIGSTOP);
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 0; }));
    kill(k.pid, SIGCONT);
    EXPECT_EQ(read_line(k.out, 500), "");
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));

    sem_set(ENTRY_SEM_KEY, 1);
    EXPECT_EQ(read_line(k.out), consumes(k.pid));
}

// A signal ignored when the client started (nohup) stays ignored: sent first,
// it must not be the one that ends the client.
TEST_F(Klient, AnySignalWhileWaitingChangesNoValue) {
    struct {
        int ignored, sig;
    } rows[] = {{0, SIGINT}, {0, SIGTERM}, {0, SIGHUP}, {0, SIGKILL}, {SIGHUP, SIGTERM}};
    for (const auto &row : rows) {
        int ignored = row.ignored, sig = row.sig;
        Child k = spawn(KLIENT_PATH, {}, [ignored] {
            if (ignored != 0)
                signal(ignored, SIG_IGN);
        });
        EXPECT_EQ(read_line(k.out), wants(k.pid));
        ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
        if (ignored != 0)
            kill(k.pid, ignored);
        kill(k.pid, sig);
        int status = wait_exit(k.pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_EQ(read_rest(k.out), "");
        EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
        EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
    }
}

// A termination signal that lands after the client last looked for one and
// before its wait begins, delivered from inside semop by a preloaded library,
// still ends it: the handler's repeating kick breaks the wait.
TEST_F(Klient, SignalJustBeforeTheWaitEndsIt) {
    Child k = spawn(KLIENT_PATH, {}, [] {
        setenv("LD_PRELOAD", SIGNAL_IN_CALL_PATH, 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    });
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    int status = wait_exit(k.pid, 2000);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
}

// Caught signals give the unit back by hand and say so; any other death has
// the kernel give it back, through the guard.
TEST_F(Klient, AnyDeathWhileConsumingGivesTheUnitBack) {
    int given_back = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL, SIGQUIT, SIGSEGV}) {
        bool caught = sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
        sem_set(ENTRY_SEM_KEY, 1);
        Child k = spawn(KLIENT_PATH, {}, [] {
            rlimit no_core = {};
            setrlimit(RLIMIT_CORE, &no_core);
            // Under AddressSanitizer, a SIGSEGV would end in its report instead.
            setenv("ASAN_OPTIONS", "handle_segv=0", 1);
        });
        EXPECT_EQ(read_line(k.out), wants(k.pid));
        EXPECT_EQ(read_line(k.out), consumes(k.pid));
        kill(k.pid, sig);
        EXPECT_EQ(read_rest(k.out), caught ? leaves(k.pid) : "");
        int status = wait_exit(k.pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_EQ(sem_value(FREE_SEM_KEY), 5 + ++given_back) << strsignal(sig);
        EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
    }
}

// A client that cannot write "konsumuje" gives its unit back at once.
TEST_F(Klient, OutputFailureWhenLetInGivesTheUnitBack) {
    Child gone = spawn(KLIENT_PATH); // its reader goes away
    EXPECT_EQ(read_line(gone.out), wants(gone.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    close(gone.out);
    spawned.list.back().out = -1;
    sem_set(ENTRY_SEM_KEY, 1);
    int status = wait_exit(gone.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);

    // Standard output is a file that may grow by the first line only.
    sem_set(ENTRY_SEM_KEY, 1);
    Child full = spawn(KLIENT_PATH, {}, [] {
        FILE *file = tmpfile();
        dup2(fileno(file), STDOUT_FILENO);
        rlimit limit = {};
        limit.rlim_cur = limit.rlim_max = wants(getpid()).size();
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(read_rest(full.err), "klient: cannot write to standard output: File too large\n");
    EXPECT_EQ(wait_exit(full.pid), 1 << 8);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 7);

    // A full pipe that nobody reads: SIGTERM still ends the client, blocked
    // writing "konsumuje" with its unit, at once.
    Child stuck = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(stuck.out), wants(stuck.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    int filler = fill_pipe(stuck.out);
    sem_set(ENTRY_SEM_KEY, 1);
    ASSERT_TRUE(blocked_writing(stuck.pid));
    kill(stuck.pid, SIGTERM);
    status = wait_exit(stuck.pid, 500);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 8);
    close(filler);
}

// The same full pipe, left full: the unit goes back 15 seconds after the
// client was let in, though "konsumuje" is still not written, and a stray
// SIGALRM meanwhile is no failure. Once the pipe is read, the lines follow.
// The client's parent left SIGALRM blocked, as a mask survives exec.
TEST_F(Klient, AVisitHoldsItsUnitFifteenSecondsWhateverBlocksTheOutput) {
    Child k = spawn(KLIENT_PATH, {}, [] {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        sigprocmask(SIG_BLOCK, &alarm, nullptr);
    });
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    size_t filled;
    int filler = fill_pipe(k.out, &filled);
    sem_set(ENTRY_SEM_KEY, 1);
    double let_in = seconds_now();
    ASSERT_TRUE(blocked_writing(k.pid));
    kill(k.pid, SIGALRM);
    ASSERT_TRUE(eventually([] { return sem_value(FREE_SEM_KEY) == 6; }, 17000));
    EXPECT_NEAR(seconds_now() - let_in, 15.0, 0.5);
    EXPECT_TRUE(blocked_writing(k.pid));
    char filling[4096]; // all there, ahead of the client's line
    for (ssize_t n; filled > 0 && (n = read(k.out, filling, std::min(filled, sizeof filling))) > 0;)
        filled -= static_cast<size_t>(n);
    EXPECT_EQ(read_line(k.out), consumes(k.pid));
    EXPECT_EQ(read_line(k.out), leaves(k.pid));
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    close(filler);
}

// The visit's alarm came while the client was stopped just after it armed it
// (a debugger, Ctrl-Z), before the write of "konsumuje" began: that write,
// into the same full pipe, is still broken off, and the unit goes back.
TEST_F(Klient, AVisitAlarmedBeforeItsWriteStillEnds) {
    pid_t pid;
    Child k = spawn_with_call_paused(KLIENT_PATH, "timer_settime", 1, &pid, CONSUME_SECONDS + 1);
    EXPECT_EQ(read_line(k.out), wants(pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    int filler = fill_pipe(k.out);
    sem_set(ENTRY_SEM_KEY, 1);
    await_pause(k); // armed: the alarm comes during the pause
    EXPECT_TRUE(eventually([] { return sem_value(FREE_SEM_KEY) == 6; },
                           (CONSUME_SECONDS + 1 + PAUSE_SECONDS) * 1000));
    close(filler);
}

// On a terminal that stops background jobs that write (stty tostop), a
// background client writes "konsumuje" while it holds its unit instead of
// stopping with it. A session on a pseudo-terminal: the client writes its
// first line in the foreground, and is let in once it is in the background.
TEST_F(Klient, ABackgroundClientOnAStoppingTerminalWritesWhileItHoldsAUnit) {
    sem_set(FREE_SEM_KEY, 4);
    sem_set(ENTRY_SEM_KEY, 0);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master != -1 && grantpt(master) == 0 && unlockpt(master) == 0);
    std::string slave = ptsname(master);
    pid_t leader = fork();
    if (leader == 0) {
        setsid();
        int tty = open(slave.c_str(), O_RDWR); // the session's terminal
        termios modes;
        tcgetattr(tty, &modes);
        modes.c_lflag |= TOSTOP;
        tcsetattr(tty, TCSANOW, &modes);
        signal(SIGTTOU, SIG_IGN); // to give the foreground back
        pid_t client = fork();
        if (client == 0) {
            setpgid(0, 0);
            eventually([tty] { return tcgetpgrp(tty) == getpgrp(); }); // in the foreground
            dup2(tty, STDOUT_FILENO);
            signal(SIGTTOU, SIG_DFL);
            execl(KLIENT_PATH, KLIENT_PATH, nullptr);
            _exit(127);
        }
        setpgid(client, client);
        tcsetpgrp(tty, client);
        eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; });
        tcsetpgrp(tty, getpgrp()); // the client is in the background now
        sem_set(ENTRY_SEM_KEY, 1);
        for (;;)
            pause();
    }
    spawned.list.push_back({leader, master, -1});
    std::string wants = read_line(master);
    pid_t client = 0;
    sscanf(wants.c_str(), "Klient %d", &client);
    ASSERT_GT(client, 0) << wants;
    EXPECT_EQ(read_line(master), "Klient " + std::to_string(client) + " konsumuje!\r\n");
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
    kill(client, SIGTERM);
    kill(client, SIGCONT);
    EXPECT_TRUE(eventually([] { return sem_value(FREE_SEM_KEY) == 5; }));
    kill(client, SIGKILL);
}

// Whatever name it was started under, a failure is one line of a sane
// length, in one write, the name's control bytes shown as escapes: no name
// forges a line, and no other program's line can land inside it.
TEST_F(Klient, AnyProgramNameMakesOneSafeLine) {
    char trace[] = "/tmp/klient-writes-XXXXXX";
    close(mkstemp(trace));
    const std::pair<std::string, std::string> names[] = {
        {std::string(1100, 'x'), std::string(64, 'x') + "...: "}, // its first 64 bytes
        {"k\nklient: fake\x1b[2J", "k\\x0aklient: fake\\x1b[2J: "},
        {"", "klient: "}, // none given: its own
    };
    for (const auto &[name, shown] : names) {
        Child k = spawn("/usr/bin/strace",
                        {"-qq", "-o", trace, "-e", "trace=write", "-e", "signal=none", "/bin/bash",
                         "-c", "exec -a \"$0\" \"$1\" > /dev/full", name, KLIENT_PATH},
                        no_leak_check);
        std::string said = read_rest(k.err);
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_LT(said.size(), 200u) << said;
        EXPECT_EQ(said.find('\x1b'), std::string::npos) << said;
        EXPECT_TRUE(said.starts_with(shown)) << said;
        EXPECT_TRUE(said.ends_with(": cannot write to standard output: No space left on device\n"))
            << said;
        EXPECT_EQ(wait_exit(k.pid), 1 << 8);
        std::ifstream writes(trace);
        int to_stderr = 0;
        for (std::string line; std::getline(writes, line);)
            to_stderr += line.starts_with("write(2,");
        EXPECT_EQ(to_stderr, 1);
    }
    unlink(trace);
}

// Each failure ends the client with one line naming the step, the key and the
// reason, and it announces nothing that did not happen.
TEST_F(Klient, FailedSemaphoreCallsEndTheClientWithOneLine) {
    Child waiting = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(waiting.out), wants(waiting.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    ASSERT_EQ(semctl(sem_id(ENTRY_SEM_KEY), 0, IPC_RMID), 0);
    EXPECT_EQ(read_rest(waiting.err),
              "klient: cannot lower the entry semaphore (key 66267): Identifier removed\n");
    EXPECT_EQ(read_rest(waiting.out), "");
    EXPECT_EQ(wait_exit(waiting.pid), 1 << 8);

    // Let in with the free set gone: it ends at once, not after a visit.
    Child guardless = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(guardless.out), wants(guardless.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID), 0);
    sem_set(ENTRY_SEM_KEY, 1);
    EXPECT_EQ(
        read_rest(guardless.err),
        "klient: cannot guard a unit on the free semaphore (key 66268): Invalid argument; and "
        "cannot give the unit back to the free semaphore (key 66268): Invalid argument\n");
    EXPECT_EQ(read_rest(guardless.out), "");
    EXPECT_EQ(wait_exit(guardless.pid), 1 << 8);

    sem_set(FREE_SEM_KEY, 32767); // the kernel's maximum value
    sem_set(ENTRY_SEM_KEY, 1);
    Child full = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(full.out), wants(full.pid));
    EXPECT_EQ(read_line(full.out), consumes(full.pid));
    kill(full.pid, SIGTERM);
    EXPECT_EQ(
        read_rest(full.err),
        "klient: cannot raise the free semaphore (key 66268): Numerical result out of range; the "
        "unit is lost\n");
    EXPECT_EQ(read_rest(full.out), "");
    EXPECT_EQ(wait_exit(full.pid), 1 << 8);

    // Raised to the maximum while a guarded unit is held: the guard has no
    // room to give it back either. And the free set removed while a client
    // consumes, another made under its key: the unit went with the old one.
    for (bool capped : {true, false}) {
        sem_set(FREE_SEM_KEY, 5);
        sem_set(ENTRY_SEM_KEY, 1);
        Child k = spawn(KLIENT_PATH);
        EXPECT_EQ(read_line(k.out), wants(k.pid));
        EXPECT_EQ(read_line(k.out), consumes(k.pid));
        sembuf to_maximum = {0, 32767 - 5, 0}; // a semop keeps the client's guard
        if (capped)
            ASSERT_EQ(semop(sem_id(FREE_SEM_KEY), &to_maximum, 1), 0);
        else
            ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID), 0);
        if (!capped)
            sem_set(FREE_SEM_KEY, 5); // another set, under the same key
        kill(k.pid, SIGTERM);
        EXPECT_EQ(read_rest(k.err),
                  capped ? "klient: cannot raise the free semaphore (key 66268): Numerical result "
                           "out of range; the unit is lost: at the semaphore's maximum its guard "
                           "cannot give it back\n"
                         : "klient: cannot raise the free semaphore (key 66268): Invalid "
                           "argument: the set was removed, and the unit with it\n");
        EXPECT_EQ(wait_exit(k.pid), 1 << 8);
        EXPECT_EQ(sem_value(FREE_SEM_KEY), capped ? 32767 : 5);
    }
    sem_set(FREE_SEM_KEY, 32767);

    // SIGPIPE is caught like SIGTERM, so that even a unit held without a
    // guard goes back (here once a unit is taken and there is room again).
    sem_set(ENTRY_SEM_KEY, 1);
    Child piped = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(piped.out), wants(piped.pid));
    EXPECT_EQ(read_line(piped.out), consumes(piped.pid));
    sembuf take = {0, -1, 0};
    ASSERT_EQ(semop(sem_id(FREE_SEM_KEY), &take, 1), 0);
    kill(piped.pid, SIGPIPE);
    EXPECT_EQ(read_rest(piped.out), leaves(piped.pid));
    int status = wait_exit(piped.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 32767);
}

static bool set_kernel_limits(const char *limits) {
    FILE *file = fopen("/proc/sys/kernel/sem", "w");
    return file != nullptr && fprintf(file, "%s\n", limits) > 0 && fclose(file) == 0;
}

// Kernel limits lowered in the test's own namespace (SEMMSL, SEMMNS, SEMOPM,
// SEMMNI): each fails the client before it announces or takes anything, and
// a set it made but could not start is removed again.
TEST_F(Klient, KernelLimitsFailBeforeAnythingIsTaken) {
    struct {
        const char *limits, *line;
        int free_after; // -1: no free set left
    } rows[] = {
        {"32000 1024000000 500 1", // room for one set: the entry set cannot be made
         "klient: cannot join the entry semaphore (key 66267): No space left on device\n", 5},
        {"32000 1024000000 1 32000", // one operation per call: no guard
         "klient: cannot guard a unit on the free semaphore (key 66268): Argument list too "
         "long\n",
         5},
        {"32000 1024000000 0 32000", // no operation: the free set cannot be started
         "klient: cannot join the free semaphore (key 66268): Argument list too long\n", -1},
        {"0 1024000000 500 32000", // no semaphore in a set: no set at all
         "klient: cannot join the free semaphore (key 66268): Invalid argument: the kernel "
         "allows no semaphore in a set (SEMMSL, the first value of kernel.sem, is 0)\n",
         -1},
    };
    for (auto [limits, line, free_after] : rows) {
        semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID);
        semctl(sem_id(ENTRY_SEM_KEY), 0, IPC_RMID);
        if (!set_kernel_limits(limits))
            GTEST_SKIP() << "cannot lower the kernel's semaphore limits here";
        Child k = spawn(KLIENT_PATH);
        EXPECT_EQ(read_rest(k.err), line);
        EXPECT_EQ(read_rest(k.out), "");
        EXPECT_EQ(wait_exit(k.pid), 1 << 8);
        EXPECT_EQ(sem_value(FREE_SEM_KEY), free_after) << limits;
    }

    // Lowered while the client waits: its guard fails once it is let in, and
    // the unit goes back to the free semaphore before the client ends.
    ASSERT_TRUE(set_kernel_limits("32000 1024000000 500 32000"));
    Child late = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(late.out), wants(late.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    ASSERT_TRUE(set_kernel_limits("32000 1024000000 1 32000"));
    sem_set(ENTRY_SEM_KEY, 1);
    EXPECT_EQ(read_rest(late.err), "klient: cannot guard a unit on the free semaphore (key 66268): "
                                   "Argument list too long\n");
    EXPECT_EQ(read_rest(late.out), "");
    EXPECT_EQ(wait_exit(late.pid), 1 << 8);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
}

// Sets made by another user, mode 0644, refuse this user's changes: both
// programs fail at the join, before any announcement, naming the owner.
TEST_F(Klient, AnotherUsersSetsAreNamedAtTheJoin) {
    constexpr uid_t NOBODY = 65534;
    pid_t probe = fork();
    if (probe == 0)
        _exit(setuid(NOBODY) == 0 ? 0 : 1);
    if (wait_exit(probe) != 0)
        GTEST_SKIP() << "cannot become another user here";
    sem_set(FREE_SEM_KEY, 5);
    sem_set(ENTRY_SEM_KEY, 0);
    struct Owner {
        uid_t uid;
        unsigned short mode;
        std::string said;
    };
    const Owner owners[] = {
        {0, 0644,
         "it belongs to root (uid 0), mode 0644; ask its owner to remove it, or start one shell "
         "in a private IPC namespace (unshare --map-root-user --ipc bash) and run the doorkeeper "
         "and every client from it\n"},
        {NOBODY, 0200,
         "it is your own set, mode 0200; once no program using it is running, remove it (ipcrm "
         "-S 66268) and start again\n"},
    };
    for (const Owner &owner : owners) {
        semid_ds ds = {};
        ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_STAT, &ds), 0);
        ds.sem_perm.uid = owner.uid;
        ds.sem_perm.mode = owner.mode;
        ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_SET, &ds), 0);
        for (const char *path : {KLIENT_PATH, DOORKEEPER_PATH}) {
            Child p = spawn(path, {}, [path] {
                // Opened first: the tree may lie where that user cannot go.
                int program = open(path, O_RDONLY | O_CLOEXEC);
                char *argv[] = {const_cast<char *>(path), nullptr};
                if (program != -1 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0)
                    fexecve(program, argv, environ);
                _exit(127);
            });
            std::string name = strrchr(path, '/') + 1;
            EXPECT_EQ(read_rest(p.err), name +
                                            ": cannot join the free semaphore (key 66268): "
                                            "Permission denied: " +
                                            owner.said);
            EXPECT_EQ(read_rest(p.out), "");
            EXPECT_EQ(wait_exit(p.pid), 1 << 8);
        }
    }
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
}

TEST_F(Klient, ManyClientsStartingAtOnceShareTwoSets) {
    constexpr int CLIENTS = 30;
    for (int i = 0; i < CLIENTS; i++)
        spawn(KLIENT_PATH);
    for (const Child &k : spawned.list)
        EXPECT_EQ(read_line(k.out), wants(k.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == CLIENTS; }));
    seminfo info = {};
    semctl(0, 0, SEM_INFO, &info);
    EXPECT_EQ(info.semusz, 2); // sets in use in this namespace
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
}

// A termination signal that arrives after the unit is taken but before the
// client has seen it must find the client holding the unit.
TEST_F(Klient, SignalJustAfterBeingLetInGivesTheUnitBack) {
    sem_set(FREE_SEM_KEY, 5);
    sem_set(ENTRY_SEM_KEY, 0);
    pid_t pid;
    // The second semop is the wait: the first is start-up's try of the guard.
    Child k = spawn_with_call_paused(KLIENT_PATH, "semop,semtimedop", 2, &pid);
    EXPECT_EQ(read_line(k.out), wants(pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    sem_set(ENTRY_SEM_KEY, 1);
    await_pause(k);
    kill(pid, SIGTERM);
    EXPECT_EQ(read_rest(k.out, 2 * PAUSE_SECONDS * 1000), consumes(pid) + leaves(pid));
    int status = wait_exit(k.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);
}
