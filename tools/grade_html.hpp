// A grading's report as a web page.
#pragma once

#include "grading.hpp"

#include <cstdio>
#include <vector>

// The report card, each cell a link to its run; then, for each counterpart,
// why it was not run, or each run's verdict, its faults with the time each
// was first seen, its timeline (timeline_svg.hpp) and its log.
void write_html(FILE *report, const std::vector<Counterpart> &counterparts,
                const std::vector<Job> &jobs, const Points &points);
