// Starting programs with standard output on a pipe of their own, and reading
// their lines as they come, each with the time it was read: what the demo and
// the benchmark share.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

struct Child {
    pid_t pid;
    int out;             // read end of its own pipe; -1 once it has ended, or if shared
    std::string partial; // a line not yet read to its end
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

// The path of the project's program name: beside this program, as in the
// build tree, or, for a program installed in <prefix>/libexec/klient, in
// <prefix>/bin, where the installed programs are.
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

// Starts argv[0] with the arguments argv (ended by a null pointer), standard
// output on a new pipe (or the shared one), standard error on that pipe too
// if with_errors (a line written in one call stays whole), the other
// descriptors as this process has them, default signal handling, and, if
// own_group, in a process group of its own (so that Ctrl-C at a terminal does
// not reach it). It is spawned, not forked, so that the cost of a start does
// not grow with what this process holds. Returns its index in the list, or -1
// with errno set.
int start_child(Children *children, const char *const argv[], bool own_group,
                bool with_errors = false);

// Waits up to timeout_ms for output and hands each whole line that has come,
// without its newline, to on_line with the child's index (or FROM_SHARED_PIPE)
// and the time it was read. Returns the number of lines, 0 if none came in time, or -1 with errno
// set.
using LineHandler = std::function<void(size_t index, const std::string &line, double when)>;
int read_child_lines(Children *children, int timeout_ms, const LineHandler &on_line);
