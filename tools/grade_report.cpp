// The report card and the tab-separated report of a grading.
#include "grading.hpp"

#include "shown_text.hpp"

#include <algorithm>
#include <cstring>
#include <err.h>

const char *verdict_name(Verdict verdict) {
    const char *names[] = {"ok", "faulty", "not judged", "interrupted"};
    return names[verdict];
}

std::string cell(const Job &job) {
    if (job.verdict != VERDICT_FAULTY || job.faults.empty())
        return verdict_name(job.verdict);
    std::string rules;
    for (const std::string &fault : job.faults) {
        std::string rule = fault.substr(0, fault.find(':'));
        if (rules.find(rule) == std::string::npos)
            rules += (rules.empty() ? "" : ", ") + rule;
    }
    return rules;
}

void print_card(const std::vector<Counterpart> &counterparts, const std::vector<Job> &jobs) {
    std::vector<size_t> width(SCENARIO_COUNT + 1, 11);
    for (const Counterpart &c : counterparts)
        width[0] = std::max(width[0], c.shown.size());
    for (size_t s = 0; s < SCENARIO_COUNT; s++)
        width[s + 1] = std::max(width[s + 1], strlen(SCENARIOS[s].name));
    for (const Job &job : jobs)
        width[job.scenario + 1] = std::max(width[job.scenario + 1], cell(job).size());
    printf("%-*s", static_cast<int>(width[0]), "counterpart");
    for (size_t s = 0; s < SCENARIO_COUNT; s++)
        printf("  %-*s", static_cast<int>(width[s + 1]), SCENARIOS[s].name);
    printf("\n");
    for (size_t i = 0; i < counterparts.size(); i++) {
        printf("%-*s", static_cast<int>(width[0]), counterparts[i].shown.c_str());
        if (!counterparts[i].why.empty()) {
            printf("  %s\n", counterparts[i].why.c_str());
            continue;
        }
        for (const Job &job : jobs)
            if (job.counterpart == i)
                printf("  %-*s", static_cast<int>(width[job.scenario + 1]), cell(job).c_str());
        printf("\n");
    }
}

void write_report(const char *path, const std::vector<Counterpart> &counterparts,
                  const std::vector<Job> &jobs) {
    FILE *report = fopen(path, "w");
    if (report == nullptr)
        err(2, "cannot write %s", path);
    fprintf(report, "counterpart\tscenario\tverdict\tfaults\tlog\n");
    for (const Counterpart &c : counterparts)
        if (!c.why.empty())
            fprintf(report, "%s\t\t%s\t%s\t\n", c.shown.c_str(), verdict_name(c.verdict),
                    c.why.c_str());
    for (const Job &job : jobs) {
        std::string faults;
        for (const std::string &fault : job.faults)
            faults += (faults.empty() ? "" : " | ") + fault;
        if (job.verdict == VERDICT_UNJUDGED)
            faults = job.last_line;
        fprintf(report, "%s\t%s\t%s\t%s\t%s\n", counterparts[job.counterpart].shown.c_str(),
                SCENARIOS[job.scenario].name, verdict_name(job.verdict),
                printable(faults, true).c_str(), printable(job.log_path, true).c_str());
    }
    if (fclose(report) != 0)
        err(2, "cannot write %s", path);
}
