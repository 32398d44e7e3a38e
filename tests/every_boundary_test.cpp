// Each program is ended at every system-call boundary of a run in turn, once
// by SIGKILL and once by SIGTERM, and after each death the units are counted.
// free + entry must be back at the free semaphore's starting value, except in
// the gaps the manual pages name, where two calls move a unit between two sets or
// make a set and then start it: only there may a SIGKILL lose units.
//
// The program runs under ptrace in the test. A run is first listed, call by
// call, up to the wait that follows it; then it is run again from the start
// for every boundary, stopped there and ended. The exit of one call and the
// entry of the next are the same moment for the semaphores, but both are tried.
#include "harness.hpp"
#include "shared_semaphores.hpp"
#include "traced_program.hpp"

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <sys/ipc.h>
#include <sys/ptrace.h>
#include <sys/sem.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Case {
    const char *id, *name;
    const char *path;
    int free_at, entry_at; // the sets' values before the run; -1: no set
    key_t waits_on;        // the set the program ends its run waiting on
    int stops_in_gaps;     // boundaries at which SIGKILL loses units in a named gap
};

// A named gap, by the calls on either side of it and the units a death there loses.
struct Gap {
    const char *after, *before;
    int lost;
};

const Gap GAPS[] = {
    {"semget free made", "semop free +5", FREE_SEM_INITIAL}, // made, not yet started
    {"semop entry -1", "semop free +1 -1u", 1},              // a client let in, not yet guarded
    {"semop free +1u -1", "semop entry +1", 1},              // a unit unguarded, not passed on
};

// Under the sanitizers the sweep starts at the first semget: the two hundred
// calls before it are the sanitizer runtime's start-up, which touches no
// semaphore and would make each case cost half a minute.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

const char *signal_name(int sig) {
    return sig == SIGKILL ? "SIGKILL" : "SIGTERM";
}

// free + entry as the next program to start would find them: a missing set
// would be made with its starting value.
int units() {
    int free_value = sem_id(FREE_SEM_KEY) == -1 ? FREE_SEM_INITIAL : sem_value(FREE_SEM_KEY);
    int entry_value = sem_id(ENTRY_SEM_KEY) == -1 ? ENTRY_SEM_INITIAL : sem_value(ENTRY_SEM_KEY);
    return free_value + entry_value;
}

void set_up_sets(const Case &c) {
    semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID);
    semctl(sem_id(ENTRY_SEM_KEY), 0, IPC_RMID);
    if (c.free_at >= 0)
        sem_set(FREE_SEM_KEY, c.free_at);
    if (c.entry_at >= 0)
        sem_set(ENTRY_SEM_KEY, c.entry_at);
}

struct Boundary {
    std::string after, before; // the calls on either side; "" before the first
    long nr;                   // the call whose entry or exit this is
    bool inside_wait;          // the last one: blocked in the wait that ends the run
};

// Lists the boundaries of one undisturbed run, up to the wait that follows it.
std::vector<Boundary> list_run(const Case &c) {
    set_up_sets(c);
    pid_t pid = start_traced(c.path);
    std::vector<Boundary> list;
    std::vector<std::string> calls;
    std::map<int, key_t> sets; // the keys of the set ids that the program's semget calls returned
    __ptrace_syscall_info info;
    Change change = TIMED_OUT;
    long nr = -1;
    key_t joining = 0; // the key of the last semget
    while (pid > 0 && (change = next_stop(pid, &info, c.waits_on)) == STOPPED) {
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
            nr = static_cast<long>(info.entry.nr);
            joining = static_cast<key_t>(info.entry.args[0]);
            calls.push_back(describe(pid, info, sets));
            list.push_back(
                {calls.size() > 1 ? calls[calls.size() - 2] : "", calls.back(), nr, false});
            continue;
        }
        if (nr == SYS_semget && info.exit.rval >= 0) {
            sets[static_cast<int>(info.exit.rval)] = joining;
            if (calls.back().ends_with(" excl"))
                calls.back().replace(calls.back().size() - 4, 4, "made");
        }
        list.push_back({calls.back(), "", nr, false}); // before: the next call, filled in below
    }
    EXPECT_EQ(change, WAITING) << c.name << ": the listed run did not end in a wait";
    for (size_t i = 0; i + 1 < list.size(); i++)
        if (list[i].before.empty())
            list[i].before = list[i + 1].before;
    if (!calls.empty())
        list.push_back({calls.back() + " began to wait", "it returns", nr, true});
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return list;
}

// The entry of the program's first semget.
size_t first_semget(const std::vector<Boundary> &list) {
    size_t k = 0;
    while (k < list.size() && list[k].nr != SYS_semget)
        k++;
    return k;
}

