// The demo program and the grader, end to end: the demo's summary against
// the lines it passed through, its refusals, and the grader's card.
#include "demo_harness.hpp"
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

// Runs where the timing fixes the answer: by 5 s no visit has ended, and at
// 20 s the first round (let in within its first 5 s, however loaded the
// machine) has ended and the second is inside.
TEST_F(Demo, CountsVisitsCutShortByTheStop) {
    expect_summary(run_demo({"--clients", "5", "--seconds", "5"}), 0, 5);
}

TEST_F(Demo, CountsVisitsCompletedBeforeTheStop) {
    expect_summary(run_demo({"--clients", "5", "--seconds", "20"}, 30000), 5, 5);
}

// SIGKILL to clients and to the doorkeeper, again and again, loses no unit.
TEST_F(Demo, ChaosLosesNoUnit) {
    DemoRun run = run_demo({"--clients", "8", "--seconds", "8", "--chaos"});
    int killed = -1;
    for (const std::string &line : run.lines)
        sscanf(line.c_str(), "-- %d killed with SIGKILL", &killed);
    // Chaos kills every 1 to 3 s, so at least twice in 8 s; the count adds the
    // 8 clients killed at the end (not the doorkeeper, killed by its group).
    EXPECT_GE(killed, 2 + 8);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_TRUE(run.lines.back().starts_with("-- every rule kept")) << run.lines.back();
    EXPECT_EQ(run.status, 0);
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
    struct Refused {
        std::vector<std::string> args;
        const char *said;
        rlim_t files = 0; // the hard limit on open files, if set
    };
    const Refused refused[] = {
        {{"--counterpart", "/nonexistent/odzwierny"}, "No such file or directory"},
        {{"--counterpart", std::string("'") + source + "' -v"}, "Permission denied (a source file"},
        {{"--counterpart", "odzwierny-nowhere"}, "not found on the run's PATH"},
        {{"--counterpart", empty}, "Exec format error (an empty file)"},
        {{"--counterpart", foreign}, "Exec format error (a program built for another machine)"},
        {{"--counterpart", script}, "No such file or directory (its interpreter, /nonexistent/sh)"},
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
}

// klient-grade on what cannot run: a build that fails is the counterpart's
// fault, a missing source is no verdict; both in the report.
TEST_F(Demo, GradesWhatDoesNotBuild) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string bad = std::string(dir) + "/bad.c", report = std::string(dir) + "/report.tsv";
    FILE *f = fopen(bad.c_str(), "w");
    fputs("int main( { return 0 }\n", f);
    fclose(f);
    std::string said; // on standard error
    auto grade = [&](std::vector<std::string> sources) {
        std::vector<std::string> args = {"--logs", dir, "--report", report};
        args.insert(args.end(), sources.begin(), sources.end());
        Child grader = spawn(KLIENT_GRADE_PATH, args);
        std::string card = read_rest(grader.out, 100000);
        said = read_rest(grader.err);
        int status = wait_exit(grader.pid, 5000);
        return std::pair(card, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    };
    // A build is contained as a run is: as the run's user, which is not the
    // teacher where the grader is the real root, so that an include or a
    // link reaches nothing of the teacher's; and no name or line reaches the
    // terminal raw.
    std::string hidden = std::string(dir) + "/teachers", secret = hidden + "/secret";
    mkdir(hidden.c_str(), 0700);
    std::ofstream(secret) << "SECRET-LINE\n";
    std::ofstream(std::string(dir) + "/includes.c") << "#include \"" << secret << "\"\n";
    std::ofstream(hidden + "/reference.c") << "int main() {}\n";
    ASSERT_EQ(symlink((hidden + "/reference.c").c_str(), (std::string(dir) + "/link.c").c_str()),
              0);
    std::string odd = std::string(dir) + "/-odd\033[2J\n.c";
    std::ofstream(odd) << "int main( {\n";
    chmod(dir, 0755); // as a class's folder is: the run's user reads in it
    auto [listed, listed_status] = grade({"--list", bad, std::string(dir) + "/missing.c"});
    EXPECT_EQ(listed_status, 0);
    EXPECT_EQ(said, "") << said; // nothing built, nothing run
    for (const char *line : {"/bad.c: a source, built with cc -O2, then run\n",
                             "/missing.c: cannot read it: No such file or directory\n",
                             "run term-main: demo --clients 8 --stop first --seconds 35\n"})
        EXPECT_NE(listed.find(line), std::string::npos) << listed;
    auto [card, status] = grade({"--", bad, std::string(dir) + "/missing.c", odd,
                                 std::string(dir) + "/includes.c", std::string(dir) + "/link.c",
                                 std::string(dir) + "/../" + (strrchr(dir, '/') + 1) + "/bad.c"});
    EXPECT_NE(said.find("/bad.c is named twice: graded once\n"), std::string::npos) << said;
    EXPECT_NE(card.find("build failed: "), std::string::npos) << card;
    EXPECT_EQ(status, 2) << card; // missing.c is not graded, which outweighs the faults
    EXPECT_EQ(card.find('\033'), std::string::npos) << card;
    EXPECT_EQ(std::count(card.begin(), card.end(), '\n'), 1 + 5 + 2) << card; // a row each
    std::ifstream map("/proc/self/uid_map");
    std::string uid_map((std::istreambuf_iterator<char>(map)), std::istreambuf_iterator<char>());
    if (geteuid() == 0 && uid_map.find("4294967295") != std::string::npos) { // the real root
        EXPECT_EQ(card.find("SECRET-LINE"), std::string::npos) << card;
        EXPECT_NE(card.find("cannot read " + std::string(dir) + "/link.c with the rights"),
                  std::string::npos)
            << card;
    }
    std::ifstream tsv(report);
    std::string header, line;
    std::getline(tsv, header);
    EXPECT_EQ(header, "counterpart\trun\tverdict\tfaults\tlog");
    std::set<std::string> verdicts; // the third field of each line
    while (std::getline(tsv, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 3; i++)
            std::getline(fields, field, '\t');
        verdicts.insert(field);
    }
    EXPECT_EQ(verdicts, (std::set<std::string>{"faulty", "not judged"}));
    EXPECT_EQ(grade({std::string(dir) + "/missing.c"}).second, 2);
    std::filesystem::remove_all(dir);
}

// A counterpart that keeps a unit for itself is faulty in each of the six
// runs, by the verdict each demo wrote: units lost, and withheld from the
// clients waiting where there are more of them than units.
TEST_F(Demo, GradesAFaultyCounterpartEveryRun) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    std::string source = std::string(dir) + "/keeps.c", logs = std::string(dir) + "/logs";
    std::ofstream(source)
        << "#include <sys/sem.h>\n"
           "int main(void) {\n"
           "    int f = semget(66268, 1, 0644 | IPC_CREAT | IPC_EXCL), e;\n"
           "    struct sembuf down = {0, -1, 0}, up = {0, 1, 0}, five = {0, 5, 0};\n"
           "    if (f != -1)\n"
           "        semop(f, &five, 1);\n"
           "    f = semget(66268, 1, 0644 | IPC_CREAT);\n"
           "    e = semget(66267, 1, 0644 | IPC_CREAT);\n"
           "    semop(f, &down, 1); /* one kept for ever */\n"
           "    for (;;)\n"
           "        if (semop(f, &down, 1) == 0)\n"
           "            semop(e, &up, 1);\n"
           "}\n";
    Child grader = spawn(KLIENT_GRADE_PATH, {"--jobs", "6", "--logs", logs, source});
    std::string card = read_rest(grader.out, 100000);
    int status = wait_exit(grader.pid, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << card;
    std::istringstream rows(card);
    std::string header, row;
    std::getline(rows, header);
    std::getline(rows, row);
    size_t cells = 0; // "units", and more, in each run's
    for (size_t at = row.find("  units"); at != std::string::npos; at = row.find("  units", at + 1))
        cells++;
    EXPECT_EQ(cells, 6u) << card;
    EXPECT_NE(row.find("  faulty       0/6   " + logs + "/01-keeps_c.counterpart-first.log"),
              std::string::npos)
        << card;
    std::ifstream verdict(logs + "/01-keeps_c.50-clients.verdict");
    std::string all((std::istreambuf_iterator<char>(verdict)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(all.starts_with("units\tfree + entry is 4 after the stop")) << all;
    EXPECT_NE(all.find("\nwithheld units\t"), std::string::npos) << all;
    std::filesystem::remove_all(dir);
}

// A log the grader cannot write is the grader's failure: the run is ended
// and not judged, and the grading ends with 2, never a verdict on the
// student. Here the logs lie on a memory file system that is full.
TEST_F(Demo, ALogItCannotWriteIsTheGradersFailure) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    std::string graded = std::string(dir) + "/door", logs = std::string(dir) + "/logs";
    std::filesystem::copy_file(DOORKEEPER_PATH, graded);
    mkdir(logs.c_str(), 0755);
    Child grader = spawn(KLIENT_GRADE_PATH, {"--logs", logs, graded}, [&logs] {
        if (unshare(CLONE_NEWNS) == -1 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1 ||
            mount("full", logs.c_str(), "tmpfs", 0, "size=8k") == -1)
            _exit(125);
        int fill = open((logs + "/fill").c_str(), O_WRONLY | O_CREAT, 0600);
        while (write(fill, "x", 1) == 1)
            ;
        close(fill);
    });
    std::string card = read_rest(grader.out, 20000), said = read_rest(grader.err);
    int status = wait_exit(grader.pid, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status << said;
    EXPECT_NE(said.find("klient-grade: cannot write " + logs +
                        "/01-door.counterpart-first.log: "
                        "No space left on device\n"),
              std::string::npos)
        << said;
    EXPECT_EQ(std::count(card.begin(), card.end(), '\n'), 1 + 1 + 2) << card;
    EXPECT_EQ(card.find(" ok "), std::string::npos) << card;
    EXPECT_NE(card.find("  not judged (No space left on device)  "), std::string::npos) << card;
    EXPECT_NE(card.find("  not judged   0/6\n"), std::string::npos) << card; // its mark
    std::filesystem::remove_all(dir);
}

// Interrupted, the grader ends its runs and still writes the card and the
// report, each run not done marked so, and says it could not grade.
TEST_F(Demo, GradingInterruptedKeepsTheCard) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755); // as a class's folder is: the run's user reads in it
    std::string report = std::string(dir) + "/report.tsv", graded = std::string(dir) + "/door";
    std::filesystem::copy_file(DOORKEEPER_PATH, graded);
    std::string group = test_control_group();
    Child grader = spawn(KLIENT_GRADE_PATH, {"--logs", dir, "--report", report, graded}, [&group] {
        if (!group.empty())
            std::ofstream(group + "/cgroup.procs") << "0";
    });
    std::string said = read_line(grader.err, 10000); // the runs have started
    ASSERT_TRUE(said.starts_with("klient-grade: 6 runs")) << said;
    for (int waited = 0; !group.empty() && !counterpart_group_below(group) && waited < 10000;
         waited += 10)
        usleep(10000);
    ASSERT_EQ(kill(grader.pid, SIGTERM), 0);
    std::string card = read_rest(grader.out, 10000);
    int status = wait_exit(grader.pid, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_EQ(read_rest(grader.err), "klient-grade: interrupted: 0 of 6 runs done\n");
    std::istringstream rows(card);
    std::string header, row;
    std::getline(rows, header);
    std::getline(rows, row);
    EXPECT_TRUE(row.starts_with(graded)) << card;
    std::istringstream cells(row.substr(graded.size()));
    std::vector<std::string> marked(6, "interrupted"); // each run's, then the mark
    marked.insert(marked.end(), {"interrupted", "0/6"});
    EXPECT_EQ(std::vector<std::string>(std::istream_iterator<std::string>(cells), {}), marked)
        << card;
    std::ifstream tsv(report);
    std::string tsv_all((std::istreambuf_iterator<char>(tsv)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(tsv_all.begin(), tsv_all.end(), '\n'), 7) << tsv_all;
    EXPECT_EQ(tsv_all.find("\tok\t"), std::string::npos) << tsv_all;
    if (!group.empty()) {
        EXPECT_EQ(groups_left(group), 0u) << "the grading left a control group behind";
    }
    std::filesystem::remove_all(dir);
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
