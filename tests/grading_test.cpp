// The grader, end to end: the report card, the report and the verdicts as
// data, what it cannot grade, and its own failures.
#include "demo_harness.hpp"
#include "grading.hpp"
#include "harness.hpp"
#include "shared_semaphores.hpp"

#include <algorithm>
#include <csignal>
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

// --list says what a grading would do, and does none of it.
TEST_F(Demo, ListsAGradingWithoutRunningIt) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string bad = std::string(dir) + "/bad.c";
    std::ofstream(bad) << "int main( {\n";
    std::string folder = std::string(dir) + "/folder";
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/main.cc") << "int main() {}\n";
    Child grader = spawn(KLIENT_GRADE_PATH,
                         {"--logs", dir, "--list", bad, std::string(dir) + "/missing.c", folder});
    std::string listed = read_rest(grader.out), said = read_rest(grader.err);
    int status = wait_exit(grader.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(said, "") << said; // nothing built, nothing run
    for (const char *line : {"/bad.c: a source, built with cc -O2, then run\n",
                             "/missing.c: cannot read it: No such file or directory\n",
                             "/folder: a folder of sources, built into one program, then run\n",
                             "run term-main: demo --clients 8 --stop first --seconds 35\n"})
        EXPECT_NE(listed.find(line), std::string::npos) << listed;
    // Points for what no run or rule is named: refused, by its line.
    std::string points = std::string(dir) + "/points";
    std::ofstream(points) << "1 kill\n2 unit\n";
    Child refused = spawn(KLIENT_GRADE_PATH, {"--points", points, "--list", bad});
    EXPECT_EQ(read_rest(refused.err), "klient-grade: " + points +
                                          ":2: no run or rule is named "
                                          "'unit' (klient-grade --list names the runs)\n");
    EXPECT_EQ(wait_exit(refused.pid), 2 << 8);
    std::filesystem::remove_all(dir);
}

// How many times text holds what.
static size_t count_in(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The verdicts of a report, after its header, which it checks.
static std::set<std::string> report_verdicts(const std::string &report) {
    std::ifstream tsv(report);
    std::string header, line;
    std::getline(tsv, header);
    EXPECT_EQ(header, "counterpart\trun\tverdict\tfaults\tlog\tpoints");
    std::set<std::string> verdicts; // the third field of each line
    while (std::getline(tsv, line)) {
        std::istringstream fields(line);
        std::string field;
        for (int i = 0; i < 3; i++)
            std::getline(fields, field, '\t');
        verdicts.insert(field);
    }
    return verdicts;
}

// klient-grade on what cannot run: a build that fails is the counterpart's
// fault, a missing source is no verdict; both in the report.
TEST_F(Demo, GradesWhatDoesNotBuild) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string bad = std::string(dir) + "/bad.c", report = std::string(dir) + "/report.tsv";
    std::string page = std::string(dir) + "/report.html";
    std::ofstream(bad) << "int main( { return 0 }\n";
    std::string said; // on standard error
    auto grade = [&](std::vector<std::string> sources) {
        std::vector<std::string> args = {"--logs", dir, "--report", report, "--report", page};
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
    std::string odd = std::string(dir) + "/-odd\033[2J\n<img src=x onerror=alert(1)>.c";
    std::ofstream(odd) << "int main( {\n";
    chmod(dir, 0755); // as a class's folder is: the run's user reads in it
    auto [card, status] = grade({"--", bad, std::string(dir) + "/missing.c", odd,
                                 std::string(dir) + "/includes.c", std::string(dir) + "/link.c",
                                 std::string(dir) + "/../" + (strrchr(dir, '/') + 1) + "/bad.c"});
    EXPECT_NE(said.find("/bad.c is named twice: graded once\n"), std::string::npos) << said;
    EXPECT_NE(card.find("build failed: "), std::string::npos) << card;
    EXPECT_EQ(status, 2) << card; // missing.c is not graded, which outweighs the faults
    EXPECT_EQ(card.find('\033'), std::string::npos) << card;
    EXPECT_EQ(std::count(card.begin(), card.end(), '\n'), 1 + 5 + 2) << card; // a row each
    if (real_root()) {
        EXPECT_EQ(card.find("SECRET-LINE"), std::string::npos) << card;
        EXPECT_NE(card.find("cannot read " + std::string(dir) + "/link.c with the rights"),
                  std::string::npos)
            << card;
    }
    EXPECT_EQ(report_verdicts(report), (std::set<std::string>{"faulty", "not judged"}));
    std::string document = browsed(page, dir); // a name is text, never markup
    EXPECT_TRUE(document.empty() ||
                (document.find("-odd\\x1b[2J\\x0a&lt;img") != std::string::npos &&
                 document.find("<img") == std::string::npos))
        << document;
    EXPECT_EQ(grade({std::string(dir) + "/missing.c"}).second, 2);
    std::filesystem::remove_all(dir);
}

// A report holds texts of any length whole: here a source's path of more
// than a thousand bytes, in a results.json that jq still reads.
TEST_F(Demo, ReportsTextsOfAnyLength) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string deep = dir;
    for (int i = 0; i < 5; i++) // a name is at most 255 bytes, a path far more
        ASSERT_EQ(mkdir((deep += "/" + std::string(250, 'd')).c_str(), 0755), 0);
    chmod(dir, 0755);
    std::ofstream(deep + "/bad.c") << "int main( {\n";
    std::string json = std::string(dir) + "/results.json";
    Child grader = spawn(KLIENT_GRADE_PATH, {"--logs", dir, "--report", json, deep + "/bad.c"});
    read_rest(grader.out);
    wait_exit(grader.pid);
    Child jq = spawn("/usr/bin/jq", {"-e", ".tests[0].name | length > 1200", json});
    EXPECT_EQ(read_rest(jq.out), "true\n");
    EXPECT_EQ(wait_exit(jq.pid), 0);
    std::filesystem::remove_all(dir);
}

