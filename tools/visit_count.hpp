// Counting the visits of a run from the clients' lines, in the order they are
// read: a visit is completed when its client leaves of its own accord, and
// cut short when its client was inside as the stop was sent. Clients are
// named by any number the caller chooses. A client's announcements follow its
// cycle, each with its own pid: wants, enters, leaves, wants again. Any other
// is a line the client never wrote, and is not counted.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <sys/types.h>

enum Said : unsigned char { SAID_OTHER, SAID_WANTS, SAID_ENTERS, SAID_LEAVES, SAID_OUT_OF_CYCLE };

struct ClientVisit {
    bool inside;         // has said "konsumuje" and not yet "ucieka"
    bool inside_at_stop; // was inside when the stop was sent
    Said last;           // its last announcement, SAID_OTHER before the first
};

struct VisitCount {
    std::map<size_t, ClientVisit> clients;
    bool stop_sent = false;
    int completed = 0, cut_short = 0;
};

// Counts one line of the client whose pid is pid, and says which announcement
// it was: SAID_OUT_OF_CYCLE for one its cycle does not allow here, or that
// carries another pid, SAID_OTHER for a line that is no announcement.
Said count_line(VisitCount *count, size_t client, pid_t pid, const std::string &line);

// The stop is being sent: the clients are frozen, and every line they wrote
// before it has been counted.
void count_stop(VisitCount *count);

// The client has ended: a visit it was in is neither completed nor cut short.
void count_end(VisitCount *count, size_t client);

// How many clients are inside.
int count_inside(const VisitCount &count);
