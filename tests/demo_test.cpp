// The demo program: its summary against the lines it passed through, and the
// counting of visits behind it.
#include "chaos.hpp"
#include "harness.hpp"
#include "shared_semaphores.hpp"
#include "visit_count.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <netinet/in.h>
#include <ostream>
#include <poll.h>
#include <random>
#include <sched.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

struct DemoRun {
    std::vector<std::string> lines;
    int status; // its exit status, or -1
};

class Demo : public PrivateIpc {
  protected:
    DemoRun run_demo(std::vector<std::string> args, int timeout_ms = 20000,
                     const char *demo_path = DEMO_PATH,
                     const std::function<void()> &in_child = {}) {
        Child demo = spawn(demo_path, args, in_child);
        std::istringstream out(read_rest(demo.out, timeout_ms)); // a status line every 5 s
        DemoRun run;
        for (std::string line; std::getline(out, line);)
            run.lines.push_back(line);
        int status = wait_exit(demo.pid, 5000);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }
    // The summary's counts, its sum against the "ucieka" lines passed
    // through, and every rule kept.
    void expect_summary(const DemoRun &run, int completed, int cut_short) {
        int leaves = 0, said_completed = -1, said_cut_short = -1;
        for (const std::string &line : run.lines) {
            leaves += line.starts_with("Klient ") && line.ends_with(" ucieka!");
            sscanf(line.c_str(), "-- %d visits completed, %d cut short by the stop",
                   &said_completed, &said_cut_short);
        }
        EXPECT_EQ(said_completed, completed);
        EXPECT_EQ(said_cut_short, cut_short);
        EXPECT_EQ(leaves, completed + cut_short);
        ASSERT_FALSE(run.lines.empty());
        EXPECT_TRUE(run.lines.back().starts_with("-- every rule kept")) << run.lines.back();
        EXPECT_EQ(run.status, 0);
    }
    // The demo's programs run in process groups of their own: only the demo
    // can end them, and it does so on SIGTERM.
    void TearDown() override {
        for (const Child &s : spawned.list)
            if (kill(s.pid, SIGTERM) == 0)
                wait_exit(s.pid, 15000);
        PrivateIpc::TearDown();
    }
};

// Runs where the timing fixes the answer: by 5 s no visit has ended, and at
// 20 s the first round (let in within its first 5 s, however loaded the
// machine) has ended and the second is inside.
TEST_F(Demo, CountsVisitsCutShortByTheStop) {
    expect_summary(run_demo({"--clients", "5", "--seconds", "5"}), 0, 5);
}

TEST_F(Demo, CountsVisitsCompletedBeforeTheStop) {
    expect_summary(run_demo({"--clients", "5", "--seconds", "20"}, 30000), 5, 5);
}

// A visit is cut short if its client was inside when the stop was sent, even
// if it had been let in but not yet said "konsumuje" when it was frozen.
TEST(VisitCount, CountsEachVisitByWhereItsClientStoodAtTheStop) {
    VisitCount count;
    auto say = [&count](size_t client, const char *what) {
        count_line(&count, client, static_cast<pid_t>(client),
                   "Klient " + std::to_string(client) + " " + what + "!");
    };
    say(1, "chce wejsc");
    say(1, "konsumuje");
    say(1, "ucieka");
    say(1, "chce wejsc");
    say(2, "chce wejsc");
    say(2, "konsumuje");
    say(3, "chce wejsc");
    say(4, "chce wejsc");
    say(4, "konsumuje");
    count_end(&count, 4); // killed inside: no visit counted
    EXPECT_EQ(count_inside(count), 1);
    count_stop(&count);
    say(2, "ucieka");
    say(3, "konsumuje"); // let in just before it was frozen
    say(3, "ucieka");
    EXPECT_EQ(count.completed, 1);
    EXPECT_EQ(count.cut_short, 2);
}

