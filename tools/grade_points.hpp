// A grading's points: what each run kept, or each rule never broken, is
// worth, as a teacher's file says.
#pragma once

#include "grading.hpp"

#include <string>
#include <utility>
#include <vector>

struct Points {
    long runs[SCENARIO_COUNT] = {1, 1, 1, 1, 1, 1}; // without a file, a point a run kept
    std::vector<std::pair<std::string, long>> rules = {};
    bool given = false; // read from a file
};

// Reads path: a line "POINTS NAME" each, NAME a run's or a rule's, a run or
// rule not named worth nothing; empty lines and lines from "#" on are not
// read. Exits with status 2, naming the line, where it cannot.
Points read_points(const char *path);

// What a counterpart's runs earned: each run that kept every rule its
// points, each rule that every run kept, all judged, its points.
long points_earned(const Points &points, size_t counterpart, const std::vector<Job> &jobs);

// What a run earned, its rules' points aside.
long run_points(const Points &points, const Job &job);

// Whether rule was kept in every run of counterpart, all of them judged.
bool rule_kept(const std::string &rule, size_t counterpart, const std::vector<Job> &jobs);

// What a counterpart may earn at most.
long points_possible(const Points &points);
