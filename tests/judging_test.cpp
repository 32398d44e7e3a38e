// Counterparts that each break one rule, or try to reach past their run,
// judged by the real demo.
#include "contain.hpp"
#include "demo_harness.hpp"
#include "harness.hpp"
#include "reachable.hpp"
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
#include <linux/capability.h>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

// Counterparts that each break one rule are judged faulty on that rule, and
// only on it; a textbook one keeps every rule.
// Processes of a busy user's, past what a run's counterpart may have.
constexpr int CROWD = 120;
constexpr uid_t BUSY_USER = 60000;

// How far past its limit a counterpart's CPU time comes before a look.
constexpr double CPU_MARGIN = 0.5;

enum Caller {
    AS_ROOT,           // the tests' user, root in CI
    AS_OWN_USER,       // the demo not the real root: its programs share its user
    AS_CONTAINER_ROOT, // root in systemd-nspawn: no CAP_NET_ADMIN, /proc/sys read-only
    AS_BUSY_USER,      // root in a user namespace, as a normal user is in the scripts, and
                       // among CROWD processes of that user's there (its other runs)
};

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
    Caller as = AS_ROOT;                // who runs the demo
    double cpu_limit = 0;  // its faults if it got more CPU time than this and a margin, which
                           // a loaded machine may not give it, either way if less; 0: always
    bool counted = false;  // its fault only where the kernel counts in a control group
    long output_limit = 0; // its faults if it wrote more than this, which a loaded machine
                           // may not let it do (the demo reads no faster than it runs)
    bool loopback = false; // its line only where the demo can bring up the run's loopback
};

void PrintTo(const Judged &judged, std::ostream *out) {
    *out << judged.mode;
}

class Judging : public Demo, public ::testing::WithParamInterface<Judged> {};

// The demo's arguments for the counterpart in judged's mode, copied into dir
// as a class hands it in: where the run's user may read it.
static std::vector<std::string> demo_args(const Judged &judged, const Reachable &r,
                                          const std::string &dir) {
    std::string copy = dir + "/counterpart";
    std::filesystem::copy_file(COUNTERPART_PATH, copy);
    std::string mode = judged.mode;
    std::vector<std::string> counterpart = {copy, mode};
    if (mode == "shell-helper") { // a folder: a script, and the helper it calls beside it
        std::string folder = dir + "/submission";
        mkdir(folder.c_str(), 0755);
        std::filesystem::rename(copy, folder + "/helper");
        std::ofstream(folder + "/run") << "#!/bin/sh\nexec \"$(dirname \"$0\")/helper\" sh-loop\n";
        chmod((folder + "/run").c_str(), 0755);
        counterpart = {folder};
    }
    if (mode == "python") { // a script, run by the system's interpreter
        std::filesystem::copy_file(PYTHON_COUNTERPART_PATH, dir + "/textbook.py");
        counterpart = {dir + "/textbook.py"};
    }
    std::map<std::string, std::string> where = {{"connects", r.port},
                                                {"writes-outside", r.outside},
                                                {"reads-host-file", r.host_file},
                                                {"connects-by-path", r.socket_path}};
    if (where.contains(mode))
        counterpart.push_back(where[mode]);
    std::vector<std::string> args = {"--clients", "8",
                                     "--seconds", std::to_string(judged.seconds),
                                     "--verdict", dir + "/verdict"};
    args.insert(args.end(), judged.more.begin(), judged.more.end());
    args.emplace_back("--counterpart"); // the program, then its arguments
    args.insert(args.end(), counterpart.begin(), counterpart.end());
    return args;
}

