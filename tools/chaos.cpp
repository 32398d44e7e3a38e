// Picking chaos's next victim.
#include "chaos.hpp"

size_t pick_victim(const std::vector<Child> &processes, const std::set<size_t> &counterparts,
                   std::mt19937 &random) {
    std::vector<size_t> clients;
    size_t counterpart = NO_VICTIM;
    for (size_t i = 0; i < processes.size(); i++) {
        if (processes[i].alive && counterparts.contains(i))
            counterpart = i;
        else if (processes[i].alive)
            clients.push_back(i);
    }
    if (random() % CHAOS_COUNTERPART_ONE_IN == 0 || clients.empty())
        return counterpart;
    return clients[random() % clients.size()];
}
