// Each program makes every call of one run as usual but one, which fails,
// once with each error it can return in practice: strace injects the error
// at that call, and makes every sleep return at once, so that a visit costs
// no time. After each run the units are counted, and the program's lines
// read: free + entry is back at the free semaphore's starting value (a failed
// call is no death, so no gap applies) unless the line says a unit is lost;
// standard error holds at most that one line; standard output holds only the
// lines of the client's cycle, and no "ucieka" after a sleep that failed; a
// line about a unit held says what became of it, and every line is one that
// the program's manual lists under DIAGNOSTICS; the program ends with
// status 1, as it must after a failed write, or goes on to its wait and ends
// by the SIGTERM sent there, as it must after an EINTR.
#include "harness.hpp"
#include "manual_diagnostics.hpp"
#include "shared_semaphores.hpp"
#include "visit_count.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Case {
    const char *id, *name;
    const char *path, *program, *page; // the program, its name, its manual page
    int free_at, entry_at;             // free + entry is FREE_SEM_INITIAL
    key_t waits_on;                    // the set the program ends its run waiting on
};

// The calls the programs make themselves, with the errors each can return.
// Under the sanitizers their runtime makes the signal calls too, before main.
struct Call {
    const char *name;
    std::vector<int> errors;
    bool runtime_too;
};

const Call CALLS[] = {
    {"semget", {EACCES, ENOENT, ENOMEM, ENOSPC, EINVAL}, false},
    {"semctl", {EACCES, EIDRM, EINVAL, EPERM}, false},
    {"semtimedop", {EINTR, EAGAIN, ENOMEM, EACCES, EIDRM, EINVAL, ERANGE, E2BIG, EFBIG}, false},
    {"write", {EINTR, EAGAIN, EIO, ENOSPC, EFBIG, EPIPE, EBADF}, false},
    {"clock_nanosleep", {EPERM, EINVAL, EFAULT}, false},
    {"timer_create", {EAGAIN, ENOMEM, EINVAL}, false},
    {"timer_settime", {EINVAL}, false},
    {"rt_sigaction", {EINVAL}, true},
    {"rt_sigprocmask", {EINVAL}, true},
};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

const char *STRACE = "/usr/bin/strace";

// How long a program may take to end, or to reach its wait: milliseconds, but
// a loaded machine may hold it back for seconds.
constexpr int STEP_MS = 10000;

void set_up_sets(const Case &c) {
    semctl(sem_id(FREE_SEM_KEY), 0, IPC_RMID);
    semctl(sem_id(ENTRY_SEM_KEY), 0, IPC_RMID);
    sem_set(FREE_SEM_KEY, c.free_at);
    sem_set(ENTRY_SEM_KEY, c.entry_at);
}

// The program strace started, once it runs.
pid_t traced_program(pid_t strace) {
    std::string children =
        "/proc/" + std::to_string(strace) + "/task/" + std::to_string(strace) + "/children";
    pid_t program = 0;
    eventually([&] {
        std::ifstream in(children);
        return static_cast<bool>(in >> program);
    });
    return program;
}

struct Outcome {
    int status = -1;      // the program's, as strace passes it on
    bool waited = false;  // it went on to its wait
    std::string out, err; // its lines
    int units = 0;        // free + entry afterwards
};

// A line about a unit the program held must say what became of it.
bool says_the_units_fate(const std::string &err) {
    const char *about_a_unit[] = {"cannot raise the free", "cannot give a unit back",
                                  "cannot pass a unit on"};
    const char *fates[] = {"gives the unit back", "unit is lost", "unit with it"};
    return std::none_of(std::begin(about_a_unit), std::end(about_a_unit),
                        [&err](const char *a) { return err.find(a) != std::string::npos; }) ||
           std::any_of(std::begin(fates), std::end(fates),
                       [&err](const char *f) { return err.find(f) != std::string::npos; });
}

