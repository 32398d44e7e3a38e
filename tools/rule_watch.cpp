// Following the rules through a run, and the verdict.
#include "rule_watch.hpp"

#include "shared_semaphores.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

constexpr int LIMIT = FREE_SEM_INITIAL;
constexpr key_t SET_KEY[2] = {FREE_SEM_KEY, ENTRY_SEM_KEY};
constexpr const char *SET_NAME[2] = {"free", "entry"};

std::string format_text(const char *format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

// Starts, extends or ends the breach going on. Returns it as it stands; since
// is -1 if there is none. It lasts from the first look that saw it to the
// last: a look that comes late, the demo itself kept from the CPU, finds an
// end that may have come long before.
static Breach track(Breach *breach, bool breached, int amount, int waiting, double now) {
    if (breached && breach->since < 0)
        *breach = {now, 0, amount, waiting, amount};
    if (breach->since < 0)
        return *breach;
    if (breached) {
        breach->seconds = now - breach->since;
        breach->highest = std::max(breach->highest, amount);
        breach->lowest = std::min(breach->lowest, amount);
        breach->waiting = std::max(breach->waiting, waiting);
    }
    Breach seen = *breach;
    if (!breached)
        breach->since = -1;
    return seen;
}

static void keep_longest(Breach *worst, const Breach &seen, double allowed) {
    if (seen.since >= 0 && seen.seconds > allowed && seen.seconds > worst->seconds)
        *worst = seen;
}

void watch_begin(RuleWatch *watch, double now) {
    watch->began = watch->last_seen = now;
}

void watch_event(Event *event, double when, const std::string &what) {
    if (event->count++ == 0) {
        event->what = what;
        event->at = when;
    }
}

void watch_gone(RuleWatch *watch, size_t client, double when) {
    watch->inside_since.erase(client);
    auto wait = watch->waiting_since.find(client);
    if (wait == watch->waiting_since.end())
        return;
    watch->longest_wait = std::max(watch->longest_wait, when - wait->second);
    watch->waiting_since.erase(wait);
}

void watch_wants(RuleWatch *watch, size_t client, double when) {
    watch->waiting_since[client] = when;
}

void watch_enters(RuleWatch *watch, size_t client, double when) {
    watch_gone(watch, client, when); // from the waiting
    watch->inside_since[client] = when;
    watch->last_entry = when;
}

void watch_leaves(RuleWatch *watch, size_t client) {
    watch->inside_since.erase(client);
}

// Every breach of the limit that counted is kept, each once it has ended.
static void follow_limit(RuleWatch *watch, bool breached, int inside, double now) {
    Breach seen = track(&watch->over_limit, breached, inside, 0, now);
    if (watch->over_limit.since < 0 && seen.since >= 0 && seen.seconds > LATE_LINE_SECONDS)
        watch->limit_broken.push_back(seen);
}

// The units the sets held as they were made, or -1 if a semop came first.
static int start_total(const RuleWatch &watch) {
    if (watch.start_value[0] < 0 || watch.start_value[1] < 0)
        return -1;
    return watch.start_value[0] + watch.start_value[1];
}

// A set removed or replaced, its permissions changed, or its value set
// outright while clients held units: a value set so wipes the guards that
// would give their units back.
void watch_sets(RuleWatch *watch, double now, const SetSeen sets[2]) {
    double at = now - watch->began, before = watch->look_before - watch->began;
    int held = static_cast<int>(
        std::count_if(watch->inside_since.begin(), watch->inside_since.end(),
                      [watch](const auto &client) { return client.second <= watch->look_before; }));
    for (int i = 0; i < 2; i++) {
        const SetSeen &was = watch->sets[i], &is = sets[i];
        if (was.id != -1 && is.id != was.id) {
            watch_event(&watch->set_gone[i], now,
                        format_text("the %s set (key %d) was %s at %.1f s", SET_NAME[i], SET_KEY[i],
                                    is.id == -1 ? "removed" : "replaced by another", at));
        } else if (was.id != -1 && (is.mode != was.mode || is.owner != was.owner)) {
            watch_event(&watch->set_permissions[i], now,
                        format_text("the %s set's owner or mode was changed at %.1f s, from uid "
                                    "%d mode %03o to uid %d mode %03o",
                                    SET_NAME[i], at, static_cast<int>(was.owner), was.mode,
                                    static_cast<int>(is.owner), is.mode));
        } else if (was.id != -1 && is.changed != was.changed && held > 0) {
            watch_event(&watch->set_outright[i], now,
                        format_text("the %s set's value was set outright (semctl) between %.1f s "
                                    "and %.1f s, while %d client%s inside, which wipes %s",
                                    SET_NAME[i], before, at, held, held == 1 ? " was" : "s were",
                                    held == 1 ? "its guard" : "their guards"));
        }
        if (is.id != -1 && is.operated == 0)
            watch->start_value[i] = is.value;
        watch->sets[i] = is;
    }
}

void watch_clients_and_sets(RuleWatch *watch, double now, int inside, const SetSeen sets[2]) {
    watch->inside_seconds += watch->inside * (now - watch->last_seen);
    watch->inside = inside;
    watch->look_before = watch->last_seen;
    watch->last_seen = now;

    follow_limit(watch, inside > LIMIT, inside, now);
    watch_sets(watch, now, sets);

    // Units given back but not yet said so push the sum up; units let in
    // but not yet said so, or held by the counterpart, pull it down. Units
    // the sets never had cannot be withheld.
    bool known = sets[0].id != -1 && sets[1].id != -1;
    int units = known ? sets[0].value + sets[1].value + inside : LIMIT;
    int waiting = static_cast<int>(watch->waiting_since.size());
    int total = start_total(*watch);
    int expected = total >= 0 && total < LIMIT ? total : LIMIT;
    Breach seen = track(&watch->over_units, units > LIMIT, units, 0, now);
    keep_longest(&watch->worst_units, seen, LATE_LINE_SECONDS);
    seen =
        track(&watch->under_units, units < expected && waiting > 0, expected - units, waiting, now);
    keep_longest(&watch->worst_withheld, seen, LATE_LINE_SECONDS);

    // A stall is a stretch with clients waiting and fewer than LIMIT inside
    // in which nobody came in: an entry starts it anew.
    Breach *stall = &watch->stall;
    if (stall->since >= 0 && watch->last_entry > stall->since)
        *stall = {watch->last_entry, 0, 0, 0, 0};
    int free_value = sets[0].id != -1 ? sets[0].value : 0;
    seen = track(stall, waiting > 0 && inside < LIMIT, free_value, waiting, now);
    keep_longest(&watch->worst_stall, seen, CONSUME_SECONDS + LATE_LINE_SECONDS);
}

void watch_end(RuleWatch *watch, double now) {
    SetSeen last[2] = {watch->sets[0], watch->sets[1]};
    watch_clients_and_sets(watch, now, watch->inside, last); // brings every breach up to now
    follow_limit(watch, false, 0, now);
    for (const auto &[client, since] : watch->waiting_since)
        watch->longest_wait = std::max(watch->longest_wait, now - since);
    watch->waiting_since.clear();
    watch->inside_since.clear(); // the stop's: a value set from now on wipes no visit's guard
}

static std::string times_in_all(const Event &event, const char *what) {
    return event.count > 1 ? format_text(" (%d %s in all)", event.count, what) : "";
}

// The fault of the limit broken, if it was.
static void judge_limit(const RuleWatch &watch, std::vector<Fault> *faults) {
    if (watch.limit_broken.empty())
        return;
    Breach longest = {};
    int most = 0;
    for (const Breach &b : watch.limit_broken) {
        longest = b.seconds > longest.seconds ? b : longest;
        most = std::max(most, b.highest);
    }
    size_t times = watch.limit_broken.size();
    faults->push_back(
        {"limit",
         format_text("up to %d clients inside at once; above %d for %.1f s from %.1f s%s", most,
                     LIMIT, longest.seconds, longest.since - watch.began,
                     times > 1 ? format_text(" (%zu times in all)", times).c_str() : ""),
         watch.limit_broken.front().since - watch.began});
}

// The faults of units invented while the run went on, lost or invented by
// its end, and withheld from waiting clients.
static void judge_units(const RuleWatch &watch, int free_value, int entry_value,
                        std::vector<Fault> *faults) {
    const Breach &units = watch.worst_units;
    if (units.since >= 0)
        faults->push_back(
            {"units",
             format_text("free + entry + inside reached %d, above %d for "
                         "%.1f s from %.1f s: units invented",
                         units.highest, LIMIT, units.seconds, units.since - watch.began),
             units.since - watch.began});
    int sum = free_value + entry_value, off = sum - LIMIT, total = start_total(watch);
    if (free_value >= 0 && entry_value >= 0 && off != 0) {
        std::string what = format_text("free + entry is %d after the stop, not %d: ", sum, LIMIT);
        if (total != LIMIT && total == sum) {
            what += format_text("the sets were made with free %d + entry %d, not given their "
                                "starting values",
                                watch.start_value[0], watch.start_value[1]);
        } else {
            what += format_text("%d unit%s %s", std::abs(off), std::abs(off) == 1 ? "" : "s",
                                off < 0 ? "lost" : "invented");
            for (const Event &outright : watch.set_outright)
                if (outright.count > 0)
                    what += "; " + outright.what;
        }
        faults->push_back({"units", what, watch.last_seen - watch.began}); // seen at the stop
    }
    const Breach &withheld = watch.worst_withheld;
    if (withheld.since >= 0)
        faults->push_back({"withheld units",
                           format_text("free + entry + inside stayed %d or more short of %d for "
                                       "%.1f s from %.1f s while up to %d clients waited",
                                       withheld.lowest, LIMIT, withheld.seconds,
                                       withheld.since - watch.began, withheld.waiting),
                           withheld.since - watch.began});
}

std::vector<Fault> judge_run(const RuleWatch &watch, int free_value, int entry_value) {
    std::vector<Fault> faults;
    auto since = [&watch](double when) { return when - watch.began; };
    judge_limit(watch, &faults);
    judge_units(watch, free_value, entry_value, &faults);
    const Breach &stall = watch.worst_stall;
    if (stall.since >= 0)
        faults.push_back(
            {"progress",
             format_text("nobody let in for %.1f s from %.1f s while up to %d "
                         "clients waited and the free semaphore held up to %d units",
                         stall.seconds, since(stall.since), stall.waiting, stall.highest),
             since(stall.since)});
    auto event = [&faults, &since](const char *rule, const Event &e, const std::string &what) {
        if (e.count > 0)
            faults.push_back({rule, what, since(e.at)});
    };
    event("counterpart ended", watch.counterpart_ended,
          watch.counterpart_ended.what + times_in_all(watch.counterpart_ended, "times"));
    event("not stopped", watch.not_stopped, watch.not_stopped.what);
    event("processes left", watch.processes_left, watch.processes_left.what);
    for (const Event &gone : watch.set_gone)
        event("sets", gone, gone.what);
    for (int i = 0; i < 2; i++) {
        event("values set outright", watch.set_outright[i],
              watch.set_outright[i].what + times_in_all(watch.set_outright[i], "times"));
        event("values set outright", watch.set_permissions[i], watch.set_permissions[i].what);
    }
    event("lines out of cycle", watch.out_of_cycle,
          watch.out_of_cycle.what + times_in_all(watch.out_of_cycle, "lines"));
    for (const Event &limit : watch.resources)
        event("resources", limit, limit.what);
    const Event &failed = watch.client_failed;
    event("client failed", failed,
          format_text("%d client%s failed; the first, %s", failed.count,
                      failed.count == 1 ? "" : "s", failed.what.c_str()));
    return faults;
}
