// What a probe may try to reach from a run.
#include "reachable.hpp"

#include "demo_harness.hpp"

#include <arpa/inet.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

Reachable make_reachable() {
    Reachable r;
    r.server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    EXPECT_EQ(bind(r.server, reinterpret_cast<sockaddr *>(&at), size), 0);
    EXPECT_EQ(listen(r.server, 1), 0);
    getsockname(r.server, reinterpret_cast<sockaddr *>(&at), &size);
    r.port = std::to_string(ntohs(at.sin_port));
    // Names of their own: another suite may run beside this one, its tests
    // numbered as this one's in a PID namespace of its own.
    r.outside = unique_name("/dev/shm/klient-probe.");
    r.host_file = unique_name("/var/tmp/klient-host-file.");
    std::ofstream(r.host_file) << "the host's\n";
    chmod(r.host_file.c_str(), 0644);
    r.socket_path = unique_name("/var/tmp/klient-socket.");
    r.service = listen_at(r.socket_path);
    return r;
}

void expect_untouched(const Reachable &r) {
    pollfd connected = {r.server, POLLIN, 0};
    EXPECT_EQ(poll(&connected, 1, 0), 0) << "the counterpart reached the test's loopback";
    close(r.server);
    connected.fd = r.service;
    EXPECT_EQ(poll(&connected, 1, 0), 0) << "the counterpart reached the test's socket";
    close(r.service);
    unlink(r.socket_path.c_str());
    unlink(r.host_file.c_str());
    EXPECT_NE(unlink(r.outside.c_str()), 0) << "the counterpart wrote outside its run";
}
