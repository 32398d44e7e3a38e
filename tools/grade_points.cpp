// A grading's points, read from a teacher's file and earned by the runs.
#include "grade_points.hpp"

#include "rule_watch.hpp"
#include "shown_text.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fstream>
#include <iterator>

constexpr long MAX_POINTS = 1000000;

// The number of line, and the name after it, or exits saying why not.
static std::pair<long, std::string> read_line(const char *path, int number,
                                              const std::string &line) {
    char *end = nullptr;
    errno = 0;
    long value = strtol(line.c_str(), &end, 10);
    size_t name_at = line.find_first_not_of(" \t", static_cast<size_t>(end - line.c_str()));
    if (end == line.c_str() || errno != 0 || value < 0 || value > MAX_POINTS ||
        !strchr(" \t", *end) || name_at == std::string::npos || !isdigit(line[0]))
        errx(2, "%s:%d: wants a number of points from 0 to %ld, then a run or a rule, got '%s'",
             path, number, MAX_POINTS, printable(line, true).c_str());
    std::string name = line.substr(name_at);
    name.erase(name.find_last_not_of(" \t") + 1);
    return {value, name};
}

Points read_points(const char *path) {
    Points points;
    points.given = true;
    std::fill(std::begin(points.runs), std::end(points.runs), 0);
    std::ifstream in(path);
    if (!in)
        err(2, "cannot read %s", path);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        line.erase(std::min(line.find('#'), line.size()));
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        const auto read = read_line(path, number, line);
        long value = read.first;
        const std::string &name = read.second;
        auto run = std::find_if(std::begin(SCENARIOS), std::end(SCENARIOS),
                                [&name](const Scenario &s) { return name == s.name; });
        bool rule = std::find(std::begin(RULES), std::end(RULES), name) != std::end(RULES);
        if (run != std::end(SCENARIOS))
            points.runs[run - std::begin(SCENARIOS)] = value;
        else if (rule)
            points.rules.emplace_back(name, value);
        else
            errx(2, "%s:%d: no run or rule is named '%s' (klient-grade --list names the runs)",
                 path, number, printable(name, true).c_str());
    }
    if (in.bad())
        err(2, "cannot read %s", path);
    return points;
}

long run_points(const Points &points, const Job &job) {
    return job.verdict == VERDICT_OK ? points.runs[job.scenario] : 0;
}

bool rule_kept(const std::string &rule, size_t counterpart, const std::vector<Job> &jobs) {
    size_t runs = 0;
    for (const Job &job : jobs) {
        if (job.counterpart != counterpart)
            continue;
        runs++;
        if (job.verdict != VERDICT_OK && job.verdict != VERDICT_FAULTY)
            return false;
        for (const RunFault &fault : job.faults)
            if (fault.rule == rule)
                return false;
    }
    return runs == SCENARIO_COUNT;
}

long points_earned(const Points &points, size_t counterpart, const std::vector<Job> &jobs) {
    long earned = 0;
    for (const Job &job : jobs)
        if (job.counterpart == counterpart)
            earned += run_points(points, job);
    for (const auto &[rule, value] : points.rules)
        earned += rule_kept(rule, counterpart, jobs) ? value : 0;
    return earned;
}

long points_possible(const Points &points) {
    long most = 0;
    for (long value : points.runs)
        most += value;
    for (const auto &[rule, value] : points.rules)
        most += value;
    return most;
}