// A line that its client's cycle does not allow, or that carries another
// pid, is not counted: a counterpart may write into a client's pipe.
TEST(VisitCount, CountsNoLineOutOfItsClientsCycle) {
    VisitCount count;
    auto say = [&count](const char *line) { return count_line(&count, 1, 1, line); };
    EXPECT_EQ(say("Klient 1 ucieka!"), SAID_OUT_OF_CYCLE);
    EXPECT_EQ(say("Klient 1 chce wejsc!"), SAID_WANTS);
    EXPECT_EQ(say("Klient 1 ucieka!"), SAID_OUT_OF_CYCLE); // hides nobody: never let in
    EXPECT_EQ(say("Klient 2 konsumuje!"), SAID_OUT_OF_CYCLE);
    EXPECT_EQ(say("Klient 1 konsumuje!"), SAID_ENTERS);
    EXPECT_EQ(say("Klient 1 chce wejsc!"), SAID_OUT_OF_CYCLE);
    EXPECT_EQ(count_inside(count), 1);
    EXPECT_EQ(count.completed, 0);
}

// Chaos kills only what is alive: never a doorkeeper that has ended and been
// reaped, whose pid may by then be any other process's.
TEST(Chaos, PicksOnlyALivingProcess) {
    std::mt19937 random(1);
    auto process = [](bool alive) { return Child{.pid = 1, .out = -1, .alive = alive}; };
    const std::pair<std::vector<Child>, std::set<size_t>> runs[] = {
        {{process(false), process(true), process(false), process(true)}, {0}}, // it ended
        {{process(false), process(false)}, {0}},                               // nothing alive
        {{process(false), process(true), process(true)}, {0, 2}},              // a new one
    };
    for (const auto &[processes, doorkeepers] : runs)
        for (int i = 0; i < 100; i++) {
            size_t victim = pick_victim(processes, doorkeepers, random);
            ASSERT_TRUE(victim == NO_VICTIM || processes[victim].alive) << victim;
        }
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
    // Executable, but not for this machine: empty, and an ELF file for another.
    char empty[] = "/tmp/klient-empty-XXXXXX", foreign[] = "/tmp/klient-foreign-XXXXXX";
    close(mkstemp(empty));
    close(mkstemp(foreign));
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
    auto grade = [&](std::vector<std::string> sources) {
        std::vector<std::string> args = {"--logs", dir, "--report", report};
        args.insert(args.end(), sources.begin(), sources.end());
        Child grader = spawn(KLIENT_GRADE_PATH, args);
        std::string card = read_rest(grader.out, 100000);
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
    auto [card, status] = grade({"--", bad, std::string(dir) + "/missing.c", odd,
                                 std::string(dir) + "/includes.c", std::string(dir) + "/link.c"});
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
    EXPECT_EQ(header, "counterpart\tscenario\tverdict\tfaults\tlog");
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

// Interrupted, the grader ends its runs and still writes the card and the
// report, each run not done marked so, and says it could not grade.
// A control group of the test's own for the demo to run in, where the cgroup
// v2 hierarchy lets one be made; "" where not.
static std::string test_control_group() {
    std::ifstream own_file("/proc/self/cgroup");
    std::string own;
    for (std::string line; std::getline(own_file, line);)
        if (line.starts_with("0::/"))
            own = line.substr(3);
    for (std::string mounted : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
        std::string dir = mounted + own + "/klient-test." + std::to_string(getpid());
        if (access((mounted + "/cgroup.subtree_control").c_str(), F_OK) == 0 && !own.empty() &&
            mkdir(dir.c_str(), 0755) == 0)
            return dir;
    }
    return "";
}

// Whether a counterpart's group has been made anywhere below group.
static bool counterpart_group_below(const std::string &group) {
    for (const auto &entry : std::filesystem::recursive_directory_iterator(group))
        if (entry.path().filename().string().starts_with("klient-demo-"))
            return true;
    return false;
}

// The groups below group: none once the demo has ended. Removes them all.
static size_t groups_left(const std::string &group) {
    size_t left = 0;
    for (const auto &entry : std::filesystem::directory_iterator(group))
        if (entry.is_directory()) {
            left++;
            rmdir(entry.path().c_str());
        }
    rmdir(group.c_str());
    return left;
}

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
    ASSERT_TRUE(said.starts_with("klient-grade: 5 runs")) << said;
    for (int waited = 0; !group.empty() && !counterpart_group_below(group) && waited < 10000;
         waited += 10)
        usleep(10000);
    ASSERT_EQ(kill(grader.pid, SIGTERM), 0);
    std::string card = read_rest(grader.out, 10000);
    int status = wait_exit(grader.pid, 5000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_EQ(read_rest(grader.err), "klient-grade: interrupted: 0 of 5 runs done\n");
    std::istringstream rows(card);
    std::string header, row;
    std::getline(rows, header);
    std::getline(rows, row);
    EXPECT_TRUE(row.starts_with(graded)) << card;
    std::istringstream cells(row.substr(graded.size()));
    EXPECT_EQ(std::vector<std::string>(std::istream_iterator<std::string>(cells), {}),
              std::vector<std::string>(5, "interrupted"))
        << card;
    std::ifstream tsv(report);
    std::string tsv_all((std::istreambuf_iterator<char>(tsv)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(tsv_all.begin(), tsv_all.end(), '\n'), 6) << tsv_all;
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

// Counterparts that each break one rule are judged faulty on that rule, and
// only on it; a textbook one keeps every rule.
struct Judged {
    const char *mode;
    int seconds; // past a whole visit where a stall would show, and past the
                 // tolerance of a breach, with room for eight sanitized clients
                 // to start beside another suite; or a bound: a run ends as soon
                 // as its counterpart is killed for its resources
    std::set<std::string> faults;
    std::vector<std::string> more = {}; // the demo's options besides
    const char *said = "";              // the start of a line the counterpart must say
    bool terminal = false;              // the demo on a terminal, as a teacher runs it
    bool own_user = false;              // the demo not the real root: its programs share its user
    double cpu_limit = 0; // its faults only if it got more CPU time than this, which a
                          // loaded machine may not give it; 0: always
    bool counted = false; // its fault only where the kernel counts in a control group
};

void PrintTo(const Judged &judged, std::ostream *out) {
    *out << judged.mode;
}

class Judging : public Demo, public ::testing::WithParamInterface<Judged> {};

// A Unix socket at path that anyone may connect to; its descriptor.
static int listen_at(const std::string &path) {
    sockaddr_un at = {};
    at.sun_family = AF_UNIX;
    path.copy(at.sun_path, sizeof at.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    chmod(path.c_str(), 0777);
    return fd;
}

// Root in a user namespace of its own, and no more: the demo, not the real
// root, runs its programs as its own user. Before an exec.
static void own_user_namespace() {
    if (unshare(CLONE_NEWUSER) == -1)
        _exit(125);
    for (auto [file, map] : {std::pair{"/proc/self/setgroups", "deny"},
                             {"/proc/self/uid_map", "0 0 1"},
                             {"/proc/self/gid_map", "0 0 1"}}) {
        int fd = open(file, O_WRONLY | O_CLOEXEC);
        if (fd == -1 || write(fd, map, strlen(map)) == -1)
            _exit(125);
        close(fd);
    }
}

// Whether this process may make a user namespace: not in a chroot, as CI's
// Debian 13 tree is.
static bool user_namespaces_here() {
    pid_t child = fork();
    if (child == 0)
        _exit(unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
    int status = -1;
    waitpid(child, &status, 0);
    return status == 0;
}

TEST_P(Judging, NamesEveryRuleBrokenAndNoOther) {
    const Judged &judged = GetParam();
    if (judged.own_user && !user_namespaces_here())
        GTEST_SKIP() << "no user namespace can be made here (a chroot?), and so no demo that "
                        "is not the real root";
    // For a probe to try: a server on the test's loopback, a socket and a
    // file that anyone may reach in /var/tmp, and a file in /dev/shm, where
    // anyone may write.
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&at), size), 0);
    ASSERT_EQ(listen(server, 1), 0);
    getsockname(server, reinterpret_cast<sockaddr *>(&at), &size);
    std::string pid = std::to_string(getpid()), outside = "/dev/shm/klient-probe." + pid;
    std::string host_file = "/var/tmp/klient-host-file." + pid;
    std::ofstream(host_file) << "the host's\n";
    chmod(host_file.c_str(), 0644);
    std::string socket_path = "/var/tmp/klient-socket." + pid;
    int service = listen_at(socket_path);
    // The counterpart as a class hands it in: where the run's user may read it.
    char dir[] = "/tmp/klient-counterpart-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    std::string copy = std::string(dir) + "/counterpart";
    std::filesystem::copy_file(COUNTERPART_PATH, copy);
    std::string mode = judged.mode, command = copy + " " + mode;
    std::map<std::string, std::string> where = {{"connects", std::to_string(ntohs(at.sin_port))},
                                                {"writes-outside", outside},
                                                {"reads-host-file", host_file},
                                                {"connects-by-path", socket_path}};
    if (where.contains(mode))
        command += " " + where[mode];
    std::vector<std::string> args = {
        "--clients", "8", "--seconds", std::to_string(judged.seconds), "--counterpart", command};
    args.insert(args.end(), judged.more.begin(), judged.more.end());
    int terminal = judged.terminal ? posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    ASSERT_TRUE(!judged.terminal || (grantpt(terminal) == 0 && unlockpt(terminal) == 0));
    std::string tty = judged.terminal ? ptsname(terminal) : "";
    setenv("KLIENT_TEACHERS_TOKEN", "secret", 1); // no counterpart may see it
    auto began = std::chrono::steady_clock::now();
    std::string group = test_control_group();
    DemoRun run = run_demo(args, (judged.seconds + 30) * 1000, DEMO_PATH, [&tty, &judged, &group] {
        if (!group.empty())
            std::ofstream(group + "/cgroup.procs") << "0"; // and so what it makes, below
        if (judged.own_user)
            own_user_namespace();
        int fd = tty.empty() || setsid() == -1 ? -1 : open(tty.c_str(), O_RDWR); // controlling
        if (fd != -1)
            dup2(fd, STDIN_FILENO);
    });
    if (terminal != -1)
        close(terminal);
    if (!group.empty()) {
        EXPECT_EQ(groups_left(group), 0u) << "the demo left a control group behind";
    }
    for (const std::string &line : run.lines)
        if (judged.counted && line.starts_with("demo: no control group"))
            GTEST_SKIP() << "the kernel counts nothing of it here: " << line;
    std::set<std::string> faults;
    for (const std::string &line : run.lines)
        if (line.starts_with("-- fault: "))
            faults.insert(line.substr(10, line.find(':', 10) - 10));
    std::set<std::string> expected = judged.faults;
    double cpu = 0; // from "-- the counterpart used at most ..., S s of CPU time, ..."
    for (const std::string &line : run.lines)
        if (size_t at = line.find(" s of CPU time"); line.starts_with("-- the counterpart used"))
            cpu = atof(line.substr(line.rfind(", ", at) + 2).c_str());
    if (judged.cpu_limit > 0 && cpu <= judged.cpu_limit)
        expected.clear();
    EXPECT_EQ(faults, expected);
    EXPECT_EQ(run.status, expected.empty() ? 0 : 1);
    if (!expected.contains("resources")) { // the one fault that ends a run early
        EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(judged.seconds))
            << "the run was cut short";
    }
    EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), "counterpart: joined the sets"),
              run.lines.end());
    EXPECT_TRUE(std::any_of(run.lines.begin(), run.lines.end(), [&judged](const std::string &l) {
        return l.starts_with(std::string("counterpart: ") + judged.said);
    }));
    pollfd connected = {server, POLLIN, 0};
    EXPECT_EQ(poll(&connected, 1, 0), 0) << "the counterpart reached the test's loopback";
    close(server);
    connected.fd = service;
    EXPECT_EQ(poll(&connected, 1, 0), 0) << "the counterpart reached the test's socket";
    close(service);
    unlink(socket_path.c_str());
    unlink(host_file.c_str());
    EXPECT_NE(unlink(outside.c_str()), 0) << "the counterpart wrote outside its run";
    EXPECT_LT(run.lines.size(), 10000u) << "its output was not cut";
    std::filesystem::remove_all(dir);
}