// For a row held to a CPU time or an output limit, the faults it may show
// instead: none, where the counterpart got little more than its limit, or
// less, on a loaded machine. Its CPU time and output are what the demo says
// ("-- the counterpart used at most ..., S s of CPU time, and wrote B
// bytes"), or, for a row that tests the demo's count, what its probe says
// its children spun.
static std::set<std::string> faults_if_starved(const Judged &judged, const DemoRun &run,
                                               const std::set<std::string> &faults) {
    double cpu = 0;
    long bytes = 0;
    for (const std::string &line : run.lines) {
        if (size_t at = line.find(" s of CPU time");
            !judged.counted && line.starts_with("-- the counterpart used")) {
            cpu = atof(line.substr(line.rfind(", ", at) + 2).c_str());
            bytes = atol(line.substr(line.rfind(" wrote ") + 7).c_str());
        }
        if (judged.counted && line.starts_with("counterpart: probe: children spun "))
            cpu = std::max(cpu, atof(line.c_str() + 34));
    }
    bool starved = (judged.cpu_limit > 0 && cpu <= judged.cpu_limit + CPU_MARGIN) ||
                   (judged.output_limit > 0 && bytes <= judged.output_limit);
    // Starved, it may also hold a unit between its two changes past the
    // tolerance: the load's doing, seen as such.
    std::set<std::string> load = {"withheld units"};
    bool only_load = std::includes(load.begin(), load.end(), faults.begin(), faults.end());
    return !starved ? judged.faults : only_load ? faults : std::set<std::string>{};
}

// The rules a verdict written as data names: "rule<TAB>what<TAB>seconds", a
// line each, seconds within a run of at most seconds (and its stop).
static std::set<std::string> rules_written(const std::string &path, int seconds) {
    std::set<std::string> rules;
    std::ifstream verdict(path);
    for (std::string line; std::getline(verdict, line);) {
        rules.insert(line.substr(0, line.find('\t')));
        double at = atof(line.substr(line.rfind('\t') + 1).c_str());
        EXPECT_TRUE(std::count(line.begin(), line.end(), '\t') >= 2 && at >= 0 && at < seconds + 10)
            << line;
    }
    return rules;
}

// Whether this process has CAP_NET_ADMIN, which the demo needs to bring up
// its run's loopback where it is the real root.
static bool may_administer_networks() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("CapEff:"))
            return (std::stoull(line.substr(7), nullptr, 16) >> CAP_NET_ADMIN & 1) != 0;
    return false;
}

// What the probe said, to show.
static std::string probe_lines(const DemoRun &run) {
    std::string said;
    for (const std::string &line : run.lines)
        said += line.starts_with("counterpart: probe: ") ? line + "\n" : "";
    return said;
}

// What the run said last, to tell where a run that did not end stood.
static std::string last_lines(const DemoRun &run) {
    std::string said;
    for (size_t i = run.lines.size() > 12 ? run.lines.size() - 12 : 0; i < run.lines.size(); i++)
        said += run.lines[i].substr(0, 200) + "\n";
    return said;
}

// Each step of containing the counterpart, as it sees it: the run's own user
// with no group, no capability, no new privileges, the filter, its limits
// (80 tasks: 64, a client each, 8 spare), standard input from nothing and no
// other descriptor, no terminal, and nothing to write on but its scratch.
constexpr const char *GIVEN =
    "probe: given: user the run's, groups 0, CapInh 0000000000000000 CapPrm 0000000000000000 "
    "CapEff 0000000000000000 CapBnd 0000000000000000 CapAmb 0000000000000000 NoNewPrivs 1 "
    "Seccomp 2, core 0, tasks 80, cpu 6, files 256, input /dev/null, descriptors 0, terminal no, "
    "writable "
    "/tmp.";

