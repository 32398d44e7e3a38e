// The hand-off benchmark's figures, and its report of them.
#pragma once

#include <cstddef>
#include <vector>

struct Program {
    const char *name;
    const char *argv[6]; // the path first, ended by a null pointer
};

// One program's figures in one round.
struct Figures {
    double join_seconds;
    double pss_median, pss_max, rss_median; // KiB
    double idle_ticks;                      // -1 if not measured in this round
    double handoff_p50, handoff_p99;        // microseconds
    bool units_back;                        // klient only: free 5 + N, entry 0 after each batch
    int not_by_sigterm;                     // how many something else ended
};

// The median of v.
double median(std::vector<double> v);

// The machine, and how the figures were taken: n clients, rounds, after
// wait seconds, CPU time over idle seconds.
void print_setting(int n, long rounds, bool ablation, unsigned wait, unsigned idle);

// The figures of klient against those of the floor, each a ratio per round.
void print_comparison(const std::vector<Figures> &klient, const std::vector<Figures> &floor);

// The figures of each program against those of the floor, the first.
void print_ablation(const std::vector<const Program *> &programs,
                    const std::vector<std::vector<Figures>> &figures);

// Whether every copy ended by SIGTERM, and every unit of klient's came back,
// said in one line. Returns the exit status: 0 if so, else 1.
int print_checks(const std::vector<std::vector<Figures>> &figures);
