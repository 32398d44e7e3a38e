// The real klient binary, end to end, through its cycle: its lines read from
// pipes, the semaphores read with semctl.
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using Klient = PrivateIpc;

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
    EXPECT_EQ(read_line(k.out, 500), wants(k.pid)); // no pause before the next visit
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