TEST_P(Judging, NamesEveryRuleBrokenAndNoOther) {
    const Judged &judged = GetParam();
    if (judged.as == AS_OWN_USER && !user_namespaces_here())
        GTEST_SKIP() << "no user namespace can be made here (a chroot?), and so no demo that "
                        "is not the real root";
    if (judged.as == AS_CONTAINER_ROOT && !real_root())
        GTEST_SKIP() << "only the real root has CAP_NET_ADMIN, and /proc/sys, to go without";
    struct statvfs sys = {};
    if (std::string(judged.mode) == "holds-ipc" && !real_root() &&
        statvfs("/proc/sys", &sys) == 0 && (sys.f_flag & ST_RDONLY) != 0)
        GTEST_SKIP() << "not the real root, where /proc/sys is read-only (in a container?): the "
                        "run cannot lower its IPC limits, and says so";
    if (judged.loopback && geteuid() == 0 && !may_administer_networks())
        GTEST_SKIP() << "root without CAP_NET_ADMIN (in a container?): the run has no loopback";
    std::string group = test_control_group();
    if (judged.counted && group.empty())
        GTEST_SKIP() << "no control group can be made here: the kernel counts nothing of it";
    pid_t crowd = judged.as == AS_BUSY_USER ? start_crowd(BUSY_USER, CROWD) : 0;
    if (crowd == -1 && !group.empty())
        rmdir(group.c_str());
    if (crowd == -1)
        GTEST_SKIP() << "no crowd of another user's can be made here: that needs the real root, "
                        "and user namespaces";
    Reachable reachable = make_reachable();
    char dir[] = "/tmp/klient-counterpart-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    int terminal = judged.terminal ? posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    ASSERT_TRUE(!judged.terminal || (grantpt(terminal) == 0 && unlockpt(terminal) == 0));
    std::string tty = judged.terminal ? ptsname(terminal) : "";
    setenv("KLIENT_TEACHERS_TOKEN", "secret", 1); // no counterpart may see it
    std::string demo = DEMO_PATH;
    if (judged.as == AS_BUSY_USER) { // it reaches programs copied where it may
        for (const char *program : {DEMO_PATH, KLIENT_PATH, DOORKEEPER_PATH})
            std::filesystem::copy_file(program,
                                       std::string(dir) + "/" +
                                           std::filesystem::path(program).filename().string());
        demo = std::string(dir) + "/demo";
        ASSERT_EQ(chown(dir, BUSY_USER, BUSY_USER), 0); // and writes its verdict there
    }
    auto began = std::chrono::steady_clock::now();
    DemoRun run = run_demo(demo_args(judged, reachable, dir), (judged.seconds + 30) * 1000,
                           demo.c_str(), [&tty, &judged, &group, crowd] {
                               if (!group.empty()) // and so what it makes, below
                                   std::ofstream(group + "/cgroup.procs") << "0";
                               if (judged.as == AS_OWN_USER)
                                   own_user_namespace();
                               if (judged.as == AS_CONTAINER_ROOT)
                                   as_container_root();
                               if (judged.as == AS_BUSY_USER)
                                   join_crowd(crowd);
                               int fd = tty.empty() || setsid() == -1
                                            ? -1
                                            : open(tty.c_str(), O_RDWR); // controlling
                               if (fd != -1)
                                   dup2(fd, STDIN_FILENO);
                           });
    if (terminal != -1)
        close(terminal);
    end_crowd(crowd);
    expect_untouched(reachable);
    std::set<std::string> written = rules_written(std::string(dir) + "/verdict", judged.seconds);
    std::filesystem::remove_all(dir);
    if (!group.empty()) {
        EXPECT_EQ(groups_left(group), 0u) << "the demo left a control group behind";
    }
    std::set<std::string> faults, expected = judged.faults;
    for (const std::string &line : run.lines)
        if (line.starts_with("-- fault: "))
            faults.insert(line.substr(10, line.find(':', 10) - 10));
    if (faults != expected)
        expected = faults_if_starved(judged, run, faults);
    EXPECT_EQ(faults, expected);
    EXPECT_EQ(written, faults) << "the verdict written is not the verdict said";
    EXPECT_EQ(run.status, expected.empty() ? 0 : 1) << last_lines(run);
    if (!expected.contains("resources")) { // the one fault that ends a run early
        EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(judged.seconds))
            << "the run was cut short";
    }
    EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), "counterpart: joined the sets"),
              run.lines.end());
    std::string said = judged.said;
    if (said == GIVEN && !real_root()) // a normal user, in the scripts' user namespace:
        said.replace(said.find("user the run's, groups 0"), 24, // a user namespace keeps groups
                     "user 0, groups " + std::to_string(getgroups(0, nullptr)));
    EXPECT_TRUE(std::any_of(run.lines.begin(), run.lines.end(), [&said](const std::string &l) {
        return l.starts_with("counterpart: " + said);
    })) << probe_lines(run);
    EXPECT_LT(run.lines.size(), 10000u) << "its output was not cut";
}

