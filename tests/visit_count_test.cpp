// Counting the demo's visits from its clients' lines, and picking chaos's
// victims.
#include "chaos.hpp"
#include "child_lines.hpp"
#include "visit_count.hpp"

#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <vector>

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
