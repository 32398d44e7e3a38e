// Starting programs with standard output on a pipe of their own, and reading
// their lines as they come, each with the time it was read: what the demo and
// the benchmark share.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct Child {
    pid_t pid;
    int out;             // read end of its standard output; -1 once it has ended
    std::string partial; // a line not yet read to its end
};

struct Children {
    int epoll_fd = -1;
    std::vector<Child> list; // in the order they were started
};

// Seconds on the monotonic clock.
double monotonic_seconds();

// Prepares an empty set. Returns 0, or -1 with errno set.
int open_children(Children *children);

// Starts path with no arguments, standard output on a new pipe, the other
// descriptors as this process has them, default signal handling, and, if
// own_group, in a process group of its own (so that Ctrl-C at a terminal does
// not reach it). It is spawned, not forked, so that the cost of a start does
// not grow with what this process holds. Returns its index in the list, or -1
// with errno set.
int start_child(Children *children, const char *path, bool own_group);

// Waits up to timeout_ms for output and hands each whole line that has come,
// without its newline, to on_line with the child's index and the time it was
// read. Returns the number of lines, 0 if none came in time, or -1 with errno
// set.
using LineHandler = std::function<void(size_t index, const std::string &line, double when)>;
int read_child_lines(Children *children, int timeout_ms, const LineHandler &on_line);
