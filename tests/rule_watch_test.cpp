// The rules, fed recorded runs: what the demo would see, look by look, and
// how its processes ended. Each rule is named by the run that breaks it, and
// by no run that keeps it.
#include "rule_watch.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <set>
#include <string>
#include <vector>

// One look at the sets: free and entry (-1: gone), their sem_ctime, and
// whether a semop has been made on them.
static void see(RuleWatch *watch, double at, int inside, int free_value, int entry_value,
                time_t changed = 1, bool operated = true, unsigned mode = 0644, uid_t owner = 0) {
    SetSeen sets[2];
    int values[2] = {free_value, entry_value};
    for (int i = 0; i < 2; i++)
        if (values[i] >= 0)
            sets[i] = {10 + i, values[i], changed, operated ? 1 : 0, mode, owner};
    watch_clients_and_sets(watch, at, inside, sets);
}

// n clients say they want to enter at when; the first `in` of them enter.
static void arrive(RuleWatch *watch, double when, size_t n, size_t in) {
    for (size_t c = 0; c < n; c++)
        watch_wants(watch, c, when);
    for (size_t c = 0; c < in; c++)
        watch_enters(watch, c, when);
}

struct Recorded {
    const char *name;
    std::function<void(RuleWatch *)> run; // from 0 s to 20 s
    int free_after, entry_after;          // after the stop
    std::set<std::string> rules;
    const char *said = ""; // in the verdict's lines
};

void PrintTo(const Recorded &recorded, std::ostream *out) {
    *out << recorded.name;
}

class Rules : public ::testing::TestWithParam<Recorded> {};

TEST_P(Rules, NameEveryRuleBrokenAndNoOther) {
    const Recorded &r = GetParam();
    RuleWatch watch;
    watch_begin(&watch, 0);
    r.run(&watch);
    watch_end(&watch, 20);
    std::set<std::string> rules;
    std::string said;
    for (const Fault &fault : judge_run(watch, r.free_after, r.entry_after)) {
        rules.insert(fault.rule);
        said += fault.rule + ": " + fault.what + "\n";
    }
    EXPECT_EQ(rules, r.rules) << said;
    EXPECT_NE(said.find(r.said), std::string::npos) << said;
}

// 8 clients, 5 of them let in at 0.1 s, the sets as a textbook counterpart
// leaves them, looked at every half second up to `until`.
static void kept(RuleWatch *watch, double until = 20) {
    arrive(watch, 0.1, 8, 5);
    for (double t = 0.5; t < until; t += 0.5)
        see(watch, t, 5, 0, 0);
}

