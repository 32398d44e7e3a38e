// Counting completed and cut-short visits.
#include "visit_count.hpp"

Said count_line(VisitCount *count, size_t client, const std::string &line) {
    ClientVisit &visit = count->clients[client];
    if (line.ends_with(" chce wejsc!"))
        return SAID_WANTS;
    if (line.ends_with(" konsumuje!")) {
        visit.inside = true;
        // Said only after the stop, but a frozen client takes no unit: it
        // had its unit when the stop was sent.
        visit.inside_at_stop = count->stop_sent;
        return SAID_ENTERS;
    }
    if (line.ends_with(" ucieka!")) {
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
