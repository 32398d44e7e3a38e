// Counting completed and cut-short visits.
#include "visit_count.hpp"

#include "shared_semaphores.hpp"

#include <cstdio>

Said count_line(VisitCount *count, size_t client, pid_t pid, const std::string &line) {
    const char *announced[] = {nullptr, WANTS_TO_ENTER, CONSUMES, LEAVES}; // by Said
    Said said = SAID_OTHER;
    for (int s = SAID_WANTS; s <= SAID_LEAVES; s++)
        if (line.starts_with("Klient ") && line.ends_with(std::string(" ") + announced[s] + "!"))
            said = static_cast<Said>(s);
    if (said == SAID_OTHER)
        return SAID_OTHER;
    ClientVisit &visit = count->clients[client];
    Said next = visit.last == SAID_WANTS    ? SAID_ENTERS
                : visit.last == SAID_ENTERS ? SAID_LEAVES
                                            : SAID_WANTS;
    char own[64];
    snprintf(own, sizeof own, ANNOUNCEMENT, static_cast<int>(pid), announced[said]);
    if (said != next || line + "\n" != own)
        return SAID_OUT_OF_CYCLE;
    visit.last = said;
    if (said == SAID_WANTS)
        return SAID_WANTS;
    if (said == SAID_ENTERS) {
        visit.inside = true;
        // Said only after the stop, but a frozen client takes no unit: it
        // had its unit when the stop was sent.
        visit.inside_at_stop = count->stop_sent;
        return SAID_ENTERS;
    }
    visit.inside = false;
    (visit.inside_at_stop ? count->cut_short : count->completed)++;
    visit.inside_at_stop = false;
    return SAID_LEAVES;
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