// Runs the program to boundary k of list, ends it there with sig, and returns
// the units lost (negative if units were made), or fails the test and returns 0.
int lose_at(const Case &c, const std::vector<Boundary> &list, size_t k, int sig) {
    set_up_sets(c);
    pid_t pid = start_traced(c.path);
    __ptrace_syscall_info info = {};
    Change change = pid > 0 ? STOPPED : TIMED_OUT;
    long nr = -1;
    // The sanitizer runtime's start-up makes a call more or less from one run
    // to the next: from the first semget on, boundaries are counted from it.
    size_t anchor = first_semget(list);
    auto step = [&] {
        if ((change = next_stop(pid, &info, c.waits_on)) == STOPPED &&
            info.op == PTRACE_SYSCALL_INFO_ENTRY)
            nr = static_cast<long>(info.entry.nr);
    };
    if (k >= anchor)
        while (change == STOPPED && nr != SYS_semget)
            step();
    for (size_t stops = k >= anchor ? anchor + 1 : 0;
         change == STOPPED && stops < k + !list[k].inside_wait; stops++)
        step();
    if (change == STOPPED && list[k].inside_wait)
        change = next_stop(pid, &info, c.waits_on);
    bool there = nr == list[k].nr && change == (list[k].inside_wait ? WAITING : STOPPED);
    EXPECT_TRUE(there) << c.name << ": the run went otherwise than its listing before boundary "
                       << k << " (after " << list[k].after << "): call " << nr << " instead of "
                       << list[k].nr << ", change " << change;
    int status = 0;
    if (there) {
        kill(pid, sig);
        if (sig == SIGTERM && list[k].inside_wait) // the signal stops it first: pass it on
            await_change(pid, &status, 0, STEP_MS);
        if (sig == SIGTERM)
            ptrace(PTRACE_DETACH, pid, nullptr, list[k].inside_wait ? SIGTERM : 0);
    }
    bool ended = pid > 0 && await_change(pid, &status, 0, STEP_MS) == ENDED;
    if (pid > 0 && !ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(!there || (ended && WIFSIGNALED(status) && WTERMSIG(status) == sig))
        << c.name << ": not ended by " << signal_name(sig) << " within " << STEP_MS
        << " ms (status " << (ended ? status : -1) << ") after " << list[k].after << ", before "
        << list[k].before;
    return there && ended ? FREE_SEM_INITIAL - units() : 0;
}

const Gap *named_gap(const Boundary &b) {
    for (const Gap &gap : GAPS)
        if (b.after == gap.after && b.before == gap.before)
            return &gap;
    return nullptr;
}

// How a case is named in the test's output.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class EveryBoundary : public PrivateIpc, public ::testing::WithParamInterface<Case> {};

TEST_P(EveryBoundary, LosesUnitsOnlyInTheNamedGaps) {
    const Case &c = GetParam();
    const sigset_t chld = only_sigchld();
    pthread_sigmask(SIG_BLOCK, &chld, nullptr);
    std::vector<Boundary> list = list_run(c);
    size_t first = SANITIZED ? first_semget(list) : 0;
    int deaths = 0, conserved = 0, in_gaps = 0;
    for (size_t k = first; k < list.size(); k++)
        for (int sig : {SIGKILL, SIGTERM}) {
            int lost = lose_at(c, list, k, sig);
            const Gap *gap = sig == SIGKILL ? named_gap(list[k]) : nullptr;
            deaths++;
            conserved += lost == 0;
            in_gaps += gap != nullptr && lost == gap->lost;
            EXPECT_EQ(lost, gap != nullptr ? gap->lost : 0)
                << c.name << ", boundary " << k << " after " << list[k].after << ", before "
                << list[k].before << ", " << signal_name(sig) << ": free + entry = " << units()
                << " (free " << sem_value(FREE_SEM_KEY) << ", entry " << sem_value(ENTRY_SEM_KEY)
                << ")" << (gap != nullptr ? ", in a named gap" : "");
        }
    EXPECT_EQ(in_gaps, c.stops_in_gaps)
        << c.name << ": not every named gap showed up where expected";
    printf("every boundary: %s: %zu of %zu boundaries, %d deaths: %d conserved, %d lost in a "
           "named gap\n",
           c.name, list.size() - first, list.size(), deaths, conserved, in_gaps);
    pthread_sigmask(SIG_UNBLOCK, &chld, nullptr);
}

const Case CASES[] = {
    {"ClientFromFree3Entry2", "client from free 3, entry 2", KLIENT_PATH, 3, 2, ENTRY_SEM_KEY, 4},
    {"ClientMakingTheSets", "client that makes the sets", KLIENT_PATH, -1, -1, ENTRY_SEM_KEY, 2},
    {"DoorkeeperFromNoSets", "doorkeeper from no sets", DOORKEEPER_PATH, -1, -1, FREE_SEM_KEY, 12},
};

std::string case_id(const ::testing::TestParamInfo<Case> &info) {
    return info.param.id;
}

INSTANTIATE_TEST_SUITE_P(Programs, EveryBoundary, ::testing::ValuesIn(CASES), case_id);

} // namespace
