// Starting a run's programs, and starting them again.
#include "run_start.hpp"

#include "run_lines.hpp"
#include "run_stop.hpp"

#include <err.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <vector>

size_t start(Run &run, bool counterpart) {
    static const std::string doorkeeper = program_path("doorkeeper"),
                             klient = program_path("klient");
    const char *ours[] = {doorkeeper.c_str(), nullptr};
    std::vector<const char *> theirs = {
        run.counterpart_file.c_str()}; // its copy, as a shell would name it
    for (const std::string &arg : run.options.counterpart_args)
        theirs.push_back(arg.c_str());
    theirs.push_back(nullptr);
    const char *client[] = {klient.c_str(), nullptr};
    const char *const *argv = !counterpart                      ? client
                              : run.options.counterpart.empty() ? ours
                                                                : theirs.data();
    const char *file = !counterpart                      ? run.klient_file.c_str()
                       : run.options.counterpart.empty() ? run.doorkeeper_file.c_str()
                                                         : run.counterpart_file.c_str();
    const Containment &containment = run.containment;
    double at = monotonic_seconds(); // before it is contained, which takes a while
    int index = start_child(
        &run.children, argv,
        {.group = counterpart ? SESSION_OWN : GROUP_OWN,
         .errors = ERRORS_WITH_OUTPUT,
         .in_child = [&containment, counterpart] { contain_process(containment, counterpart); },
         .file = file});
    if (index == -1)
        err(2, "cannot start %s", counterpart ? run.counterpart_name : "a client");
    pid_t pid = run.children.list[static_cast<size_t>(index)].pid;
    if (counterpart) {
        run.counterparts.insert(static_cast<size_t>(index));
        run.counterpart = static_cast<size_t>(index);
        log_event(run, run.counterpart, "started", at);
    }
    (counterpart ? run.family.relays : run.family.others).insert(pid);
    return index;
}

void restart_counterpart(Run &run, const char *why) {
    if (run.counterpart == NO_VICTIM)
        return; // not started yet
    pid_t pid = run.children.list[run.counterpart].pid;
    bool was_alive = counterpart_alive(run);
    int others = kill_counterpart(run);
    run.killed += was_alive;
    size_t next = start(run, true);
    if (was_alive)
        printf("-- %s: SIGKILL to the %s %d%s; %d takes its place\n", why, run.counterpart_name,
               pid, others > 0 ? format_text(" and %d more of its processes", others).c_str() : "",
               run.children.list[next].pid);
    else
        printf("-- %s: the %s had ended; %d takes its place\n", why, run.counterpart_name,
               run.children.list[next].pid);
}

void kill_one(Run &run, std::mt19937 &random) {
    size_t victim = pick_victim(run.children.list, run.counterparts, random);
    if (victim == NO_VICTIM || run.counterparts.contains(victim)) {
        restart_counterpart(run, "chaos");
        return;
    }
    pid_t pid = run.children.list[victim].pid;
    bool was_inside = run.visits.clients[victim].inside;
    send_signal(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    drain(run); // what it wrote before it died comes before its end in the log
    run.killed++;
    ended(run, victim, "killed");
    size_t next = start(run, false);
    printf("-- chaos: SIGKILL to client %d%s; %d takes its place\n", pid,
           was_inside ? " (inside)" : "", run.children.list[next].pid);
}