int count_lines(const std::string &text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// How a case is named in the test's output.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class EveryFailure : public PrivateIpc, public ::testing::WithParamInterface<Case> {
  protected:
    // Runs the program under strace with options, sends SIGTERM once it
    // waits on its set (or after 3 s), and reads what it left.
    Outcome run(const Case &c, const std::vector<std::string> &options) {
        set_up_sets(c);
        std::vector<std::string> args = {"-qq"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(c.path);
        Child s = spawn(STRACE, args, no_leak_check);
        Outcome o;
        bool ended = false;
        eventually(
            [&] {
                ended = waitpid(s.pid, &o.status, WNOHANG) == s.pid;
                o.waited = !ended && sem_waiting(c.waits_on) > 0;
                return ended || o.waited;
            },
            STEP_MS);
        if (!ended) {
            pid_t program = traced_program(s.pid);
            if (program > 0)
                kill(program, SIGTERM);
            o.status = wait_exit(s.pid, STEP_MS);
        }
        o.out = read_rest(s.out, 500);
        o.err = read_rest(s.err, 500);
        o.units = sem_value(FREE_SEM_KEY) + sem_value(ENTRY_SEM_KEY);
        return o;
    }

    // How often the program makes each call of CALLS in one undisturbed run.
    std::map<std::string, int> list_run(const Case &c) {
        char listing[] = "/tmp/every-failure-XXXXXX";
        close(mkstemp(listing));
        std::string traced;
        for (const Call &call : CALLS)
            traced += std::string(traced.empty() ? "" : ",") + call.name;
        Outcome o = run(
            c, {"-o", listing, "-e", "trace=" + traced, "-e", "inject=clock_nanosleep:retval=0"});
        EXPECT_TRUE(o.waited) << c.name << ": the undisturbed run did not reach its wait";
        std::map<std::string, int> calls;
        std::ifstream in(listing);
        for (std::string line; std::getline(in, line);)
            if (size_t paren = line.find('('); paren != std::string::npos)
                calls[line.substr(0, paren)]++;
        unlink(listing);
        return calls;
    }
};

// The lines a run may leave on standard output: the client's cycle, or the
// doorkeeper's admissions.
bool lines_allowed(const Case &c, const std::string &out, bool slept, std::string *why) {
    std::istringstream lines(out);
    VisitCount count;
    pid_t pid = 0;
    for (std::string line; std::getline(lines, line);) {
        if (c.waits_on == FREE_SEM_KEY) {
            if (!line.starts_with("doorkeeper: let one in (admission "))
                return *why = line, false;
            continue;
        }
        if (pid == 0)
            sscanf(line.c_str(), "Klient %d", &pid);
        Said said = count_line(&count, 0, pid, line);
        if (said == SAID_OTHER || said == SAID_OUT_OF_CYCLE || (said == SAID_LEAVES && !slept))
            return *why = line, false;
    }
    return true;
}

TEST_P(EveryFailure, LosesNoUnitAndSaysOneTrueLine) {
    const Case &c = GetParam();
    ASSERT_EQ(access(STRACE, X_OK), 0) << "strace is needed for this test";
    std::map<std::string, int> listed = list_run(c);
    std::vector<std::regex> documented = diagnostics(c.page, c.program);
    ASSERT_FALSE(documented.empty()) << c.page;
    int runs = 0, conserved = 0, lost_as_said = 0, calls = 0;
    for (const Call &call : CALLS) {
        if (SANITIZED && call.runtime_too)
            continue;
        bool sleep = strcmp(call.name, "clock_nanosleep") == 0;
        for (int n = 1; n <= listed[call.name]; n++, calls++)
            for (int error : call.errors) {
                std::string inject = std::string("inject=") + call.name +
                                     ":error=" + strerrorname_np(error) +
                                     ":when=" + std::to_string(n);
                // One trace set: a later -e trace would replace it.
                std::vector<std::string> options = {
                    "-o", "/dev/null",
                    "-e", std::string("trace=") + call.name + (sleep ? "" : ",clock_nanosleep"),
                    "-e", inject};
                if (!sleep) // every visit at once
                    options.insert(options.end(), {"-e", "inject=clock_nanosleep:retval=0"});
                Outcome o = run(c, options);
                runs++;
                std::string what = std::string(c.name) + ", " + call.name + " #" +
                                   std::to_string(n) + " failing with " + strerrorname_np(error) +
                                   ": stderr \"" + o.err + "\", stdout \"" + o.out + "\"";
                bool lost = o.err.find("unit is lost") != std::string::npos ||
                            o.err.find("unit with it") != std::string::npos;
                EXPECT_EQ(o.units, FREE_SEM_INITIAL - lost) << what;
                conserved += o.units == FREE_SEM_INITIAL;
                lost_as_said += lost && o.units == FREE_SEM_INITIAL - 1;
                bool exited = WIFEXITED(o.status) && WEXITSTATUS(o.status) == 1;
                // Ended by the SIGTERM, or by status 128 + SIGTERM where the
                // signal's default action could not be restored to end by it.
                bool went_on =
                    o.waited && ((WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGTERM) ||
                                 (WIFEXITED(o.status) && WEXITSTATUS(o.status) == 128 + SIGTERM));
                EXPECT_TRUE(exited || went_on) << what << ", status " << o.status;
                EXPECT_TRUE(error != EINTR || went_on) << what << ": EINTR is no failure";
                EXPECT_TRUE(error == EINTR || strcmp(call.name, "write") != 0 || exited)
                    << what << ": a line that could not be written is a failure";
                EXPECT_EQ(count_lines(o.err), exited ? 1 : 0) << what;
                EXPECT_TRUE(says_the_units_fate(o.err)) << what;
                std::string said = o.err.substr(0, o.err.find('\n'));
                EXPECT_TRUE(said.empty() || std::any_of(documented.begin(), documented.end(),
                                                        [&said](const std::regex &r) {
                                                            return std::regex_match(said, r);
                                                        }))
                    << what << ": not under DIAGNOSTICS in " << c.page;
                std::string why;
                EXPECT_TRUE(lines_allowed(c, o.out, !sleep, &why)) << what << ": \"" << why << "\"";
            }
    }
    printf("every failure: %s: %d calls, %d runs, each with one call failing: %d conserved, %d "
           "lost as the line says%s\n",
           c.name, calls, runs, conserved, lost_as_said,
           SANITIZED ? " (the signal calls left out: the sanitizer runtime makes them too)" : "");
}

const Case CASES[] = {
    {"Client", "client from free 4, entry 1", KLIENT_PATH, "klient", MAN_DIR "/klient.1", 4, 1,
     ENTRY_SEM_KEY},
    {"Doorkeeper", "doorkeeper from free 1, entry 4", DOORKEEPER_PATH, "doorkeeper",
     MAN_DIR "/doorkeeper.1", 1, 4, FREE_SEM_KEY},
};

INSTANTIATE_TEST_SUITE_P(Programs, EveryFailure, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case> &info) { return info.param.id; });

} // namespace
