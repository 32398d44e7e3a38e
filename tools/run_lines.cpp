// The lines of a run's programs and their ends.
#include "run_lines.hpp"

#include "run_stop.hpp"
#include "shown_text.hpp"

#include <csignal>
#include <cstring>
#include <err.h>
#include <sys/types.h>
#include <sys/wait.h>

void log_event(const Run &run, size_t index, const char *event, double when) {
    if (run.event_log == nullptr)
        return;
    if (run.counterparts.contains(index))
        fprintf(run.event_log, "%.3f\t%s\t%s\n", into_run(run, when), run.counterpart_name, event);
    else
        fprintf(run.event_log, "%.3f\t%d\t%s\n", into_run(run, when), run.children.list[index].pid,
                event);
}

// Passes a line through and notes what it says. A client's line that is not
// an announcement is one of its messages, from its standard error.
static void take_line(Run &run, size_t index, const std::string &line, double when) {
    if (run.counterparts.contains(index)) {
        long size = static_cast<long>(line.size()) + 1;
        if (run.output_shown + size > counterpart_output_bytes(run.options.seconds)) {
            if (run.output_cut_at < 0)
                run.output_cut_at = when;
            run.output_dropped += size;
        } else if (!run.options.counterpart.empty()) {
            run.output_shown += size;
            printf("counterpart: %s\n", printable(line, true).c_str());
        } else if (line.starts_with("doorkeeper: let one in")) {
            run.output_shown += size;
            printf("%s\n", line.c_str());
            log_event(run, index, "admits", when);
        } else {
            run.output_shown += size;
            fprintf(stderr, "%s\n", line.c_str());
        }
        return;
    }
    pid_t pid = run.children.list[index].pid;
    Said said = count_line(&run.visits, index, pid, line);
    if (said == SAID_OTHER) { // its message, or a line forged into its pipe
        run.last_other_line[index] = printable(line);
        fprintf(stderr, "%s\n", run.last_other_line[index].c_str());
        return;
    }
    if (said == SAID_OUT_OF_CYCLE) { // a line no client wrote: shown, but made safe
        printf("%s\n", printable(line).c_str());
        watch_event(&run.rules.out_of_cycle, when,
                    format_text("client %d's pipe carried \"%.200s\" at %.1f s, which its cycle "
                                "does not allow there",
                                pid, printable(line).c_str(), into_run(run, when)));
        return;
    }
    printf("%s\n", line.c_str());
    if (said == SAID_WANTS)
        watch_wants(&run.rules, index, when);
    if (said == SAID_ENTERS)
        watch_enters(&run.rules, index, when);
    if (said == SAID_LEAVES)
        watch_leaves(&run.rules, index);
    const char *events[] = {nullptr, "wants", "enters", "leaves"}; // by Said
    log_event(run, index, events[said], when);
}

void read_lines(Run &run, int timeout_ms) {
    auto on_line = [&run](size_t index, const std::string &line, double when) {
        take_line(run, index, line, when);
    };
    if (read_child_lines(&run.children, timeout_ms, on_line) == -1)
        err(2, "cannot read the programs' output");
    fflush(stdout);
}

void drain(Run &run) {
    auto on_line = [&run](size_t index, const std::string &line, double when) {
        take_line(run, index, line, when);
    };
    while (read_child_lines(&run.children, 0, on_line) > 0)
        ;
    fflush(stdout);
}

void ended(Run &run, size_t index, const char *event) {
    double now = monotonic_seconds();
    run.children.list[index].alive = false;
    count_end(&run.visits, index);
    watch_gone(&run.rules, index, now);
    log_event(run, index, event, now);
}

static std::string describe_status(int status) {
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               strsignal(WTERMSIG(status)) + ")";
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

void ended_by_itself(Run &run, size_t index, int status) {
    drain(run);
    pid_t pid = run.children.list[index].pid;
    double now = monotonic_seconds();
    std::string how = describe_status(status);
    bool counterpart = run.counterparts.contains(index);
    printf("-- %s %d ended by itself (%s)\n", counterpart ? run.counterpart_name : "client", pid,
           how.c_str());
    std::string what = format_text("%d ended at %.1f s, %s", pid, into_run(run, now), how.c_str());
    if (counterpart && WIFSIGNALED(status) && WTERMSIG(status) == SIGXCPU) {
        run.out_of_resources = true;
        run.rules.resources.push_back(
            {1,
             format_text("CPU time: the %s %d was killed by SIGXCPU at %.1f s, at its limit of "
                         "%.0f s, which ended the run",
                         run.counterpart_name, pid, into_run(run, now),
                         counterpart_cpu_seconds(static_cast<double>(run.options.seconds))),
             now});
    } else if (counterpart && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL &&
               memory_limit_kills(run) > 0) {
        run.out_of_resources = true;
        run.rules.resources.push_back(
            {1,
             format_text("memory: the %s %d was killed by the kernel at %.1f s, at its limit of "
                         "%ld MiB, which ended the run",
                         run.counterpart_name, pid, into_run(run, now), COUNTERPART_MEMORY_MAX_MIB),
             now});
    } else if (counterpart) {
        watch_event(&run.rules.counterpart_ended, now,
                    "the " + std::string(run.counterpart_name) + " " + what);
    } else {
        watch_event(&run.rules.client_failed, now, what + ": " + run.last_other_line[index]);
    }
    ended(run, index, "ended");
}

// Did a client end otherwise than by the signal the demo sent it?
static bool failed(int status, int sig) {
    return !WIFSIGNALED(status) || (WTERMSIG(status) != sig && WTERMSIG(status) != SIGKILL);
}

void reap(Run &run) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (size_t i = 0; i < run.children.list.size(); i++) {
            if (run.children.list[i].pid != pid || !run.children.list[i].alive)
                continue;
            auto sent = run.end_signal.find(i);
            if (sent == run.end_signal.end() ||
                (!run.counterparts.contains(i) && failed(status, sent->second))) {
                ended_by_itself(run, i, status);
            } else {
                drain(run);
                ended(run, i, sent->second == SIGKILL ? "killed" : "stopped");
            }
        }
    }
}

bool counterpart_alive(const Run &run) {
    return run.counterpart != NO_VICTIM && run.children.list[run.counterpart].alive;
}

bool await(Run &run, double seconds, const std::function<bool()> &done) {
    double deadline = monotonic_seconds() + seconds;
    while (!done() && monotonic_seconds() < deadline) {
        read_lines(run, 20);
        reap(run);
    }
    return done();
}
