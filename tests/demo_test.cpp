// The demo program: its summary against the lines it passed through.
#include "harness.hpp"

#include <csignal>
#include <cstdio>
#include <map>
#include <sstream>

struct DemoRun {
    std::vector<std::string> lines;
    int status;
};

class Demo : public PrivateIpc {
  protected:
    DemoRun run_demo(std::vector<std::string> args) {
        Spawned demo = spawn(DEMO_PATH, args);
        std::istringstream out(read_rest(demo.out, 20000)); // a status line every 5 s
        DemoRun run;
        for (std::string line; std::getline(out, line);)
            run.lines.push_back(line);
        run.status = wait_exit(demo.pid, 5000);
        return run;
    }
    // The demo's programs run in process groups of their own: only the demo
    // can end them, and it does so on SIGTERM.
    void TearDown() override {
        for (const Spawned &s : spawned)
            if (kill(s.pid, SIGTERM) == 0)
                wait_exit(s.pid, 15000);
        PrivateIpc::TearDown();
    }
};

// The stop comes as the first round of visits ends. A visit is cut short only
// if its client was inside when the stop was sent: a client that wanted to
// enter again after its "ucieka" had completed that visit.
TEST_F(Demo, SummaryCountsEachVisitOnce) {
    DemoRun run = run_demo({"--clients", "6", "--seconds", "15"});
    int leaves = 0, surely_completed = 0, maybe_cut_short = 0;
    std::map<std::string, bool> just_left; // by pid
    int completed = -1, cut_short = -1;
    for (const std::string &line : run.lines) {
        char pid[16], word[16];
        if (sscanf(line.c_str(), "Klient %15s %15s", pid, word) == 2) {
            if (std::string(word) == "ucieka!")
                leaves++;
            surely_completed += just_left[pid] && std::string(word) == "chce";
            just_left[pid] = std::string(word) == "ucieka!";
        }
        sscanf(line.c_str(), "-- %d visits completed, %d cut short by the stop", &completed,
               &cut_short);
    }
    for (const auto &[pid, left] : just_left)
        maybe_cut_short += left;
    EXPECT_EQ(completed + cut_short, leaves);
    EXPECT_GE(completed, surely_completed);
    EXPECT_LE(cut_short, maybe_cut_short);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "-- no unit lost");
    EXPECT_EQ(run.status, 0);
}

// SIGKILL to clients and to the doorkeeper, again and again, loses no unit.
TEST_F(Demo, ChaosLosesNoUnit) {
    DemoRun run = run_demo({"--clients", "8", "--seconds", "8", "--chaos"});
    int killed = -1;
    for (const std::string &line : run.lines)
        sscanf(line.c_str(), "-- %d killed with SIGKILL", &killed);
    EXPECT_GE(killed, 2 + 9); // at least two by chaos, then everyone at the end
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "-- no unit lost");
    EXPECT_EQ(run.status, 0);
}
