// Following the rules through a run.
#include "rule_watch.hpp"

#include "shared_semaphores.hpp"

#include <algorithm>

constexpr int LIMIT = FREE_SEM_INITIAL;

// Starts, extends or ends the breach going on. Returns it as it stands, its
// length counted up to now; since is -1 if there is none.
static Breach track(Breach *breach, bool breached, int amount, int waiting, double now) {
    if (breached && breach->since < 0)
        *breach = {now, 0, amount, waiting};
    if (breach->since < 0)
        return *breach;
    breach->seconds = now - breach->since;
    if (breached) {
        breach->most = std::max(breach->most, amount);
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

void watch_start(RuleWatch *watch, double now) {
    watch->last_seen = now;
}

void watch_gone(RuleWatch *watch, size_t client, double when) {
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
    watch->last_entry = when;
}

// Every breach of the limit that counted is kept, each once it has ended.
static void follow_limit(RuleWatch *watch, bool breached, int inside, double now) {
    Breach seen = track(&watch->over_limit, breached, inside, 0, now);
    if (watch->over_limit.since < 0 && seen.since >= 0 && seen.seconds > LATE_LINE_SECONDS)
        watch->limit_broken.push_back(seen);
}

void watch_seen(RuleWatch *watch, double now, int inside, int free_and_entry) {
    watch->inside_seconds += watch->inside * (now - watch->last_seen);
    watch->inside = inside;
    watch->last_seen = now;

    follow_limit(watch, inside > LIMIT, inside, now);

    // Units given back but not yet said so push the sum up; units let in
    // but not yet said so, or held by the counterpart, pull it down.
    int units = free_and_entry < 0 ? 0 : free_and_entry + inside;
    Breach seen = track(&watch->over_units, units > LIMIT, units, 0, now);
    keep_longest(&watch->worst_units, seen, LATE_LINE_SECONDS);

    // A stall is a stretch with clients waiting and units free in which
    // nobody came in: an entry starts it anew.
    int waiting = static_cast<int>(watch->waiting_since.size());
    Breach *stall = &watch->stall;
    if (stall->since >= 0 && watch->last_entry > stall->since)
        *stall = {watch->last_entry, 0, 0, 0};
    seen = track(stall, waiting > 0 && inside < LIMIT, LIMIT - inside, waiting, now);
    keep_longest(&watch->worst_stall, seen, CONSUME_SECONDS + LATE_LINE_SECONDS);
}

void watch_end(RuleWatch *watch, double now) {
    watch_seen(watch, now, watch->inside, -1); // brings every breach up to now
    follow_limit(watch, false, 0, now);
    for (const auto &[client, since] : watch->waiting_since)
        watch->longest_wait = std::max(watch->longest_wait, now - since);
    watch->waiting_since.clear();
}
