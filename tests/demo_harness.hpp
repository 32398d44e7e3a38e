// Running the real demo in a test: its lines and status, the summary it
// ends with, and a control group of the test's own to run it in.
#pragma once

#include "harness.hpp"

#include <csignal>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

struct DemoRun {
    std::vector<std::string> lines;
    int status; // its exit status, or -1
};

class Demo : public PrivateIpc {
  protected:
    DemoRun run_demo(std::vector<std::string> args, int timeout_ms = 20000,
                     const char *demo_path = DEMO_PATH,
                     const std::function<void()> &in_child = {}) {
        Child demo = spawn(demo_path, args, in_child);
        std::istringstream out(read_rest(demo.out, timeout_ms)); // a status line every 5 s
        DemoRun run;
        for (std::string line; std::getline(out, line);)
            run.lines.push_back(line);
        int status = wait_exit(demo.pid, 5000);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }
    // The summary's counts, its sum against the "ucieka" lines passed
    // through, and every rule kept.
    void expect_summary(const DemoRun &run, int completed, int cut_short) {
        int leaves = 0, said_completed = -1, said_cut_short = -1;
        for (const std::string &line : run.lines) {
            leaves += line.starts_with("Klient ") && line.ends_with(" ucieka!");
            sscanf(line.c_str(), "-- %d visits completed, %d cut short by the stop",
                   &said_completed, &said_cut_short);
        }
        EXPECT_EQ(said_completed, completed);
        EXPECT_EQ(said_cut_short, cut_short);
        EXPECT_EQ(leaves, completed + cut_short);
        ASSERT_FALSE(run.lines.empty());
        EXPECT_TRUE(run.lines.back().starts_with("-- every rule kept")) << run.lines.back();
        EXPECT_EQ(run.status, 0);
    }
    // A web page as a browser reads it: the document chromium made of it,
    // serialized; "" where there is no chromium. A page that keeps it from
    // finishing fails the test. Its profile goes in dir.
    std::string browsed(const std::string &page, const std::string &dir);
    // The demo's programs run in process groups of their own: only the demo
    // can end them, and it does so on SIGTERM.
    void TearDown() override {
        for (const Child &s : spawned.list)
            if (kill(s.pid, SIGTERM) == 0)
                wait_exit(s.pid, 15000);
        PrivateIpc::TearDown();
    }
};

// A control group of the test's own for the demo to run in, where the cgroup
// v2 hierarchy lets one be made; "" where not. Join it before the exec by
// writing "0" into its cgroup.procs.
std::string test_control_group();

// A counterpart's group made anywhere below group; "" for none yet.
std::string counterpart_group_below(const std::string &group);

// What the file at path holds; "" where it cannot be read.
std::string file_text(const std::string &path);

// The groups below group: none once the demo has ended. Removes them all.
size_t groups_left(const std::string &group);

// A Unix socket at path that anyone may connect to; its descriptor.
int listen_at(const std::string &path);

// Root in a user namespace of its own, and no more: the demo, not the real
// root, runs its programs as its own user. Before an exec.
void own_user_namespace();

// Root as systemd-nspawn makes it: without CAP_NET_ADMIN, and with /proc/sys
// read-only. Before an exec.
void as_container_root();

// A crowd: processes of uid's, processes of them, in a user namespace of
// their own in which uid is root, as a user's other runs are beside one in
// the scripts' private namespaces. Returns the pid of the process that
// keeps them, or -1. Needs the real root.
pid_t start_crowd(uid_t uid, int processes);

// Root in the crowd's user namespace, and so uid: before an exec.
void join_crowd(pid_t keeper);

// Ends the crowd, and waits for its keeper.
void end_crowd(pid_t keeper);

// Whether this process is the real root: user 0 in the first user namespace.
bool real_root();

// Whether this process may make a user namespace: not in a chroot, as CI's
// Debian 13 tree is.
bool user_namespaces_here();

// A path that starts with prefix and names nothing yet, nor will for any
// other test.
std::string unique_name(const std::string &prefix);
