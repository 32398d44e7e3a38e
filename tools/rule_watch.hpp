// Judging a run by the rules every counterpart must keep, from what the demo
// sees as it sees it: the clients' lines, each with the time it was read, the
// semaphores as the kernel shows them, and how each process ended. At most
// FREE_SEM_INITIAL clients are inside at once; free + entry + inside stays at
// FREE_SEM_INITIAL, neither above it (units invented) nor below it while
// clients wait (units withheld); while units are free and clients wait,
// someone is let in; nobody but the kernel's own undo sets a value once
// clients hold units.
//
// Counts from lines run behind the semaphores, so a breach counts only once
// it has lasted longer than LATE_LINE_SECONDS (docs/demo.md says why, and how
// it was measured).
#pragma once

#include <cstddef>
#include <ctime>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

constexpr double LATE_LINE_SECONDS = 1;

// A stretch of time during which a rule was breached.
// What it follows, its amount, is one count: clients inside, units in all, or
// units free, as the rule has it.
struct Breach {
    double since = -1; // -1: none going on
    double seconds = 0;
    int highest = 0; // its amount at most while it lasted
    int waiting = 0; // the most clients waiting while it lasted
    int lowest = 0;  // its amount at least while it lasted
};

// One set as one look at the kernel shows it.
struct SetSeen {
    int id = -1; // -1: there is no set under its key
    int value = 0;
    time_t changed = 0;  // sem_ctime: made, a value set outright, permissions changed
    time_t operated = 0; // sem_otime: 0 until a semop has completed on it
    unsigned mode = 0;   // its permission bits
    uid_t owner = 0;
};

// The first time something happened, and how often.
struct Event {
    int count = 0;
    std::string what; // the first
    double at = -1;   // when the first came
};

struct RuleWatch {
    double began = 0, last_seen = 0, look_before = 0;  // the last look, the one before it
    Breach over_limit, over_units, under_units, stall; // going on now
    std::vector<Breach> limit_broken;                  // every over_limit that counted
    Breach worst_units, worst_withheld, worst_stall;   // the longest that counted
    std::map<size_t, double> waiting_since;            // by client
    std::map<size_t, double> inside_since;             // by client: its "konsumuje", until it left
    double last_entry = -1;
    double longest_wait = 0, inside_seconds = 0; // figures, not judged
    int inside = 0;
    SetSeen sets[2];               // free, entry: as last seen
    int start_value[2] = {-1, -1}; // as last seen before any semop, -1 if not seen so
    Event set_gone[2], set_outright[2], set_permissions[2];
    Event out_of_cycle, counterpart_ended, client_failed, not_stopped, processes_left;
    std::vector<Event> resources; // each limit the counterpart reached, and when
};

void watch_begin(RuleWatch *watch, double now);

// A client announced that it wants to enter, or that it consumes, or it ended.
void watch_wants(RuleWatch *watch, size_t client, double when);
void watch_enters(RuleWatch *watch, size_t client, double when);
void watch_leaves(RuleWatch *watch, size_t client);
void watch_gone(RuleWatch *watch, size_t client, double when);

// What is seen at now: clients inside by their lines, and the free and the
// entry set.
void watch_clients_and_sets(RuleWatch *watch, double now, int inside, const SetSeen sets[2]);

// The sets alone, as seen at now. A value set outright counts the clients
// inside since the look before at least: those that held a guard when it
// was set, whenever between the two looks that was.
void watch_sets(RuleWatch *watch, double now, const SetSeen sets[2]);

// Counts what happened to the event; its first description, and its time,
// are kept.
void watch_event(Event *event, double when, const std::string &what);

// The run is over: closes every breach still going on.
void watch_end(RuleWatch *watch, double now);

// printf into a string of at most 1023 bytes.
__attribute__((format(printf, 1, 2))) std::string format_text(const char *format, ...);

struct Fault {
    std::string rule, what;
    double at; // seconds into the run: when the run first saw it
};

// Every rule a fault may name, in the order judge_run names them.
inline const char *const RULES[] = {"limit",
                                    "units",
                                    "withheld units",
                                    "progress",
                                    "counterpart ended",
                                    "not stopped",
                                    "processes left",
                                    "sets",
                                    "values set outright",
                                    "lines out of cycle",
                                    "resources",
                                    "client failed"};

// Every rule broken, in a fixed order, given free and entry as they are
// after the stop (-1 for a set that is gone).
std::vector<Fault> judge_run(const RuleWatch &watch, int free_value, int entry_value);
