// Picking chaos's next victim.
#include "chaos.hpp"

size_t pick_victim(const std::vector<Process> &processes, std::mt19937 &random) {
    std::vector<size_t> clients;
    size_t doorkeeper = NO_VICTIM;
    for (size_t i = 0; i < processes.size(); i++) {
        if (processes[i].alive && processes[i].doorkeeper)
            doorkeeper = i;
        else if (processes[i].alive)
            clients.push_back(i);
    }
    if (random() % CHAOS_DOORKEEPER_ONE_IN == 0 || clients.empty())
        return doorkeeper;
    return clients[random() % clients.size()];
}
