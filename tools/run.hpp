// One run of the demo: a counterpart (our doorkeeper, or the command given)
// and N clients on the semaphores of the IPC namespace it runs in, watched
// line by line, stopped, and judged by the rules every counterpart must keep.
#pragma once

#include <string>
#include <vector>

// Which side starts first, FIRST_LEAD_SECONDS before the other, or both at
// once.
enum First : unsigned char { FIRST_NONE, FIRST_COUNTERPART, FIRST_CLIENTS };
constexpr double FIRST_LEAD_SECONDS = 2;

struct RunOptions {
    long clients, seconds;
    bool chaos;
    First first;
    double restart_at;       // when the counterpart is killed and started again, -1 never
    bool stop_first = false; // the stop's SIGTERM to the counterpart's first process alone
    std::string counterpart; // its program as given, empty for our doorkeeper
    const char *log_path;    // the event log, or null
    const char *verdict_path = nullptr; // where the rules broken go as data, or null
    std::vector<std::string> counterpart_args = {};
    std::string program = {};   // the path of the counterpart's program
    bool copied = false;        // copied into the run (else the system's, on the run's PATH)
    std::string in_folder = {}; // where program is a folder: the name of its program in it
};

// Runs, stops and judges. Returns the exit status: 0 if every rule was kept,
// 1 if one was broken, 2 if the run could not be judged (said on standard
// error).
int run_and_judge(const RunOptions &options);
