// Counting completed and cut-short visits.
#include "visit_count.hpp"

#include "shared_semaphores.hpp"

// Does line end as a client's announcement of what ends?
static bool announces(const std::string &line, const char *what) {
    return line.ends_with(std::string(" ") + what + "!");
}

Said count_line(VisitCount *count, size_t client, const std::string &line) {
    ClientVisit &visit = count->clients[client];
    if (announces(line, WANTS_TO_ENTER))
        return SAID_WANTS;
    if (announces(line, CONSUMES)) {
        visit.inside = true;
        // Said only after the stop, but a frozen client takes no unit: it
        // had its unit when the stop was sent.
        visit.inside_at_stop = count->stop_sent;
        return SAID_ENTERS;
    }
    if (announces(line, LEAVES)) {
        visit.inside = false;
        (visit.inside_at_stop ? count->cut_short : count->completed)++;
        visit.inside_at_stop = false;
        return SAID_LEAVES;
    }
    return SAID_OTHER;
}

void count_stop(VisitCount *count) {
    for (auto &[client, visit] : count->clients)
        visit.inside_at_stop = visit.inside;
    count->stop_sent = true;
}

void count_end(VisitCount *count, size_t client) {
    count->clients.erase(client);
}

int count_inside(const VisitCount &count) {
    int inside = 0;
    for (const auto &[client, visit] : count.clients)
        inside += visit.inside;
    return inside;
}
