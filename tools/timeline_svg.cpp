// A run's timeline as SVG, from the demo's event log.
#include "timeline_svg.hpp"

#include "shared_semaphores.hpp"
#include "shown_text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

constexpr double LEFT = 90, WIDTH = 640;         // px: the lanes' names, then the run
constexpr double LANE = 12, THICK = 8;           // px: a lane, and a visit in it
constexpr double COUNT_HEIGHT = 60;              // px: the count of those consuming,
constexpr int MOST_SHOWN = 2 * FREE_SEM_INITIAL; // up to twice the limit

struct Segment {
    size_t lane;
    double from, to;
    bool inside; // consuming; else waiting
};

struct Timeline {
    std::vector<std::string> lanes; // the clients' process ids, by their first event
    std::vector<Segment> segments;
    std::vector<std::pair<double, int>> changes;             // +1 a client enters, -1 one leaves
    std::vector<std::pair<double, double>> broken;           // stretches judged a broken limit
    std::vector<std::pair<double, std::string>> counterpart; // its ends and kills
    double last = 0;
    bool read = false;
};

// Where a client stands: since when, waiting or inside, or neither.
struct Open {
    size_t lane;
    double since = 0;
    bool inside = false, open = false;
};

static void close_segment(Timeline *t, Open *o, double at) {
    if (!o->open)
        return;
    t->segments.push_back({o->lane, o->since, at, o->inside});
    if (o->inside)
        t->changes.emplace_back(at, -1);
    o->open = false;
}

static void client_event(Timeline *t, std::map<std::string, Open> *open, const std::string &pid,
                         const std::string &event, double at) {
    auto [it, fresh] = open->try_emplace(pid, Open{t->lanes.size()});
    if (fresh)
        t->lanes.push_back(pid);
    Open &o = it->second;
    close_segment(t, &o, at);
    if (event == "wants" || event == "enters")
        o = {o.lane, at, event == "enters", true};
    if (o.open && o.inside)
        t->changes.emplace_back(at, 1);
}

// The log's events; a line that is not "seconds<TAB>process<TAB>event" is
// passed over.
static Timeline read_events(const std::string &path) {
    Timeline t;
    std::ifstream in(path);
    std::string line;
    std::map<std::string, Open> open;
    t.read = std::getline(in, line) && line == "seconds\tprocess\tevent";
    double broken_since = -1;
    while (t.read && std::getline(in, line)) {
        std::istringstream fields(line);
        std::string seconds, process, event;
        char *end = nullptr;
        double at = getline(fields, seconds, '\t') && getline(fields, process, '\t') &&
                            getline(fields, event)
                        ? strtod(seconds.c_str(), &end)
                        : -1;
        if (at < 0 || end == nullptr || *end != '\0')
            continue;
        t.last = std::max(t.last, at);
        if (process == "demo" && event == "limit-broken")
            broken_since = at;
        else if (process == "demo" && event == "limit-kept" && broken_since >= 0)
            t.broken.emplace_back(broken_since, at);
        else if ((process == "doorkeeper" || process == "counterpart") && event != "admits")
            t.counterpart.emplace_back(at, event);
        else if (!process.empty() && process.find_first_not_of("0123456789") == std::string::npos)
            client_event(&t, &open, process, event, at);
    }
    for (auto &[pid, o] : open)
        close_segment(&t, &o, t.last);
    return t;
}

// Where a moment of a run of seconds lies across the picture, in pixels.
static double x_of(double at, double seconds) {
    return LEFT + std::clamp(at, 0.0, seconds) / seconds * WIDTH;
}

static std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// " x,y", a point of a polyline.
static std::string point(double x, double y) {
    char text[64];
    snprintf(text, sizeof text, " %.1f,%.1f", x, y);
    return text;
}

static std::string rect(double x, double y, double width, double height, const char *fill) {
    return "<rect x=\"" + number(x) + "\" y=\"" + number(y) + "\" width=\"" + number(width) +
           "\" height=\"" + number(height) + "\" fill=\"" + fill + "\"/>";
}

static std::string text(double x, double y, const std::string &what, const char *anchor) {
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\">" +
           what + "</text>";
}