// The shape of Gradescope's results.json, as jq tests it.
// With POINTS: the six runs, failed, worth 2 in all; the rule limit kept,
// worth 3; units broken, worth 4.
constexpr const char *POINTS = "2 kill  # the one run that counts\n\n3 limit\n4\tunits\n";
constexpr const char *JSON_SHAPE =
    ".score == 3 and (.tests | length) == 8 and all(.tests[]; (.name | type) == \"string\") and "
    "all(.tests[0:6][]; .score == 0 and .status == \"failed\" and (.output | "
    "startswith(\"units: \"))) and ([.tests[0:6][].max_score] | add) == 2 and "
    ".tests[6].score == 3 and .tests[6].status == \"passed\" and .tests[7].max_score == 4 and "
    ".tests[7].score == 0";

// A counterpart that keeps a unit for itself is faulty in each of the six
// runs, by the verdict each demo wrote: units lost, and withheld from the
// clients waiting where there are more of them than units.
TEST_F(Demo, GradesAFaultyCounterpartEveryRun) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    std::string folder = std::string(dir) + "/keeps", logs = std::string(dir) + "/logs";
    std::string source = folder + "/keeps.c"; // handed in as a folder of sources
    mkdir(folder.c_str(), 0755);
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
    std::string json = std::string(dir) + "/results.json", junit = std::string(dir) + "/junit.xml";
    std::string page = std::string(dir) + "/grades.html";
    std::ofstream(std::string(dir) + "/points") << POINTS;
    Child grader = spawn(KLIENT_GRADE_PATH,
                         {"--jobs", "6", "--logs", logs, "--points", std::string(dir) + "/points",
                          "--report", json, "--report", junit, "--report", page, folder});
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
    EXPECT_NE(
        row.find("  faulty       0/6   3/9        " + logs + "/01-keeps.counterpart-first.log"),
        std::string::npos)
        << card;
    std::string all = file_text(logs + "/01-keeps.50-clients.verdict");
    EXPECT_TRUE(all.starts_with("units\tfree + entry is 4 after the stop")) << all;
    EXPECT_NE(all.find("\nwithheld units\t"), std::string::npos) << all;
    // Gradescope's shape of results.json: a score, and each test's name,
    // score, maximum, status and output. JUnit's: its schema, and a test case
    // per run, each with its failure.
    auto says = [this](const char *path, const std::vector<std::string> &args) {
        Child tool = spawn(path, args);
        std::string said = read_rest(tool.out);
        wait_exit(tool.pid);
        return said.substr(0, said.find_last_not_of('\n') + 1); // as its last line ends or not
    };
    EXPECT_EQ(says("/usr/bin/jq", {"-e", JSON_SHAPE, json}), "true");
    EXPECT_EQ(says("/usr/bin/xmllint",
                   {"--xpath", "count(/testsuites/testsuite/testcase/failure)", junit}),
              "6");
    Child schema = spawn("/usr/bin/xmllint", {"--noout", "--schema", JUNIT_SCHEMA_PATH, junit});
    std::string invalid = read_rest(schema.err);
    EXPECT_EQ(wait_exit(schema.pid), 0) << invalid;
    // The web page: a section a run, its timeline a lane a client, and a
    // red line a fault.
    std::string document = browsed(page, dir);
    if (document.empty()) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "no chromium here to read the web page";
    }
    size_t faults = 0;
    for (const Scenario &s : SCENARIOS) {
        std::ifstream lines(logs + "/01-keeps." + s.name + ".verdict");
        faults += std::count(std::istreambuf_iterator<char>(lines), {}, '\n');
        size_t at = document.find(std::string("id=\"c1-") + s.name + "\"");
        std::string run = document.substr(at, document.find("</section>", at + 1) - at);
        EXPECT_EQ(count_in(run, "class=\"lane\""), s.name == std::string("3-clients")    ? 3u
                                                   : s.name == std::string("50-clients") ? 50u
                                                                                         : 8u)
            << s.name;
    }
    EXPECT_EQ(count_in(document, "class=\"fault\""), faults);
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
    std::string counterparts; // a counterpart's group, with every controller the grader had
    for (int waited = 0; !group.empty() &&
                         (counterparts = counterpart_group_below(group)).empty() && waited < 10000;
         waited += 10)
        usleep(10000);
    if (!group.empty()) {
        EXPECT_EQ(file_text(counterparts + "/cgroup.controllers"),
                  file_text(group + "/cgroup.controllers"));
    }
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
    std::string tsv_all = file_text(report);
    EXPECT_EQ(std::count(tsv_all.begin(), tsv_all.end(), '\n'), 7) << tsv_all;
    EXPECT_EQ(tsv_all.find("\tok\t"), std::string::npos) << tsv_all;
    if (!group.empty()) {
        EXPECT_EQ(groups_left(group), 0u) << "the grading left a control group behind";
    }
    std::filesystem::remove_all(dir);
}
