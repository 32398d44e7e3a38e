// A counterpart as given, made ready for its runs.
#pragma once

#include "grading.hpp"

#include <csignal>
#include <functional>
#include <string>

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
