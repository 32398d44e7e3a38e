// A counterpart as given, made ready for its runs.
#pragma once

#include "grading.hpp"

#include <csignal>
#include <functional>
#include <string>
#include <vector>

// What may stop a build: an interruption asked for, and what each program
// the grading starts does before its exec.
struct Stop {
    const volatile sig_atomic_t *interrupted;
    std::function<void()> in_child;
};

// A counterpart as given: named for its files by its place among them
// (number), and built first into dir if it is a source, unless stopped.
Counterpart prepare_counterpart(const std::string &given, int number, const std::string &dir,
                                const Stop &stop);

// Each counterpart of names once, however often it is named: known by the
// file it is, or, where there is none, by its name; each other time said.
std::vector<std::string> named_once(int count, char *const names[]);

// What a grading of given would do, said without doing it: each
// counterpart, how it would be built, and the runs each would go through,
// at_once at a time. Returns 0.
int list(const std::vector<std::string> &given, long at_once);
