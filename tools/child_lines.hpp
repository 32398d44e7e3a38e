// Starting programs with standard output on a pipe of their own, and reading
// their lines as they come, each with the time it was read: what the demo, the
// grader, the benchmark and the tests share.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

struct Child {
    pid_t pid;
    int out;                  // read end of its own pipe; -1 once it has ended, or if shared
    int err = -1;             // read end of its standard error's pipe, with ERRORS_OWN_PIPE
    std::string partial = {}; // a line not yet read to its end
    bool alive = true;        // not yet reaped (by its starter): its pid is still its own
};

struct Children {
    int epoll_fd = -1;
    std::vector<Child> list; // in the order they were started
    // One pipe for all children instead of a pipe each (see share_one_pipe).
    int shared_in = -1, shared_out = -1;
    std::string shared_partial;
};

// Index given to lines that came through the shared pipe.
constexpr size_t FROM_SHARED_PIPE = static_cast<size_t>(-1);

// Where the programs are installed under a prefix: the demo, which only the
// grader starts, apart from the programs on PATH.
constexpr const char *INSTALLED_PROGRAM_DIR = "/bin", *INSTALLED_DEMO_DIR = "/libexec/klient";

// The path of the project's program name. For a program installed under a
// prefix (in one of the two directories above), where name is installed
// under the same prefix; otherwise beside this program, as in the build tree.
// Where this program lies is read at the first call: in a chroot, a /proc
// mounted in new namespaces shows it from outside the chroot.
std::string program_path(const char *name);

// Raises the soft limit on open files to needed, if it is lower. Returns 0,
// or -1 if the hard limit, put in *hard, is lower still.
int raise_file_limit(rlim_t needed, rlim_t *hard);

// Seconds on the monotonic clock.
double monotonic_seconds();

// Prepares an empty set. Returns 0, or -1 with errno set.
int open_children(Children *children);

// From now on, children write to one pipe that they share: lines stay whole
// (each is written at once and is shorter than PIPE_BUF), but which child
// wrote a line is no longer known. Every descriptor this process holds is
// copied into each new child and closed again at its exec, so holding one
// pipe instead of thousands keeps a start's cost flat. Returns 0, or -1 with
// errno set.
int share_one_pipe(Children *children);

// Where a child's standard error goes: where this process's goes, on the pipe
// of its standard output (a line written in one call stays whole), or on a
// pipe of its own.
enum Errors : unsigned char { ERRORS_KEPT, ERRORS_WITH_OUTPUT, ERRORS_OWN_PIPE };

// Where a child stands among the terminal's jobs: in this process's group,
// in a group of its own, which Ctrl-C at a terminal misses, or in a session
// of its own, with no controlling terminal at all.
enum Group : unsigned char { GROUP_KEPT, GROUP_OWN, SESSION_OWN };

struct StartHow {
    Group group = GROUP_KEPT;
    Errors errors = ERRORS_KEPT;
    // Run in the new process just before its exec. Without it the child is
    // spawned, not forked, so that the cost of a start does not grow with
    // what this process holds.
    std::function<void()> in_child = {};
    const char *file = nullptr; // the file to execute, when it is not argv[0]
};

// Starts how.file, or argv[0], with the arguments argv (ended by a null
// pointer), standard output on a new pipe (or the shared one), the other
// descriptors as this process has them, and default signal handling with no
// signal blocked; a signal sent to it or its group once this returns finds
// it so. Returns its index in the list, or -1 with errno set.
int start_child(Children *children, const char *const argv[], const StartHow &how = {});

// The longest line handed over: a longer one comes in pieces of this length.
constexpr size_t MAX_LINE = 4096;

// Waits up to timeout_ms for output and hands each whole line that has come,
// without its newline, to on_line with the child's index (or FROM_SHARED_PIPE)
// and the time it was read. Returns the number of lines, 0 if none came in
// time, or -1 with errno set.
using LineHandler = std::function<void(size_t index, const std::string &line, double when)>;
int read_child_lines(Children *children, int timeout_ms, const LineHandler &on_line);
