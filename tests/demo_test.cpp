// The demo program and the grader, end to end: the demo's summary against
// the lines it passed through, its refusals, and the grader's card.
#include "demo_harness.hpp"
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Runs where the timing fixes the answer: by 10 s no visit has ended (and
// every client is inside, however loaded the machine), and at 20 s the
// first round (let in within its first 5 s) has ended and the second is
// inside. Sets of the caller's own, under the same keys, neither stop the run
// nor change: the run has its own.
TEST_F(Demo, CountsVisitsCutShortByTheStop) {
    sem_set(FREE_SEM_KEY, 2);
    sem_set(ENTRY_SEM_KEY, 7);
    expect_summary(run_demo({"--clients", "5", "--seconds", "10"}), 0, 5);
    EXPECT_EQ(sem_value(FREE_SEM_KEY), 2);
    EXPECT_EQ(sem_value(ENTRY_SEM_KEY), 7);
}

TEST_F(Demo, CountsVisitsCompletedBeforeTheStop) {
    expect_summary(run_demo({"--clients", "5", "--seconds", "20"}, 30000), 5, 5);
}

// SIGKILL to clients and to the doorkeeper, again and again, loses no unit.
TEST_F(Demo, ChaosLosesNoUnit) {
    DemoRun run = run_demo({"--clients", "8", "--seconds", "8", "--chaos"});
    int killed = -1, chaos = 0;
    for (const std::string &line : run.lines) {
        sscanf(line.c_str(), "-- %d killed with SIGKILL", &killed);
        chaos += line.starts_with("-- chaos: SIGKILL to ");
    }
    // Chaos kills every 1 to 3 s, from when everything has started (late on
    // a loaded machine); the count adds the 8 clients killed at the end (not
    // the doorkeeper, killed by its group).
    EXPECT_GE(chaos, 1);
    EXPECT_EQ(killed, chaos + 8);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_TRUE(run.lines.back().starts_with("-- every rule kept")) << run.lines.back();
    EXPECT_EQ(run.status, 0);
}

// The counterpart's arguments reach it as given: no shell between expands,
// splits or reads them.
TEST_F(Demo, PassesTheCounterpartsArgumentsAsGiven) {
    DemoRun run = run_demo(
        {"--clients", "1", "--seconds", "1", "--counterpart", "echo", "a  b", "$HOME", "~", "'"});
    EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), "counterpart: a  b $HOME ~ '"),
              run.lines.end());
}

// Stopped (Ctrl-Z) past two of its status lines, a run where nobody says
// anything still ends on time once continued.
TEST_F(Demo, StoppedAWhileAQuietRunStillEnds) {
    Child demo =
        spawn(DEMO_PATH, {"--clients", "1", "--seconds", "12", "--counterpart", "sleep", "60"});
    EXPECT_TRUE(read_line(demo.out).starts_with("Klient ")); // waits, and so is quiet
    ASSERT_EQ(kill(demo.pid, SIGSTOP), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(10500));
    ASSERT_EQ(kill(demo.pid, SIGCONT), 0);
    std::string rest = read_rest(demo.out, 5000);
    int status = wait_exit(demo.pid, 1000);
    EXPECT_TRUE(WIFEXITED(status)) << rest;
}

// What the demo could not judge it refuses before anything runs: one line,
// status 2, no set made.
TEST_F(Demo, RefusesARunItCouldNotJudge) {
    char source[] = "/tmp/klient-test-XXXXXX.c"; // as a student hands it in: not executable
    close(mkstemps(source, 2));
    // Executable, but not for this machine: empty, an ELF file for another,
    // and a script for an interpreter that is not there.
    char empty[] = "/tmp/klient-empty-XXXXXX", foreign[] = "/tmp/klient-foreign-XXXXXX",
         script[] = "/tmp/klient-script-XXXXXX";
    close(mkstemp(empty));
    close(mkstemp(foreign));
    close(mkstemp(script));
    std::ofstream(script) << "#! /nonexistent/sh -e\nexit 0\n";
    chmod(script, 0755);
    std::filesystem::copy_file(COUNTERPART_PATH, foreign,
                               std::filesystem::copy_options::overwrite_existing);
    std::fstream(foreign, std::ios::in | std::ios::out | std::ios::binary).seekp(18).put('\xb7');
    chmod(empty, 0755);
    chmod(foreign, 0755);
    char folder[] = "/tmp/klient-folder-XXXXXX"; // two programs, neither named run
    ASSERT_NE(mkdtemp(folder), nullptr);
    for (const char *name : {"/a", "/b"})
        std::filesystem::copy_file(script, std::string(folder) + name);
    struct Refused {
        std::vector<std::string> args;
        const char *said;
        rlim_t files = 0; // the hard limit on open files, if set
    };
    const Refused refused[] = {
        {{"--counterpart", "/nonexistent/odzwierny"}, "No such file or directory"},
        {{"--counterpart", source, "--", "-v"}, "Permission denied (a source file"},
        {{"--counterpart", "odzwierny-nowhere"}, "not found on the run's PATH"},
        {{"--counterpart", "."}, "not found on the run's PATH"}, // a folder is no command
        {{"--counterpart", empty}, "Exec format error (an empty file)"},
        {{"--counterpart", foreign}, "Exec format error (a program built for another machine)"},
        {{"--counterpart", script}, "No such file or directory (its interpreter, /nonexistent/sh)"},
        {{"--counterpart", folder}, "2 executable files in it: name the one to run 'run'"},
        {{"--clients", "200"}, "the hard limit is 100", 100},
    };
    for (const Refused &r : refused) {
        Child demo = spawn(DEMO_PATH, r.args, [&r] {
            rlimit limit = {r.files, r.files};
            if (r.files > 0)
                setrlimit(RLIMIT_NOFILE, &limit);
        });
        std::string said = read_rest(demo.err);
        EXPECT_NE(said.find(r.said), std::string::npos) << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        int status = wait_exit(demo.pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << said;
        EXPECT_EQ(sem_id(FREE_SEM_KEY), -1);
    }
    unlink(source);
    unlink(empty);
    unlink(foreign);
    unlink(script);
    std::filesystem::remove_all(folder);
}

// Installed under a prefix, as the package and a by-hand install put them,
// the grader finds its demo (which lies elsewhere), and the demo its programs.
TEST_F(Demo, RunsInstalled) {
    char prefix[] = "/tmp/klient-installed-XXXXXX";
    ASSERT_NE(mkdtemp(prefix), nullptr);
    Child install = spawn(CMAKE_PATH, {"--install", BUILD_DIR, "--prefix", prefix});
    read_rest(install.out, 20000);
    ASSERT_EQ(wait_exit(install.pid, 5000), 0) << read_rest(install.err);
    std::string dir = prefix, missing = dir + "/missing";
    Child grader = spawn((dir + "/bin/klient-grade").c_str(), {"--logs", dir + "/logs", missing});
    std::string card = read_rest(grader.out, 20000);
    int status = wait_exit(grader.pid, 5000);
    EXPECT_TRUE(card.starts_with("counterpart ")) << card << read_rest(grader.err);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    DemoRun run = run_demo({"--clients", "1", "--seconds", "1"}, 20000,
                           (dir + "/libexec/klient/demo").c_str());
    ASSERT_FALSE(run.lines.empty());
    EXPECT_TRUE(run.lines.back().starts_with("-- every rule kept")) << run.lines.back();
    std::filesystem::remove_all(prefix);
}
