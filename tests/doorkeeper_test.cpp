// The doorkeeper with real clients, and how it ends.
#include "harness.hpp"
#include "lines_and_failures.hpp"
#include "shared_semaphores.hpp"
#include "unstarted_set.hpp"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <initializer_list>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Doorkeeper = PrivateIpc;

// More clients than units: the first five get in at once, the others only
// when a visit ends 15 seconds later. Then everyone is stopped wherever they
// stand, and every unit is back.
TEST_F(Doorkeeper, LetsAtMostFiveInAndEveryoneIsServed) {
    constexpr int CLIENTS = 7;
    Child door = spawn(DOORKEEPER_PATH);
    for (int i = 0; i < CLIENTS; i++)
        spawn(KLIENT_PATH);
    double start = seconds_now();
    std::map<pid_t, double> entered; // first "konsumuje" of each client
    while (entered.size() < CLIENTS && seconds_now() - start < 20) {
        std::vector<pollfd> fds; // the clients' pipes, in the order they were spawned
        for (size_t i = 1; i < spawned.list.size(); i++)
            fds.push_back({spawned.list[i].out, POLLIN, 0});
        poll(fds.data(), fds.size(), 1000);
        for (size_t i = 1; i < spawned.list.size(); i++)
            if (fds[i - 1].revents & POLLIN) {
                pid_t pid = spawned.list[i].pid;
                if (read_line(spawned.list[i].out) == announcement("konsumuje", pid))
                    entered.try_emplace(pid, seconds_now() - start);
            }
    }
    ASSERT_EQ(entered.size(), CLIENTS) << "not every client was let in";
    for (int i = 1; i <= CLIENTS; i++) // written out as each one is let in
        EXPECT_EQ(read_line(door.out),
                  "doorkeeper: let one in (admission " + std::to_string(i) + ")\n");
    int early = 0;
    for (const auto &[pid, when] : entered)
        early += when < 14;
    EXPECT_EQ(early, FREE_SEM_INITIAL);

    kill(door.pid, SIGTERM);
    EXPECT_TRUE(WIFSIGNALED(wait_exit(door.pid)));
    for (size_t i = 1; i < spawned.list.size(); i++)
        kill(spawned.list[i].pid, SIGTERM);
    for (size_t i = 1; i < spawned.list.size(); i++)
        EXPECT_TRUE(WIFSIGNALED(wait_exit(spawned.list[i].pid)));
    EXPECT_EQ(sem_value(FREE_SEM_KEY) + sem_value(ENTRY_SEM_KEY), FREE_SEM_INITIAL);
}

// A signal that arrives after a unit is taken but before the doorkeeper has
// seen it: the unit goes back, by hand on SIGTERM, by the kernel on SIGKILL,
// and nobody is let in.
TEST_F(Doorkeeper, DeathWhileHoldingAUnitGivesItBack) {
    sem_set(ENTRY_SEM_KEY, 0);
    for (int sig : {SIGTERM, SIGKILL}) {
        sem_set(FREE_SEM_KEY, 0);
        pid_t pid;
        // The second semop is the wait: the first is start-up's try of the guard.
        Child door = spawn_with_call_paused(DOORKEEPER_PATH, "semop,semtimedop", 2, &pid);
        ASSERT_TRUE(eventually([] { return sem_waiting(FREE_SEM_KEY) == 1; }));
        sem_set(FREE_SEM_KEY, 1);
        await_pause(door);
        kill(pid, sig);
        int status = wait_exit(door.pid, 2 * PAUSE_SECONDS * 1000);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_EQ(sem_value(FREE_SEM_KEY), 1) << strsignal(sig);
        EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 0);
        EXPECT_EQ(read_rest(door.out), "");
    }
}

TEST_F(Doorkeeper, FailedRaiseGivesTheUnitBack) {
    sem_set(ENTRY_SEM_KEY, 32767); // the kernel's maximum value
    Child door = spawn(DOORKEEPER_PATH);
    EXPECT_EQ(read_rest(door.err), "doorkeeper: cannot raise the entry semaphore (key 66267): "
                                   "Numerical result out of range\n");
    EXPECT_EQ(wait_exit(door.pid), 1 << 8);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 5);
    EXPECT_EQ(read_rest(door.out), "");
}