// Each step of containing the counterpart, as it sees it: the run's own user
// with no group, no capability, no new privileges, the filter, its limits
// (80 tasks: 64, a client each, 8 spare), standard input from nothing and no
// other descriptor, no terminal, and nothing to write on but its scratch.
constexpr const char *GIVEN =
    "probe: given: user the run's, groups 0, CapInh 0000000000000000 CapPrm 0000000000000000 "
    "CapEff 0000000000000000 CapBnd 0000000000000000 CapAmb 0000000000000000 NoNewPrivs 1 "
    "Seccomp 2, core 0, tasks 80, cpu 6, input /dev/null, descriptors 0, terminal no, writable "
    "/tmp.";

INSTANTIATE_TEST_SUITE_P(
    Counterparts, Judging,
    ::testing::Values(
        Judged{"textbook", 4, {}}, Judged{"workers", 6, {}, {"--restart-at", "3"}},
        Judged{"sh-loop", 4, {}}, Judged{"extra-at-start", 8, {"limit", "units"}},
        Judged{"takes-no-unit", 4, {"units"}}, Judged{"never", 24, {"progress"}},
        Judged{"keep-one", 24, {"units", "withheld units"}},
        Judged{"exits-early", 4, {"counterpart ended"}},
        Judged{"removes-sets", 4, {"sets", "client failed"}},
        Judged{"withholds", 8, {"withheld units"}}, Judged{"leaves-child", 4, {"processes left"}},
        Judged{"ignores-term", 4, {"not stopped"}},
        Judged{"sets-value", 6, {"values set outright", "units"}},
        Judged{"forges-lines", 4, {}, {}, "probe: forged 0 lines"},
        Judged{"reads-host-file", 4, {}, {}, "probe: read a file of the host's: No such"},
        Judged{"connects-by-path", 4, {}, {}, "probe: connect to the test's socket: No such"},
        Judged{"writes-outside", 4, {}, {}, "probe: write in /dev/shm: Read-only"},
        Judged{"kills-parent", 4, {}, {}, "probe: signal its parent: done", false, true},
        Judged{"connects", 4, {}, {}, "probe: connect to the test's loopback: C"},
        Judged{"forks", 16, {"resources"}, {}, "probe: fork 2000 processes: Res"},
        Judged{"allocates", 60, {"resources"}},
        Judged{"spins", 20, {"resources"}, {}, "", false, false, 5},
        Judged{"hides-cpu", 20, {"resources"}, {}, "", false, false, 0, true},
        Judged{"floods", 16, {"resources"}, {}, "probe: \\x1b[2J"},
        Judged{"types", 4, {}, {}, "probe: type into the terminal: Operation n", true},
        Judged{"takes-output", 4, {}, {}, "probe: take a process's descriptor: Operation n"},
        Judged{"sees-processes", 4, {}, {}, "probe: processes in sight: init"},
        Judged{"keeps-key", 4, {}, {}, "probe: add a key: Operation not permitted"},
        Judged{"environment", 4, {}, {}, "probe: environment: HOME LANG PATH PWD TMPDIR"},
        Judged{"given", 4, {}, {}, GIVEN}),
    [](const ::testing::TestParamInfo<Judged> &info) {
        std::string name = info.param.mode;
        std::erase(name, '-');
        return name;
    });
