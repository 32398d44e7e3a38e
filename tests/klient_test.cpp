// The real klient binary, end to end: its lines read from pipes, the
// semaphores read with semctl.
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <string>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Klient = PrivateIpc;

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
    Spawned k = spawn(KLIENT_PATH, {"--help", "x"}); // arguments change nothing
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
    Spawned creator = spawn_with_first_call_paused(KLIENT_PATH, "semget", &pid);
    await_pause(creator); // the free set exists, its starting value not yet given
    sembuf up = {0, 1, 0};
    ASSERT_EQ(semop(sem_id(FREE_SEM_KEY), &up, 1), 0);
    EXPECT_EQ(read_line(creator.out, 2 * PAUSE_SECONDS * 1000), wants(pid));
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);

    Spawned joiner = spawn_with_first_call_paused(KLIENT_PATH, "semget", &pid);
    await_pause(joiner); // its exclusive create has failed: the set exists
    ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID), 0);
    EXPECT_EQ(read_line(joiner.out, 2 * PAUSE_SECONDS * 1000), wants(pid));
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
}

TEST_F(Klient, CreatesTheMissingFreeSetAndAttachesToTheEntrySet) {
    sem_set(ENTRY_SEM_KEY, 4);
    Spawned k = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(k.out), wants(k.pid));
    EXPECT_EQ(read_line(k.out), consumes(k.pid));
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 3);
}

// Stopped for a while in the middle of its visit, a client still leaves 15
// seconds after it was let in: the time stopped is not added.
TEST_F(Klient, VisitLastsFifteenSecondsAndGivesOneUnitBack) {
    sem_set(ENTRY_SEM_KEY, 1);
    Spawned k = spawn(KLIENT_PATH);
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
    Spawned k = spawn(KLIENT_PATH);
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

TEST_F(Klient, AnySignalWhileWaitingChangesNoValue) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        Spawned k = spawn(KLIENT_PATH);
        EXPECT_EQ(read_line(k.out), wants(k.pid));
        ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
        kill(k.pid, sig);
        int status = wait_exit(k.pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_EQ(read_rest(k.out), "");
        EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
        EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
    }
}

// Caught signals give the unit back by hand and say so; any other death has
// the kernel give it back, through the guard.
TEST_F(Klient, AnyDeathWhileConsumingGivesTheUnitBack) {
    int given_back = 0;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL, SIGQUIT, SIGSEGV}) {
        bool caught = sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
        sem_set(ENTRY_SEM_KEY, 1);
        Spawned k = spawn(KLIENT_PATH, {}, [] {
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
    Spawned gone = spawn(KLIENT_PATH); // its reader goes away
    EXPECT_EQ(read_line(gone.out), wants(gone.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    close(gone.out);
    spawned.back().out = -1;
    sem_set(ENTRY_SEM_KEY, 1);
    int status = wait_exit(gone.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 6);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);

    // Standard output is a file that may grow by the first line only.
    sem_set(ENTRY_SEM_KEY, 1);
    Spawned full = spawn(KLIENT_PATH, {}, [] {
        FILE *file = tmpfile();
        dup2(fileno(file), STDOUT_FILENO);
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {};
        limit.rlim_cur = limit.rlim_max = wants(getpid()).size();
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(read_rest(full.err), "klient: cannot write to standard output: File too large\n");
    EXPECT_EQ(wait_exit(full.pid), 1 << 8);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 7);

    // A full pipe that nobody reads, filled through a description of the
    // test's own, so the client's stays blocking: SIGTERM still ends the
    // client, blocked writing "konsumuje" with its unit, at once.
    Spawned stuck = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(stuck.out), wants(stuck.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    std::string pipe_path = "/proc/self/fd/" + std::to_string(stuck.out);
    int filler = open(pipe_path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_NE(filler, -1) << strerror(errno);
    while (write(filler, "x", 1) == 1)
        ;
    sem_set(ENTRY_SEM_KEY, 1);
    std::string in_write = std::to_string(SYS_write) + " ";
    std::string syscall_path = "/proc/" + std::to_string(stuck.pid) + "/syscall";
    ASSERT_TRUE(eventually([&] {
        FILE *f = fopen(syscall_path.c_str(), "r");
        char call[64] = {};
        bool blocked = f != nullptr && fgets(call, sizeof call, f) != nullptr &&
                       std::string(call).starts_with(in_write);
        if (f != nullptr)
            fclose(f);
        return blocked && sem_value(ENTRY_SEM_KEY) == 0;
    }));
    kill(stuck.pid, SIGTERM);
    status = wait_exit(stuck.pid, 500);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 8);
    close(filler);
}

// Each failure ends the client with one line naming the step, the key and the
// reason, and it announces nothing that did not happen.
TEST_F(Klient, FailedSemaphoreCallsEndTheClientWithOneLine) {
    Spawned waiting = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(waiting.out), wants(waiting.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    ASSERT_EQ(semctl(sem_id(ENTRY_SEM_KEY), 0, IPC_RMID), 0);
    EXPECT_EQ(read_rest(waiting.err),
              "klient: cannot lower the entry semaphore (key 66267): Identifier removed\n");
    EXPECT_EQ(read_rest(waiting.out), "");
    EXPECT_EQ(wait_exit(waiting.pid), 1 << 8);

    // Let in with the free set gone: it ends at once, not after a visit.
    Spawned guardless = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(guardless.out), wants(guardless.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID), 0);
    sem_set(ENTRY_SEM_KEY, 1);
    EXPECT_EQ(read_rest(guardless.err),
              "klient: cannot guard a unit on the free semaphore (key 66268): Invalid argument\n");
    EXPECT_EQ(read_rest(guardless.out), "");
    EXPECT_EQ(wait_exit(guardless.pid), 1 << 8);

    sem_set(FREE_SEM_KEY, 32767); // the kernel's maximum value
    sem_set(ENTRY_SEM_KEY, 1);
    Spawned full = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(full.out), wants(full.pid));
    EXPECT_EQ(read_line(full.out), consumes(full.pid));
    kill(full.pid, SIGTERM);
    EXPECT_EQ(
        read_rest(full.err),
        "klient: cannot raise the free semaphore (key 66268): Numerical result out of range\n");
    EXPECT_EQ(read_rest(full.out), "");
    EXPECT_EQ(wait_exit(full.pid), 1 << 8);

    // With room for one more set only, the entry semaphore cannot be made.
    semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID);
    semctl(sem_id(ENTRY_SEM_KEY), 0, IPC_RMID);
    FILE *limits = fopen("/proc/sys/kernel/sem", "w");
    if (limits == nullptr || fprintf(limits, "32000 1024000000 500 1\n") < 0 || fclose(limits) != 0)
        GTEST_SKIP() << "cannot lower the limit on semaphore sets here";
    Spawned crowded = spawn(KLIENT_PATH);
    EXPECT_EQ(read_rest(crowded.err),
              "klient: cannot join the entry semaphore (key 66267): No space left on device\n");
    EXPECT_EQ(read_rest(crowded.out), "");
    EXPECT_EQ(wait_exit(crowded.pid), 1 << 8);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
}

TEST_F(Klient, ManyClientsStartingAtOnceShareTwoSets) {
    constexpr int CLIENTS = 30;
    for (int i = 0; i < CLIENTS; i++)
        spawn(KLIENT_PATH);
    for (const Spawned &k : spawned)
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
    Spawned k = spawn_with_first_call_paused(KLIENT_PATH, "semop,semtimedop", &pid);
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
