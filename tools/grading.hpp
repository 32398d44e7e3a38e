// What a grading knows of each counterpart and each of its runs, and the
// report card and the report made of them.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

// The runs that expose a counterpart's faults. Each lasts long enough for a
// stall after the first visits end (at 17 s at the latest) to outlast a
// visit and the tolerance: 17 + 15 + 1 s < 35 s; the kill comes once those
// visits are under way, and a stall after it still shows by the end.
struct Scenario {
    const char *name;
    std::vector<const char *> args; // the demo's
};
inline const Scenario SCENARIOS[] = {
    {"counterpart-first", {"--first", "counterpart", "--clients", "8", "--seconds", "35"}},
    {"clients-first", {"--first", "clients", "--clients", "8", "--seconds", "35"}},
    {"3-clients", {"--clients", "3", "--seconds", "35"}},
    {"50-clients", {"--clients", "50", "--seconds", "35"}},
    {"kill", {"--clients", "8", "--restart-at", "10", "--seconds", "35"}},
    {"term-main", {"--clients", "8", "--stop", "first", "--seconds", "35"}},
};
constexpr size_t SCENARIO_COUNT = sizeof SCENARIOS / sizeof SCENARIOS[0];

// The longest run, and what its start and stop add as a rule: runs of a
// class of 40, at once, took 35.6 to 38.0 s a round, at 8 to 64 at once. A
// stop that waits out every grace of 3 s takes longer.
constexpr int RUN_SECONDS = 35, STOP_SECONDS = 2;

// About how long runs take, at_once at a time.
constexpr long grading_seconds(long runs, long at_once) {
    return (runs + at_once - 1) / at_once * (RUN_SECONDS + STOP_SECONDS);
}
enum Verdict : unsigned char { VERDICT_OK, VERDICT_FAULTY, VERDICT_UNJUDGED, VERDICT_INTERRUPTED };

struct Counterpart {
    std::string given;   // as on the command line
    std::string shown;   // the same, escaped (shown_text.hpp)
    std::string program; // what runs: given, or what was built from it
    std::string label;   // for file names: its place and name
    Verdict verdict = VERDICT_OK;
    std::string why; // a build failed, or it cannot run: why
};

// A rule a run broke: what the run saw, and when it first saw it, in
// seconds into the run.
struct RunFault {
    std::string rule, what;
    double seconds;
};

struct Job {
    size_t counterpart, scenario;
    pid_t pid = 0;
    FILE *log = nullptr;
    std::string log_path = {};
    std::string verdict_path = {}; // where its demo writes its verdict
    std::string events_path = {};  // and its events, a line each (demo --log)
    std::vector<RunFault> faults = {};
    std::string last_line = {};
    Verdict verdict = VERDICT_OK;
    bool done = false; // its demo reaped
    int log_error = 0; // errno of a write to its log that failed: the run was ended
};

// A verdict's name, as the card and the report say it.
const char *verdict_name(Verdict verdict);

// A run's cell on the report card: its verdict, or the rules it broke.
std::string cell(const Job &job);

// A counterpart's mark: the worst of its runs' verdicts, the runs that kept
// every rule, and the log of the first that did not (escaped).
struct Mark {
    Verdict verdict = VERDICT_OK;
    size_t kept = 0;
    std::string log;
};

Mark mark_of(size_t counterpart, const std::vector<Job> &jobs);

struct Points;

// The report card, on standard output: a row per counterpart, a column per
// scenario, its mark, and its points where a file gave them.
void print_card(const std::vector<Counterpart> &counterparts, const std::vector<Job> &jobs,
                const Points &points);

// The same as a report in the file path, by its extension: tab-separated
// (.tsv), a line per run (and per rule with points); Gradescope's
// autograder results (.json); JUnit XML (.xml); or a web page (.html,
// grade_html.hpp). Exits with status 2 if it
// cannot be written.
void write_report(const char *path, const std::vector<Counterpart> &counterparts,
                  const std::vector<Job> &jobs, const Points &points);

// text as XML (and HTML) character data, or an attribute's value.
std::string xml_text(const std::string &text);

// Whether write_report knows the extension of path.
bool report_format_known(const char *path);
