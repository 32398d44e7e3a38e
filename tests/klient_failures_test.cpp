// The real klient binary, end to end, where a call fails: one line that
// says what failed and what became of the unit, under any name.
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <initializer_list>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

using Klient = PrivateIpc;

// k ends with status 1, having said line on standard error and nothing more
// on standard output.
static void expect_ends_saying(const Child &k, const std::string &line) {
    EXPECT_EQ(read_rest(k.err), line);
    EXPECT_EQ(read_rest(k.out), "");
    EXPECT_EQ(wait_exit(k.pid), 1 << 8);
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
    expect_ends_saying(
        waiting, "klient: cannot lower the entry semaphore (key 66267): Identifier removed\n");

    // Let in with the free set gone: it ends at once, not after a visit.
    Child guardless = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(guardless.out), wants(guardless.pid));
    ASSERT_TRUE(eventually([] { return sem_waiting(ENTRY_SEM_KEY) == 1; }));
    ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID), 0);
    sem_set(ENTRY_SEM_KEY, 1);
    expect_ends_saying(
        guardless,
        "klient: cannot guard a unit on the free semaphore (key 66268): Invalid argument; and "
        "cannot give the unit back to the free semaphore (key 66268): Invalid argument\n");
}

// A raise that fails says where the unit went: lost at the semaphore's
// maximum, guarded or not, and gone with a set removed; and SIGPIPE is
// caught like SIGTERM.
TEST_F(Klient, ARaiseThatFailsSaysWhereTheUnitWent) {
    sem_set(FREE_SEM_KEY, 32767); // the kernel's maximum value
    sem_set(ENTRY_SEM_KEY, 1);
    Child full = spawn(KLIENT_PATH);
    EXPECT_EQ(read_line(full.out), wants(full.pid));
    EXPECT_EQ(read_line(full.out), consumes(full.pid));
    kill(full.pid, SIGTERM);
    expect_ends_saying(
        full,
        "klient: cannot raise the free semaphore (key 66268): Numerical result out of range; the "
        "unit is lost\n");

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
    expect_ends_saying(late, "klient: cannot guard a unit on the free semaphore (key 66268): "
                             "Argument list too long\n");
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
