// The report card and the tab-separated report of a grading.
#include "grading.hpp"

#include "grade_html.hpp"
#include "grade_points.hpp"

#include "shown_text.hpp"

#include <algorithm>
#include <cstring>
#include <err.h>

constexpr size_t CELL_WHY = 40; // bytes of why a run was not judged, at most, in its cell

const char *verdict_name(Verdict verdict) {
    const char *names[] = {"ok", "faulty", "not judged", "interrupted"};
    return names[verdict];
}

std::string cell(const Job &job) {
    if (job.verdict == VERDICT_UNJUDGED) { // and why: the reason that ends its last line
        size_t colon = job.last_line.rfind(": ");
        std::string why =
            colon == std::string::npos ? job.last_line : job.last_line.substr(colon + 2);
        return "not judged (" + printable(why.substr(0, CELL_WHY), true) + ")";
    }
    if (job.verdict != VERDICT_FAULTY || job.faults.empty())
        return verdict_name(job.verdict);
    std::vector<std::string> rules; // each once, in the verdict's order
    for (const RunFault &fault : job.faults)
        if (std::find(rules.begin(), rules.end(), fault.rule) == rules.end())
            rules.push_back(fault.rule);
    std::string all;
    for (const std::string &rule : rules)
        all += (all.empty() ? "" : ", ") + printable(rule, true);
    return all;
}

// Points earned out of those possible, as "earned/possible".
static std::string format_points(long earned, const Points &points) {
    return std::to_string(earned) + "/" + std::to_string(points_possible(points));
}

Mark mark_of(size_t counterpart, const std::vector<Job> &jobs) {
    Mark mark;
    for (const Job &job : jobs) {
        if (job.counterpart != counterpart)
            continue;
        mark.verdict = std::max(mark.verdict, job.verdict);
        mark.kept += job.verdict == VERDICT_OK;
        if (job.verdict == VERDICT_FAULTY && mark.log.empty())
            mark.log = printable(job.log_path, true);
    }
    return mark;
}

void print_card(const std::vector<Counterpart> &counterparts, const std::vector<Job> &jobs,
                const Points &points) {
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
    printf("  %-11s  kept  %sfirst faulty run's log\n", "mark", points.given ? "points     " : "");
    for (size_t i = 0; i < counterparts.size(); i++) {
        printf("%-*s", static_cast<int>(width[0]), counterparts[i].shown.c_str());
        if (!counterparts[i].why.empty()) {
            printf("  %s%s\n", counterparts[i].why.c_str(),
                   points.given ? ("; points " + format_points(0, points)).c_str() : "");
            continue;
        }
        for (const Job &job : jobs)
            if (job.counterpart == i)
                printf("  %-*s", static_cast<int>(width[job.scenario + 1]), cell(job).c_str());
        Mark mark = mark_of(i, jobs);
        printf("  %-11s  %zu/%zu", verdict_name(mark.verdict), mark.kept, SCENARIO_COUNT);
        if (points.given)
            printf("   %-8s", format_points(points_earned(points, i, jobs), points).c_str());
        printf("%s%s\n", mark.log.empty() ? "" : "   ", mark.log.c_str());
    }
}

// What a run found, in one text: its faults, or why it was not judged.
static std::string found(const Job &job) {
    if (job.verdict == VERDICT_UNJUDGED)
        return printable(job.last_line, true);
    std::string faults;
    for (const RunFault &fault : job.faults)
        faults.append(faults.empty() ? "" : " | ")
            .append(fault.rule)
            .append(": ")
            .append(fault.what);
    return printable(faults, true);
}

static void write_tsv(FILE *report, const std::vector<Counterpart> &counterparts,
                      const std::vector<Job> &jobs, const Points &points) {
    fprintf(report, "counterpart\trun\tverdict\tfaults\tlog\tpoints\n");
    for (const Counterpart &c : counterparts)
        if (!c.why.empty())
            fprintf(report, "%s\t\t%s\t%s\t\t0\n", c.shown.c_str(), verdict_name(c.verdict),
                    c.why.c_str());
    for (const Job &job : jobs)
        fprintf(report, "%s\t%s\t%s\t%s\t%s\t%ld\n", counterparts[job.counterpart].shown.c_str(),
                SCENARIOS[job.scenario].name, verdict_name(job.verdict), found(job).c_str(),
                printable(job.log_path, true).c_str(), run_points(points, job));
    for (size_t i = 0; i < counterparts.size(); i++)
        for (const auto &[rule, value] : points.rules) {
            bool kept = counterparts[i].why.empty() && rule_kept(rule, i, jobs);
            fprintf(report, "%s\trule: %s\t%s\t\t\t%ld\n", counterparts[i].shown.c_str(),
                    rule.c_str(), kept ? "kept" : "broken", kept ? value : 0);
        }
}

// text, escaped (shown_text.hpp), as a JSON string.
static std::string json(const std::string &text) {
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? "\\\"" : c == '\\' ? "\\\\" : std::string(1, c);
    return quoted + "\"";
}

std::string xml_text(const std::string &text) {
    std::string escaped;
    for (char c : text)
        escaped += c == '&'   ? "&amp;"
                   : c == '<' ? "&lt;"
                   : c == '>' ? "&gt;"
                   : c == '"' ? "&quot;"
                              : std::string(1, c);
    return escaped;
}

