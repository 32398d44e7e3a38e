// The real klient binary, end to end, with its standard output failing,
// full or held up: whatever becomes of it, the unit comes back in time.
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

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