static const Recorded RECORDED[] = {
    Recorded{"kept", [](RuleWatch *w) { kept(w); }, 5, 0, {}},
    Recorded{"limit",
             [](RuleWatch *w) {
                 kept(w, 5);
                 watch_enters(w, 5, 5);
                 for (double t = 5; t < 7; t += 0.5)
                     see(w, t, 6, 0, 0);
             },
             5,
             0,
             {"limit", "units"},
             "up to 6 clients inside"},
    Recorded{"a line read late",
             [](RuleWatch *w) {
                 kept(w, 5);
                 see(w, 5, 6, 0, 0);
                 see(w, 5.5, 5, 0, 0);
             },
             5,
             0,
             {}},
    Recorded{"a look come late", // the demo kept from the CPU for 1.5 s
             [](RuleWatch *w) {
                 kept(w, 5);
                 see(w, 5, 4, 0, 0); // a unit taken from entry, its "konsumuje" not read yet
                 see(w, 5.1, 4, 0, 0);
                 see(w, 6.6, 5, 0, 0);
             },
             5,
             0,
             {}},
    Recorded{"invented during the run",
             [](RuleWatch *w) {
                 kept(w, 5);
                 for (double t = 5; t < 7; t += 0.5)
                     see(w, t, 5, 1, 0);
             },
             5,
             0,
             {"units"},
             "units invented"},
    Recorded{"withheld",
             [](RuleWatch *w) {
                 arrive(w, 0.1, 8, 2);
                 for (double t = 0.5; t < 3; t += 0.5)
                     see(w, t, 2, 0, 0);
                 for (size_t c = 2; c < 5; c++)
                     watch_enters(w, c, 3);
                 see(w, 3, 5, 0, 0); // given at last
             },
             5,
             0,
             {"withheld units"},
             "stayed 3 or more short of 5"},
    Recorded{"held while nobody waits",
             [](RuleWatch *w) {
                 arrive(w, 0.1, 2, 2);
                 for (double t = 0.5; t < 3; t += 0.5)
                     see(w, t, 2, 2, 0);
             },
             5,
             0,
             {}},
    Recorded{"a stall",
             [](RuleWatch *w) {
                 arrive(w, 0.1, 3, 0);
                 for (double t = 0.5; t < 20; t += 0.5)
                     see(w, t, 0, 5, 0);
             },
             5,
             0,
             {"progress"},
             "the free semaphore held up to 5 units"},
    Recorded{"lost at the stop", [](RuleWatch *w) { kept(w); }, 4, 0, {"units"}, "1 unit lost"},
    Recorded{"made without a starting value",
             [](RuleWatch *w) {
                 arrive(w, 0.1, 8, 0);
                 see(w, 0.5, 0, 0, 0, 1, false);
             },
             0,
             0,
             {"units", "progress"},
             "made with free 0 + entry 0"},
    Recorded{"started, then set outright",
             [](RuleWatch *w) {
                 see(w, 0, 0, 0, 0, 0, false);
                 see(w, 0.1, 0, 5, 0, 1, false);
                 kept(w);
             },
             5,
             0,
             {}},
    Recorded{"set outright with clients inside",
             [](RuleWatch *w) {
                 kept(w, 5);
                 see(w, 5, 5, 0, 0, 2);
             },
             0,
             0,
             {"values set outright", "units"},
             "5 units lost; the free set's value"},
    Recorded{"set outright, one client inside",
             [](RuleWatch *w) {
                 arrive(w, 0.1, 1, 1);
                 for (double t = 0.5; t < 5; t += 0.5)
                     see(w, t, 1, 4, 0);
                 see(w, 5, 1, 4, 0, 2);
             },
             5,
             0,
             {"values set outright"},
             "between 4.5 s and 5.0 s, while 1 client was inside, which wipes its guard"},
    Recorded{"set outright, then five let in", // all after the look before the change
             [](RuleWatch *w) {
                 see(w, 0.2, 0, 5, 0);
                 arrive(w, 0.3, 8, 5);
                 for (double t = 0.5; t < 20; t += 0.5)
                     see(w, t, 5, 0, 0, 2);
             },
             5,
             0,
             {}},
    Recorded{"owner changed",
             [](RuleWatch *w) {
                 kept(w, 5);
                 see(w, 5, 5, 0, 0, 2, true, 0644, 1000);
             },
             5,
             0,
             {"values set outright"},
             "from uid 0 mode 644 to uid 1000 mode 644"},
    Recorded{"mode changed",
             [](RuleWatch *w) {
                 kept(w, 5);
                 see(w, 5, 5, 0, 0, 2, true, 0600);
             },
             5,
             0,
             {"values set outright"},
             "mode 644 to uid 0 mode 600"},
    Recorded{"a set removed",
             [](RuleWatch *w) {
                 kept(w, 5);
                 see(w, 5, 5, -1, 0);
             },
             -1,
             0,
             {"sets"},
             "the free set (key 66268) was removed"},
    Recorded{"what ended how",
             [](RuleWatch *w) {
                 kept(w);
                 watch_event(&w->counterpart_ended, 1, "the counterpart ended");
                 watch_event(&w->not_stopped, 1, "the counterpart was killed");
                 watch_event(&w->processes_left, 1, "1 process left");
                 watch_event(&w->out_of_cycle, 1, "a line");
                 watch_event(&w->client_failed, 1, "one client");
             },
             5,
             0,
             {"counterpart ended", "not stopped", "processes left", "lines out of cycle",
              "client failed"},
             "1 client failed"}};

INSTANTIATE_TEST_SUITE_P(Recorded, Rules, ::testing::ValuesIn(RECORDED),
                         [](const ::testing::TestParamInfo<Recorded> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c != '\0'; c++)
                                 if (isalnum(static_cast<unsigned char>(*c)))
                                     name += *c;
                             return name;
                         });