// Gradescope's autograder results: a test per run, its points if it kept
// every rule, its faults as its output, and a test per rule with points; a
// counterpart that did not run, one test worth all its points.
static void write_json(FILE *report, const std::vector<Counterpart> &counterparts,
                       const std::vector<Job> &jobs, const Points &points) {
    long score = 0;
    std::string tests;
    auto test = [&tests, &score](const std::string &name, bool kept, long most,
                                 const std::string &output) {
        score += kept ? most : 0;
        tests.append(tests.empty() ? "" : ",").append("\n    {\"name\": ").append(json(name));
        tests.append(", \"score\": ").append(std::to_string(kept ? most : 0));
        tests.append(", \"max_score\": ").append(std::to_string(most));
        tests.append(kept ? ", \"status\": \"passed\"" : ", \"status\": \"failed\"");
        tests.append(", \"output\": ").append(json(output)).append("}"); // of any length
    };
    for (const Counterpart &c : counterparts)
        if (!c.why.empty())
            test(c.shown + " build", false, points_possible(points), c.why);
    for (const Job &job : jobs)
        test(counterparts[job.counterpart].shown + " " + SCENARIOS[job.scenario].name,
             job.verdict == VERDICT_OK, points.runs[job.scenario], found(job));
    for (size_t i = 0; i < counterparts.size(); i++)
        for (const auto &[rule, value] : points.rules)
            if (counterparts[i].why.empty())
                test(counterparts[i].shown + " rule " + rule, rule_kept(rule, i, jobs), value,
                     rule_kept(rule, i, jobs) ? "kept in every run"
                                              : "broken, or a run not judged");
    fprintf(report, "{\n  \"score\": %ld,\n  \"tests\": [%s\n  ]\n}\n", score, tests.c_str());
}

// A JUnit test case: its name, and a failure for a faulty verdict or an
// error for any other but ok, with its message and text.
struct JunitCase {
    std::string name, outcome, message, text;
};

// The counts the schema asks of a suite, or of the whole, as attributes.
static std::string junit_counts(const std::vector<JunitCase> &cases) {
    auto with = [&cases](const char *outcome) {
        return std::to_string(
            std::count_if(cases.begin(), cases.end(),
                          [outcome](const JunitCase &c) { return c.outcome == outcome; }));
    };
    return "tests=\"" + std::to_string(cases.size()) + "\" failures=\"" + with("failure") +
           "\" errors=\"" + with("error") + "\"";
}

// JUnit XML: a test suite per counterpart, a test case per run, a failure
// for a faulty run and an error for one not judged, each suite and the
// whole counted as the schema asks.
static void write_junit(FILE *report, const std::vector<Counterpart> &counterparts,
                        const std::vector<Job> &jobs) {
    std::vector<std::vector<JunitCase>> suites(counterparts.size());
    std::vector<JunitCase> all;
    auto add = [&suites, &all](size_t i, Verdict verdict, JunitCase c) {
        if (verdict != VERDICT_OK)
            c.outcome = verdict == VERDICT_FAULTY ? "failure" : "error";
        suites[i].push_back(c);
        all.push_back(c);
    };
    for (size_t i = 0; i < counterparts.size(); i++)
        if (!counterparts[i].why.empty())
            add(i, counterparts[i].verdict, {"build", "", counterparts[i].why, ""});
    for (const Job &job : jobs)
        add(job.counterpart, job.verdict,
            {SCENARIOS[job.scenario].name, "", cell(job), found(job)});
    fprintf(report,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"klient-grade\" "
            "%s>\n",
            junit_counts(all).c_str());
    for (size_t i = 0; i < counterparts.size(); i++) {
        std::string name = xml_text(counterparts[i].shown);
        fprintf(report, "  <testsuite name=\"%s\" %s>\n", name.c_str(),
                junit_counts(suites[i]).c_str());
        for (const JunitCase &c : suites[i]) {
            fprintf(report, "    <testcase classname=\"%s\" name=\"%s\">", name.c_str(),
                    c.name.c_str());
            if (!c.outcome.empty())
                fprintf(report, "<%s message=\"%s\">%s</%s>", c.outcome.c_str(),
                        xml_text(c.message).c_str(), xml_text(c.text).c_str(), c.outcome.c_str());
            fprintf(report, "</testcase>\n");
        }
        fprintf(report, "  </testsuite>\n");
    }
    fprintf(report, "</testsuites>\n");
}

bool report_format_known(const char *path) {
    std::string name = path;
    return name.ends_with(".tsv") || name.ends_with(".json") || name.ends_with(".xml") ||
           name.ends_with(".html");
}

void write_report(const char *path, const std::vector<Counterpart> &counterparts,
                  const std::vector<Job> &jobs, const Points &points) {
    FILE *report = fopen(path, "w");
    if (report == nullptr)
        err(2, "cannot write %s", path);
    std::string name = path;
    if (name.ends_with(".json"))
        write_json(report, counterparts, jobs, points);
    else if (name.ends_with(".html"))
        write_html(report, counterparts, jobs, points);
    else if (name.ends_with(".xml"))
        write_junit(report, counterparts, jobs);
    else
        write_tsv(report, counterparts, jobs, points);
    if (fclose(report) != 0)
        err(2, "cannot write %s", path);
}
