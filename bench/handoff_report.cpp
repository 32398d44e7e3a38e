// The hand-off benchmark's report: each figure as a ratio to the floor's in
// the same round, its median over the rounds with their range.
#include "handoff.hpp"

#include "shared_semaphores.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

// "median [least-most]" of the ratios over the rounds, or "-" if the floor
// was 0 in any round.
static std::string ratio_range(const std::vector<double> &of, const std::vector<double> &to) {
    std::vector<double> ratios;
    for (size_t i = 0; i < of.size(); i++) {
        if (to[i] <= 0)
            return "-";
        ratios.push_back(of[i] / to[i]);
    }
    auto [least, most] = std::minmax_element(ratios.begin(), ratios.end());
    char text[64];
    snprintf(text, sizeof text, "%.2f [%.2f-%.2f]", median(ratios), *least, *most);
    return text;
}

using Field = double Figures::*;

static std::vector<double> over_rounds(const std::vector<Figures> &rounds, Field field) {
    std::vector<double> v;
    for (const Figures &f : rounds)
        if (f.*field >= 0)
            v.push_back(f.*field);
    return v;
}

struct Row {
    const char *measure, *format;
    Field field;
};

const Row ROWS[] = {
    {"join: all announced and waiting (s)", "%.3f", &Figures::join_seconds},
    {"PSS per waiting client, median (KiB)", "%.0f", &Figures::pss_median},
    {"PSS per waiting client, max (KiB)", "%.0f", &Figures::pss_max},
    {"RSS per waiting client, median (KiB)", "%.0f", &Figures::rss_median},
    {"CPU ticks, all, while waiting (round 1)", "%.0f", &Figures::idle_ticks},
    {"hand-off latency p50 (us)", "%.1f", &Figures::handoff_p50},
    {"hand-off latency p99 (us)", "%.1f", &Figures::handoff_p99},
};

void print_comparison(const std::vector<Figures> &k, const std::vector<Figures> &w) {
    printf("%-40s %12s %12s   %s\n", "measure (median over the rounds)", "klient", "bare waiter",
           "klient / bare [range]");
    for (const Row &row : ROWS) {
        std::vector<double> a = over_rounds(k, row.field), b = over_rounds(w, row.field);
        char ka[32], wa[32];
        snprintf(ka, sizeof ka, row.format, median(a));
        snprintf(wa, sizeof wa, row.format, median(b));
        printf("%-40s %12s %12s   %s\n", row.measure, ka, wa, ratio_range(a, b).c_str());
    }
}

void print_ablation(const std::vector<const Program *> &programs,
                    const std::vector<std::vector<Figures>> &figures) {
    printf("%-14s %16s   %-22s %-22s %-22s\n", "program", "p50 median (us)", "p50 / bare [range]",
           "p99 / bare [range]", "join / bare [range]");
    const std::vector<Figures> &floor = figures[0];
    for (size_t i = 0; i < programs.size(); i++) {
        const std::vector<Figures> &f = figures[i];
        printf("%-14s %16.1f   %-22s %-22s %-22s\n", programs[i]->name,
               median(over_rounds(f, &Figures::handoff_p50)),
               ratio_range(over_rounds(f, &Figures::handoff_p50),
                           over_rounds(floor, &Figures::handoff_p50))
                   .c_str(),
               ratio_range(over_rounds(f, &Figures::handoff_p99),
                           over_rounds(floor, &Figures::handoff_p99))
                   .c_str(),
               ratio_range(over_rounds(f, &Figures::join_seconds),
                           over_rounds(floor, &Figures::join_seconds))
                   .c_str());
    }
}

int print_checks(const std::vector<std::vector<Figures>> &figures) {
    bool units_back = true;
    int not_by_sigterm = 0;
    for (const std::vector<Figures> &program : figures)
        for (const Figures &f : program) {
            units_back = units_back && f.units_back;
            not_by_sigterm += f.not_by_sigterm;
        }
    printf("every copy ended by SIGTERM: %s; klient's units all back after each batch (free %d + "
           "N, entry 0): %s\n",
           not_by_sigterm == 0 ? "yes" : "NO", FREE_SEM_INITIAL,
           units_back ? "no unit lost" : "UNITS LOST");
    return units_back && not_by_sigterm == 0 ? 0 : 1;
}

void print_setting(int n, long rounds, bool ablation, unsigned wait, unsigned idle) {
    utsname host;
    uname(&host);
    printf("machine: %ld cores, %s %s %s; %d clients, %ld rounds of %s in turn; hand-offs after "
           "%u s of waiting%s\n",
           sysconf(_SC_NPROCESSORS_ONLN), host.sysname, host.release, host.machine, n, rounds,
           ablation ? "the bare waiter, each step added, and klient" : "klient and bare waiter",
           wait, ablation ? "" : ("; CPU over " + std::to_string(idle) + " s of waiting").c_str());
}
