// A grading's report as a web page, one file: the card, then each run.
#include "grade_html.hpp"

#include "grade_points.hpp"
#include "shared_semaphores.hpp"
#include "shown_text.hpp"
#include "timeline_svg.hpp"

#include <string>

constexpr const char *STYLE =
    "body{font-family:sans-serif;margin:1em}table{border-collapse:collapse}"
    "th,td{border:1px solid #bdbdbd;padding:2px 6px;text-align:left}"
    ".ok{background:#e8f5e9}.faulty{background:#ffebee}.not-judged,.interrupted"
    "{background:#fff8e1}svg text{font:10px sans-serif}";

// A verdict as a class name of the page's style.
static const char *verdict_class(Verdict verdict) {
    const char *names[] = {"ok", "faulty", "not-judged", "interrupted"};
    return names[verdict];
}

// text a student may have chosen, for the page: escaped twice, for a
// terminal (shown_text.hpp) and for HTML.
static std::string shown(const std::string &text) {
    return xml_text(printable(text, true));
}

// The id of a counterpart's section, or of one of its runs'.
static std::string anchor(size_t counterpart, const Job *job = nullptr) {
    std::string id = "c";
    id += std::to_string(counterpart + 1);
    if (job != nullptr)
        id.append("-").append(SCENARIOS[job->scenario].name);
    return id;
}

static void write_card(FILE *report, const std::vector<Counterpart> &counterparts,
                       const std::vector<Job> &jobs, const Points &points) {
    fprintf(report, "<table id=\"card\"><tr><th>counterpart</th>");
    for (const Scenario &s : SCENARIOS)
        fprintf(report, "<th>%s</th>", s.name);
    fprintf(report, "<th>mark</th><th>kept</th>%s</tr>\n", points.given ? "<th>points</th>" : "");
    for (size_t i = 0; i < counterparts.size(); i++) {
        const Counterpart &c = counterparts[i];
        fprintf(report, "<tr><td><a href=\"#%s\">%s</a></td>", anchor(i).c_str(),
                xml_text(c.shown).c_str());
        if (!c.why.empty())
            fprintf(report, "<td class=\"%s\" colspan=\"%zu\">%s</td>", verdict_class(c.verdict),
                    SCENARIO_COUNT + 2, xml_text(c.why).c_str());
        for (const Job &job : jobs)
            if (job.counterpart == i)
                fprintf(report, "<td class=\"%s\"><a href=\"#%s\">%s</a></td>",
                        verdict_class(job.verdict), anchor(i, &job).c_str(),
                        xml_text(cell(job)).c_str());
        Mark mark = mark_of(i, jobs);
        if (c.why.empty())
            fprintf(report, "<td class=\"%s\">%s</td><td>%zu/%zu</td>", verdict_class(mark.verdict),
                    verdict_name(mark.verdict), mark.kept, SCENARIO_COUNT);
        if (points.given)
            fprintf(report, "<td>%ld/%ld</td>", c.why.empty() ? points_earned(points, i, jobs) : 0,
                    points_possible(points));
        fprintf(report, "</tr>\n");
    }
    fprintf(report, "</table>\n");
}

static void write_run(FILE *report, size_t counterpart, const Job &job) {
    fprintf(report, "<section class=\"run\" id=\"%s\"><h3>%s: <span class=\"%s\">%s</span></h3>\n",
            anchor(counterpart, &job).c_str(), SCENARIOS[job.scenario].name,
            verdict_class(job.verdict), verdict_name(job.verdict));
    if (job.verdict == VERDICT_UNJUDGED)
        fprintf(report, "<p>%s</p>\n", shown(job.last_line).c_str());
    if (!job.faults.empty())
        fprintf(report, "<ul>");
    for (const RunFault &f : job.faults)
        fprintf(report, "<li><b>%s</b>: %s (at %.1f s)</li>", shown(f.rule).c_str(),
                shown(f.what).c_str(), f.seconds);
    fprintf(report, "%s%s\n<p>log: <code>%s</code></p></section>\n",
            job.faults.empty() ? "" : "</ul>\n",
            timeline_svg(job.events_path, job.faults, RUN_SECONDS).c_str(),
            shown(job.log_path).c_str());
}

void write_html(FILE *report, const std::vector<Counterpart> &counterparts,
                const std::vector<Job> &jobs, const Points &points) {
    fprintf(report,
            "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            "<title>klient-grade</title><style>%s</style></head><body>\n<h1>Report card</h1>\n",
            STYLE);
    write_card(report, counterparts, jobs, points);
    fprintf(report,
            "<p>In each timeline, a lane a client by its process id: thin while it "
            "waits, thick while it consumes, its visits in two shades by turns; the "
            "counterpart's ends above them; below, how many consume by their lines, "
            "the dashed line the limit of %d, shaded where it was judged broken; a red "
            "line where a fault was first seen, named when pointed at.</p>\n",
            FREE_SEM_INITIAL);
    for (size_t i = 0; i < counterparts.size(); i++) {
        fprintf(report, "<section class=\"counterpart\" id=\"%s\"><h2>%s</h2>\n", anchor(i).c_str(),
                xml_text(counterparts[i].shown).c_str());
        if (!counterparts[i].why.empty())
            fprintf(report, "<p>%s</p>\n", xml_text(counterparts[i].why).c_str());
        for (const Job &job : jobs)
            if (job.counterpart == i)
                write_run(report, i, job);
        fprintf(report, "</section>\n");
    }
    fprintf(report, "</body></html>\n");
}
