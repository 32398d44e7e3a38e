#include "harness.hpp"
#include "shared_semaphores.hpp"
#include "unstarted_set.hpp"

#include <cerrno>
#include <csignal>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

using SharedSemaphores = PrivateIpc;

TEST_F(SharedSemaphores, JoinCreatesOnceWithTheStartingValueThenAttaches) {
    int free_sem = join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL);
    int entry_sem = join_semaphore(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL);
    ASSERT_NE(free_sem, -1);
    ASSERT_NE(entry_sem, -1);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
    semid_ds ds = {};
    ASSERT_EQ(semctl(free_sem, 0, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.sem_perm.mode & 0777, 0644u);
    EXPECT_EQ(ds.sem_nsems, 1u);

    sem_set(FREE_SEM_KEY, 3);
    sem_set(ENTRY_SEM_KEY, 2);
    EXPECT_EQ(join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL), free_sem);
    EXPECT_EQ(join_semaphore(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL), entry_sem);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 3);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 2);
}

// A set started and then drained to 0, every unit taken and passed on, is no
// half-made set: no warning, and no wait for its maker, also from a PID
// namespace that cannot see who changed it last.
TEST_F(SharedSemaphores, ASetDrainedToZeroWasStarted) {
    int free_sem = join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL);
    int entry_sem = join_semaphore(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL);
    for (int i = 0; i < FREE_SEM_INITIAL; i++)
        ASSERT_TRUE(semaphore_down(free_sem, 0, nullptr) == 0 && semaphore_up(entry_sem, 0) == 0);
    double start = seconds_now();
    EXPECT_FALSE(stays_unstarted(free_sem, entry_sem));
    pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) == -1)
            _exit(2);
        pid_t inner = fork(); // the first process of the new namespace
        if (inner == 0)
            _exit(semctl(free_sem, 0, GETPID) == 0 && !stays_unstarted(free_sem, entry_sem) ? 0
                                                                                            : 1);
        int status;
        _exit(waitpid(inner, &status, 0) == inner && WIFEXITED(status) ? WEXITSTATUS(status) : 3);
    }
    EXPECT_EQ(wait_exit(outer), 0) << "1: warned, 2: no PID namespace";
    EXPECT_LT(seconds_now() - start, 1.0);
}

TEST_F(SharedSemaphores, DownAndUpMoveOneUnitAndReportFailures) {
    int id = join_semaphore(ENTRY_SEM_KEY, 1);
    EXPECT_EQ(semaphore_up(id, 0), 0);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 2);
    EXPECT_EQ(semaphore_down(id, 0, nullptr), 0);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 1);

    // Once cancelled (a termination signal caught), a down takes nothing.
    volatile sig_atomic_t cancel = SIGTERM;
    EXPECT_EQ(semaphore_down(id, 0, &cancel), -1);
    EXPECT_EQ(errno, EINTR);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 1);

    sem_set(ENTRY_SEM_KEY, 32767); // the kernel's maximum value
    EXPECT_EQ(semaphore_up(id, 0), -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(guard_unit(id), -1); // no room for the guard's +1
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 32767);

    ASSERT_EQ(semctl(id, 0, IPC_RMID), 0);
    EXPECT_EQ(semaphore_down(id, 0, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(semaphore_up(id, 0), -1);
}

// Each step runs in a child that then dies, so that the kernel settles its
// guard: the value afterwards shows what a death at that point would leave.
TEST_F(SharedSemaphores, AGuardedUnitComesBackOnceWhateverEndsTheHolder) {
    int id = join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL);
    auto die_after = [](const std::function<void()> &steps) {
        pid_t pid = fork();
        if (pid == 0) {
            steps();
            _exit(0);
        }
        EXPECT_EQ(wait_exit(pid), 0);
        return sem_value(FREE_SEM_KEY);
    };
    EXPECT_EQ(die_after([id] { guard_unit(id); }), 6); // a held unit comes back
    EXPECT_EQ(die_after([id] {
                  guard_unit(id);
                  semaphore_up(id, SEM_UNDO);
              }),
              7); // given back once, not twice
    EXPECT_EQ(die_after([id] { semaphore_down(id, SEM_UNDO, nullptr); }), 7); // a guarded unit
    EXPECT_EQ(die_after([id] {
                  semaphore_down(id, SEM_UNDO, nullptr);
                  drop_guard(id);
              }),
              6);                                     // passed on
    EXPECT_EQ(die_after([id] { try_guard(id); }), 6); // tried, and nothing left to undo
}
