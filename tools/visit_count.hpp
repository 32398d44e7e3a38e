// Counting the visits of a run from the clients' lines, in the order they are
// read: a visit is completed when its client leaves of its own accord, and
// cut short when its client was inside as the stop was sent. Clients are
// named by any number the caller chooses.
#pragma once

#include <cstddef>
#include <map>
#include <string>

enum Said : unsigned char { SAID_OTHER, SAID_WANTS, SAID_ENTERS, SAID_LEAVES };

struct ClientVisit {
    bool inside;         // has said "konsumuje" and not yet "ucieka"
    bool inside_at_stop; // was inside when the stop was sent
};

struct VisitCount {
    std::map<size_t, ClientVisit> clients;
    bool stop_sent = false;
    int completed = 0, cut_short = 0;
};

// Counts one line of a client and says which announcement it was.
Said count_line(VisitCount *count, size_t client, const std::string &line);

// The stop is being sent: the clients are frozen, and every line they wrote
// before it has been counted.
void count_stop(VisitCount *count);

// The client has ended: a visit it was in is neither completed nor cut short.
void count_end(VisitCount *count, size_t client);

// How many clients are inside.
int count_inside(const VisitCount &count);