// The same user, without a capability that passes over a set's mode
// (CAP_IPC_OWNER), now or after its exec. Before an exec.
static void without_capabilities() {
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (geteuid() == 0 && (prctl(PR_SET_SECUREBITS, SECBIT_NOROOT | SECBIT_NOROOT_LOCKED) == -1 ||
                           syscall(SYS_capset, &header, none) == -1))
        _exit(125);
}

// A failure that leaves the unit to the guard, which gives it back only as
// the doorkeeper ends, is not held up by a standard error nobody reads: the
// line waits its second at most. The sets' mode refuses the doorkeeper's
// change once it waits.
TEST_F(Doorkeeper, AGuardedUnitIsNotHeldByAFullStandardError) {
    Child door = spawn(DOORKEEPER_PATH, {}, without_capabilities);
    ASSERT_TRUE(eventually([] { return sem_waiting(FREE_SEM_KEY) == 1; }));
    int filler = open(("/proc/self/fd/" + std::to_string(door.err)).c_str(), O_WRONLY | O_NONBLOCK);
    while (write(filler, "x", 1) == 1) // standard error full
        ;
    semid_ds ds = {};
    ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_STAT, &ds), 0);
    ds.sem_perm.mode = 0400;
    ASSERT_EQ(semctl(sem_id(FREE_SEM_KEY), 0, IPC_SET, &ds), 0);
    sembuf one = {0, 1, 0};
    ASSERT_EQ(semop(sem_id(FREE_SEM_KEY), &one, 1), 0);
    // Held, it would wait for ever; the bound leaves room for a loaded machine.
    EXPECT_EQ(wait_exit(door.pid, (GUARDED_LINE_SECONDS + 10) * 1000), 1 << 8);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 1);
    close(filler);
}

// A maker killed between making the free set and starting it leaves it at 0
// for good: whoever joins it later says so, once, and goes on as before, also
// after a doorkeeper that waited on it has ended. A set given its value with
// SETVAL, which no semop has touched either, is no such set, and neither is one
// whose maker is only slow.
TEST_F(Doorkeeper, SaysOnceThatTheFreeSetWasNeverStarted) {
    const std::string unstarted =
        "doorkeeper: the free semaphore (key 66268) looks made but never given its starting "
        "value, its maker ended or stalled: it is at 0 and no process seen from here ever raised "
        "it (from a child PID namespace, one outside is not seen); once no program using it is "
        "running, remove it (ipcrm -S 66268) and start again\n";
    pid_t pid;
    Child maker = spawn_with_call_paused(KLIENT_PATH, "semget", 1, &pid);
    await_pause(maker); // the free set is made, its starting value not yet given
    kill(pid, SIGKILL);
    EXPECT_NE(wait_exit(maker.pid, 2 * PAUSE_SECONDS * 1000), -1); // strace, once it has seen that
    Child first = spawn(DOORKEEPER_PATH);
    // Said once the set is too old for a maker that is merely slow.
    EXPECT_EQ(read_line(first.err, (START_GRACE_SECONDS + 2) * 1000), unstarted);
    ASSERT_TRUE(eventually([] { return sem_waiting(FREE_SEM_KEY) == 1; }));
    kill(first.pid, SIGKILL); // its exit stamps the set's last-operation time
    EXPECT_TRUE(WIFSIGNALED(wait_exit(first.pid)));
    Child door = spawn(DOORKEEPER_PATH);
    EXPECT_EQ(read_line(door.err), unstarted);
    ASSERT_TRUE(eventually([] { return sem_waiting(FREE_SEM_KEY) == 1; }));
    sem_set(FREE_SEM_KEY, 1); // a counterpart may still raise it
    EXPECT_EQ(read_line(door.out), "doorkeeper: let one in (admission 1)\n");
    EXPECT_EQ(read_line(door.err, 300), "");

    semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID);
    sem_set(FREE_SEM_KEY, 1);
    Child other = spawn(DOORKEEPER_PATH);
    EXPECT_EQ(read_line(other.out), "doorkeeper: let one in (admission 1)\n");
    EXPECT_EQ(read_line(other.err, 300), "");

    semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID);
    Child slow = spawn_with_call_paused(KLIENT_PATH, "semget", 1, &pid, 1);
    await_pause(slow);
    Child patient = spawn(DOORKEEPER_PATH);
    EXPECT_EQ(read_line(patient.out), "doorkeeper: let one in (admission 1)\n");
    EXPECT_EQ(read_line(patient.err, 300), "");
}
