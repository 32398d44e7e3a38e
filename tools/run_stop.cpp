// Ending a run's programs.
#include "run_stop.hpp"

#include "control_group.hpp"
#include "run_lines.hpp"

#include <algorithm>
#include <cstring>
#include <sys/types.h>
#include <sys/wait.h>
#include <vector>

int kill_counterpart(Run &run) {
    pid_t leader = 0;
    if (counterpart_alive(run)) {
        leader = run.children.list[run.counterpart].pid;
        run.end_signal[run.counterpart] = SIGKILL;
    }
    int others = kill_family(run.family, leader);
    await(run, STOP_GRACE_SECONDS,
          [&run] { return !counterpart_alive(run) && family_processes(run.family).empty(); });
    return others;
}

long memory_limit_kills(const Run &run) {
    return run.family.group == nullptr ? -1 : control_group_memory_kills(*run.family.group);
}

void watch_resources(Run &run, double now) {
    Usage use = family_usage(run.family);
    long tasks = use.tasks;
    double mib = use.mib, cpu = use.cpu_seconds;
    if (tasks >= COUNTERPART_TASKS && !run.tasks_reported) {
        run.tasks_reported = true;
        run.rules.resources.push_back(
            {1,
             format_text("processes: %ld processes and threads at %.1f s, its limit of %ld "
                         "reached: the system refuses it more",
                         tasks, into_run(run, now), COUNTERPART_TASKS),
             now});
    }
    run.most_tasks = std::max(run.most_tasks, tasks);
    run.most_mib = std::max(run.most_mib, mib);
    run.most_cpu_seconds = std::max(run.most_cpu_seconds, cpu);
    if (run.out_of_resources) { // its first process killed for them, in this turn:
        kill_counterpart(run);  // the rest goes as it would beyond a limit seen here
        return;
    }
    double cpu_limit = counterpart_cpu_seconds(static_cast<double>(run.options.seconds));
    long memory_kills = memory_limit_kills(run);
    std::string over =
        memory_kills > 0
            ? format_text("memory: %ld of its processes killed by the kernel by %.1f s, at its "
                          "limit of %ld MiB",
                          memory_kills, into_run(run, now), COUNTERPART_MEMORY_MAX_MIB)
        : mib > COUNTERPART_RESIDENT_MIB
            ? format_text("memory: %.0f MiB in use at %.1f s, beyond its limit of %ld MiB", mib,
                          into_run(run, now), COUNTERPART_RESIDENT_MIB)
        : cpu > cpu_limit ? format_text("CPU time: %.1f s at %.1f s, beyond its limit of %.0f s",
                                        cpu, into_run(run, now), cpu_limit)
                          : "";
    if (over.empty())
        return;
    kill_counterpart(run);
    run.out_of_resources = true;
    run.rules.resources.push_back({1, over + "; killed with SIGKILL, which ended the run", now});
}

// Sends sig to the counterpart's process group, or, where the run asks,
// SIGTERM to its first process alone, as kill PID sends it. Returns whom it
// sent it to, as a line names them.
static std::string send_stop(Run &run, int sig) {
    pid_t first = run.options.stop_first && sig == SIGTERM ? family_first(run.family) : 0;
    if (first > 0) {
        send_signal(first, sig);
        return format_text("its first process %d alone", first);
    }
    send_signal(-run.children.list[run.counterpart].pid, sig);
    return "its process group";
}

void stop_counterpart(Run &run, int sig) {
    if (counterpart_alive(run)) {
        pid_t pid = run.children.list[run.counterpart].pid;
        run.end_signal[run.counterpart] = sig;
        std::string whom = send_stop(run, sig);
        printf("-- %s the %s (SIG%s to %s), then the clients\n",
               sig == SIGKILL ? "killing" : "stopping", run.counterpart_name, sigabbrev_np(sig),
               whom.c_str());
        if (!await(run, STOP_GRACE_SECONDS, [&run] { return !counterpart_alive(run); })) {
            watch_event(&run.rules.not_stopped, monotonic_seconds(),
                        format_text("the %s %d did not end within %.0f s of SIG%s to %s, and was "
                                    "killed with SIGKILL",
                                    run.counterpart_name, pid, STOP_GRACE_SECONDS,
                                    sigabbrev_np(sig), whom.c_str()));
            kill_counterpart(run);
        }
    } else {
        printf("-- the %s %s; %s the clients\n", run.counterpart_name,
               run.counterpart == NO_VICTIM ? "was not started yet" : "had ended",
               sig == SIGKILL ? "killing" : "stopping");
    }
    std::vector<Seen> left;
    await(run, STOP_GRACE_SECONDS, [&] {
        left = family_processes(run.family);
        std::erase_if(left, [](const Seen &p) { return p.keeper; });
        return left.empty();
    });
    if (left.empty())
        return;
    std::string which;
    for (size_t i = 0; i < left.size() && i < 5; i++)
        which += format_text("%s%d (%.40s)", i > 0 ? ", " : "", left[i].pid, left[i].name.c_str());
    watch_event(&run.rules.processes_left, monotonic_seconds(),
                format_text("%zu process%s of the %s still ran %.0f s after the stop: %s%s; "
                            "killed with SIGKILL",
                            left.size(), left.size() == 1 ? "" : "es", run.counterpart_name,
                            STOP_GRACE_SECONDS, which.c_str(), left.size() > 5 ? ", ..." : ""));
    kill_counterpart(run);
}

void stop_clients(Run &run, int sig) {
    std::vector<size_t> targets;
    for (size_t i = 0; i < run.children.list.size(); i++)
        if (run.children.list[i].alive && !run.counterparts.contains(i))
            targets.push_back(i);
    if (sig == SIGTERM) {
        for (size_t i : targets)
            send_signal(run.children.list[i].pid, SIGSTOP);
        std::vector<size_t> frozen;
        for (size_t i : targets) {
            int status = 0;
            pid_t pid = run.children.list[i].pid;
            if (waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status))
                ended_by_itself(run, i, status);
            else
                frozen.push_back(i);
        }
        targets = frozen;
        drain(run);
        count_stop(&run.visits);
    }
    for (size_t i : targets) {
        run.end_signal[i] = sig;
        send_signal(run.children.list[i].pid, sig);
        send_signal(run.children.list[i].pid, SIGCONT);
        run.killed += sig == SIGKILL;
    }
    auto all_ended = [&run, &targets] {
        return std::none_of(targets.begin(), targets.end(),
                            [&run](size_t i) { return run.children.list[i].alive; });
    };
    if (!await(run, STOP_GRACE_SECONDS, all_ended)) {
        for (size_t i : targets)
            if (run.children.list[i].alive)
                send_signal(run.children.list[i].pid, SIGKILL);
        await(run, STOP_GRACE_SECONDS, all_ended);
    }
}