INSTANTIATE_TEST_SUITE_P(
    Counterparts, Judging,
    ::testing::Values(
        Judged{"textbook", 4, {}}, Judged{"workers", 6, {}, {"--restart-at", "3"}},
        Judged{"textbook", 4, {}, {"--stop", "first"}},
        Judged{"workers", 6, {"processes left"}, {"--stop", "first"}}, // as kill PID finds it
        Judged{"threads", 4, {}}, Judged{"sh-loop", 4, {}}, Judged{"shell-helper", 4, {}},
        Judged{"python", 4, {}}, Judged{"shares-memory", 4, {}},
        Judged{"sh-loop", 4, {}, {}, "", false, AS_BUSY_USER}, // forks, as its user's other runs do
        Judged{"holds-ipc",
               4,
               {},
               {},
               "probe: held none of shared memory, 7 sets of 250 semaphores, 16 queues."},
        Judged{"holds-ipc",
               4,
               {},
               {},
               "probe: held none of shared memory, 7 sets of 250 semaphores, 16 queues.",
               false,
               AS_CONTAINER_ROOT},
        Judged{"extra-at-start", 8, {"limit", "units"}}, Judged{"takes-no-unit", 4, {"units"}},
        Judged{"never", 24, {"progress"}}, Judged{"keep-one", 24, {"units", "withheld units"}},
        Judged{"exits-early", 4, {"counterpart ended"}},
        Judged{"removes-sets", 4, {"sets", "client failed"}},
        Judged{"withholds", 8, {"withheld units"}}, Judged{"leaves-child", 4, {"processes left"}},
        Judged{"ignores-term", 4, {"not stopped"}},
        Judged{"sets-value", 6, {"values set outright", "units"}},
        Judged{"forges-lines", 8, {}, {}, "probe: forged 0 lines"}, // after its fifth admission
        Judged{"reads-host-file", 4, {}, {}, "probe: read a file of the host's: No such"},
        Judged{"connects-by-path", 4, {}, {}, "probe: connect to the test's socket: No such"},
        Judged{"writes-outside", 4, {}, {}, "probe: write in /dev/shm: Read-only"},
        Judged{"kills-parent", 4, {}, {}, "probe: signal its parent: done", false, AS_OWN_USER},
        Judged{.mode = "connects",
               .seconds = 4,
               .faults = {},
               .said = "probe: connect to the test's loopback: Connection refused",
               .loopback = true},
        Judged{"connects",
               4,
               {},
               {},
               "probe: connect to the test's loopback: Network is u",
               false,
               AS_CONTAINER_ROOT}, // no loopback, and no network
        Judged{"forks", 16, {"resources"}, {}, "probe: fork 2000 processes: Res"},
        Judged{"allocates", 60, {"resources"}},
        Judged{"spins", 20, {"resources"}, {}, "", false, AS_ROOT, 5},
        Judged{"hides-cpu", 20, {"resources"}, {}, "", false, AS_ROOT, 5, true},
        Judged{"floods",
               8,
               {"resources"},
               {},
               "probe: \\x1b[2J",
               false,
               AS_ROOT,
               0,
               false,
               COUNTERPART_OUTPUT_MIN_KIB * 1024},
        Judged{"types", 4, {}, {}, "probe: type into the terminal: Operation n", true},
        Judged{"takes-output", 4, {}, {}, "probe: take a process's descriptor: Operation n"},
        Judged{"sees-processes", 4, {}, {}, "probe: processes in sight: init"},
        Judged{"keeps-key", 4, {}, {}, "probe: add a key: Operation not permitted"},
        Judged{"holds-memfd", 4, {}, {}, "probe: hold 512 MiB in a memory file: Operation n"},
        Judged{"holds-pipes", 4, {}, {}, "probe: hold 32 MiB in pipes: Too many open files"},
        Judged{"environment", 4, {}, {}, "probe: environment: HOME LANG PATH TMPDIR."},
        Judged{"given", 4, {}, {}, GIVEN}),
    [](const ::testing::TestParamInfo<Judged> &info) { // the mode, then the options' words
        std::string name = info.param.mode;
        for (const std::string &word : info.param.more)
            name += word;
        if (info.param.as == AS_CONTAINER_ROOT)
            name += "ascontainersroot";
        if (info.param.as == AS_BUSY_USER)
            name += "asabusyuser";
        std::erase_if(name, [](char c) { return !isalnum(static_cast<unsigned char>(c)); });
        return name;
    });
