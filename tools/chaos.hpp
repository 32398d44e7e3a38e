// What the demo's chaos kills next.
#pragma once

#include "child_lines.hpp"

#include <cstddef>
#include <random>
#include <set>
#include <vector>

constexpr int CHAOS_COUNTERPART_ONE_IN = 5; // how often chaos picks the counterpart
constexpr size_t NO_VICTIM = static_cast<size_t>(-1);

// Picks the process for chaos to kill, among those alive only: the counterpart
// (each one started is in counterparts, by index) one time in
// CHAOS_COUNTERPART_ONE_IN or when no client is alive, else a client at
// random. Returns NO_VICTIM if that should be the counterpart and none is
// alive, since it has ended on its own.
size_t pick_victim(const std::vector<Child> &processes, const std::set<size_t> &counterparts,
                   std::mt19937 &random);