// The lanes: the counterpart's first, then a client's each.
static std::string lanes(const Timeline &t, double seconds) {
    auto x = [seconds](double at) { return x_of(at, seconds); };
    std::string svg = "<g class=\"counterpart\">" + text(LEFT - 6, LANE, "counterpart", "end");
    for (const auto &[at, event] : t.counterpart)
        svg += "<circle cx=\"" + number(x(at)) + "\" cy=\"" + number(LANE - 4) +
               "\" r=\"3\" fill=\"#6a1b9a\"><title>" + xml_text(event) + " at " + number(at) +
               " s</title></circle>";
    svg += "</g>";
    std::vector<int> visits(t.lanes.size());
    std::vector<std::string> drawn(t.lanes.size());
    for (const Segment &s : t.segments) {
        double y = LANE * static_cast<double>(s.lane + 2) - 4, height = s.inside ? THICK : 2;
        const char *fill = !s.inside ? "#9e9e9e" : visits[s.lane]++ % 2 ? "#a84300" : "#1565c0";
        drawn[s.lane] +=
            rect(x(s.from), y - height / 2, std::max(x(s.to) - x(s.from), 1.0), height, fill);
    }
    for (size_t i = 0; i < t.lanes.size(); i++)
        svg += "<g class=\"lane\">" +
               text(LEFT - 6, LANE * static_cast<double>(i + 2), t.lanes[i], "end") + drawn[i] +
               "</g>";
    return svg;
}

// How many consume at each moment, from top: the leaves first where a
// leave and an entry share a moment, as the leaver gives its unit back
// before it says so.
static std::string count(const Timeline &t, double seconds, double top) {
    auto x = [seconds](double at) { return x_of(at, seconds); };
    auto y = [top](int n) {
        return top + COUNT_HEIGHT - std::min(n, MOST_SHOWN) * COUNT_HEIGHT / MOST_SHOWN;
    };
    std::string svg = text(LEFT - 6, y(FREE_SEM_INITIAL) + 4, "consuming", "end");
    for (const auto &[from, to] : t.broken)
        svg += rect(x(from), top, std::max(x(to) - x(from), 1.0), COUNT_HEIGHT, "#ef9a9a");
    svg += "<line x1=\"" + number(LEFT) + "\" x2=\"" + number(LEFT + WIDTH) + "\" y1=\"" +
           number(y(FREE_SEM_INITIAL)) + "\" y2=\"" + number(y(FREE_SEM_INITIAL)) +
           "\" stroke=\"#757575\" stroke-dasharray=\"4 3\"/>";
    std::vector<std::pair<double, int>> changes = t.changes;
    std::sort(changes.begin(), changes.end());
    std::string points = point(LEFT, y(0));
    int n = 0;
    for (const auto &[at, change] : changes) {
        points += point(x(at), y(n));
        n += change;
        points += point(x(at), y(n));
    }
    points += point(x(t.last), y(n));
    return svg + "<polyline class=\"count\" fill=\"none\" stroke=\"#e65100\" points=\"" + points +
           "\"/>";
}

std::string timeline_svg(const std::string &events_path, const std::vector<RunFault> &faults,
                         double seconds) {
    Timeline t = read_events(events_path);
    seconds = std::max({seconds, t.last, 1.0});
    double count_top = LANE * static_cast<double>(t.lanes.size() + 2);
    double height = count_top + COUNT_HEIGHT + 20;
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
                      number(LEFT + WIDTH + 10) + "\" height=\"" + number(height) + "\">";
    if (!t.read)
        svg += text(LEFT, LANE, "no events of the run's to draw", "start");
    svg += lanes(t, seconds) + count(t, seconds, count_top);
    for (int at = 0; at <= seconds; at += 5)
        svg += text(x_of(at, seconds), height - 4, std::to_string(at) + " s", "middle");
    for (const RunFault &f : faults) {
        double x = x_of(f.seconds, seconds);
        svg += "<line class=\"fault\" x1=\"" + number(x) + "\" x2=\"" + number(x) +
               "\" y1=\"0\" y2=\"" + number(count_top + COUNT_HEIGHT) +
               "\" stroke=\"#c62828\" stroke-width=\"2\"><title>" +
               xml_text(printable(f.rule + ": " + f.what, true)) + " (at " + number(f.seconds) +
               " s)</title></line>";
    }
    return svg + "</svg>";
}
