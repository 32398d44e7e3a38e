// What a probe may try to reach from a run, made before the run and
// checked after it.
#pragma once

#include <string>

// What a probe may try to reach from a run: a server on the test's
// loopback, a socket and a file that anyone may reach in /var/tmp, and a
// file in /dev/shm, where anyone may write.
struct Reachable {
    int server = -1, service = -1;
    std::string port, outside, host_file, socket_path;
};

Reachable make_reachable();

// Nothing of it was reached; then it goes.
void expect_untouched(const Reachable &r);
