// A class graded end to end: students whose programs share a file name, each
// graded apart, through every run, each run started in its order.
#include "demo_harness.hpp"
#include "grading.hpp"
#include "harness.hpp"
#include "run.hpp"

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

// A run's report line: its counterpart, its run, its verdict, its faults and
// its log.
struct Graded {
    std::string counterpart, run, verdict, faults, log;
};

static std::vector<Graded> report_lines(const std::string &report) {
    std::ifstream tsv(report);
    std::vector<Graded> lines;
    std::string line;
    std::getline(tsv, line); // the header
    while (std::getline(tsv, line)) {
        std::istringstream fields(line);
        Graded g;
        for (std::string *field : {&g.counterpart, &g.run, &g.verdict, &g.faults, &g.log})
            std::getline(fields, *field, '\t');
        lines.push_back(g);
    }
    return lines;
}

// When, by a run's events beside its log, the counterpart was first started,
// and its first client said it wants to enter; -1 for what did not happen.
static std::pair<double, double> first_starts(const std::string &log) {
    std::ifstream events(log.substr(0, log.rfind('.')) + ".events");
    std::string line;
    std::getline(events, line); // the header
    double seconds = -1, counterpart = -1, client = -1;
    std::string process, event;
    while (events >> seconds >> process >> event) {
        if (event == "started" && counterpart < 0)
            counterpart = seconds;
        if (event == "wants" && client < 0)
            client = seconds;
    }
    return {counterpart, client};
}

// Three students hand in programs of one name: two our doorkeeper, one a
// folder whose script runs the fixture that keeps a unit for itself. Each
// goes through every run once, with logs of its own, and only the third is
// faulty; the counterpart-first run starts the clients after the lead, the
// clients-first run the counterpart.
TEST_F(Demo, GradesNamesakesApart) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755); // as a class's folder is: the run's user reads in it
    std::vector<std::string> students;
    for (const char *student : {"/a", "/b", "/c"}) {
        mkdir((dir + std::string(student)).c_str(), 0755);
        students.push_back(dir + std::string(student) + "/door");
    }
    std::filesystem::copy_file(DOORKEEPER_PATH, students[0]);
    std::filesystem::copy_file(DOORKEEPER_PATH, students[1]);
    mkdir(students[2].c_str(), 0755);
    std::filesystem::copy_file(COUNTERPART_PATH, students[2] + "/counterpart");
    std::ofstream(students[2] + "/run") << "#!/bin/sh\nexec \"$(dirname \"$0\")/counterpart\" "
                                           "keep-one\n";
    chmod((students[2] + "/run").c_str(), 0755);
    std::string report = std::string(dir) + "/report.tsv";
    Child grader = spawn(KLIENT_GRADE_PATH, {"--logs", std::string(dir) + "/logs", "--report",
                                             report, students[0], students[1], students[2]});
    std::string card = read_rest(grader.out, 120000);
    EXPECT_EQ(wait_exit(grader.pid, 5000), 1 << 8) << card;
    std::map<std::string, std::set<std::string>> runs; // each counterpart's
    std::set<std::string> logs;
    for (const Graded &g : report_lines(report)) {
        bool faulty = g.counterpart == students[2];
        EXPECT_TRUE(runs[g.counterpart].insert(g.run).second) << g.counterpart << " " << g.run;
        EXPECT_EQ(g.verdict, faulty ? "faulty" : "ok")
            << g.counterpart << " " << g.run << ": " << g.faults;
        EXPECT_EQ(g.faults.starts_with("units: "), faulty) << g.faults;
        EXPECT_TRUE(logs.insert(g.log).second) << g.log << " shared";
        std::string log = file_text(g.log);
        EXPECT_NE(log.find(faulty ? "counterpart: joined the sets" : "doorkeeper: let one in"),
                  std::string::npos)
            << g.log;
        auto [counterpart, client] = first_starts(g.log);
        if (g.run == "counterpart-first") {
            EXPECT_TRUE(counterpart >= 0 && counterpart < FIRST_LEAD_SECONDS) << g.log;
            EXPECT_GE(client, FIRST_LEAD_SECONDS) << g.log;
        }
        if (g.run == "clients-first") {
            EXPECT_GE(counterpart, FIRST_LEAD_SECONDS) << g.log;
        }
    }
    std::set<std::string> every;
    for (const Scenario &s : SCENARIOS)
        every.insert(s.name);
    for (const std::string &student : students)
        EXPECT_EQ(runs[student], every) << student;
    std::filesystem::remove_all(dir);
}
