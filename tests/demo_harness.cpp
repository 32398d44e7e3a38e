// A control group of a test's own, for the demo.
#include "demo_harness.hpp"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <linux/capability.h>
#include <random>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

std::string test_control_group() {
    std::ifstream own_file("/proc/self/cgroup");
    std::string own;
    for (std::string line; std::getline(own_file, line);)
        if (line.starts_with("0::/"))
            own = line.substr(3);
    std::random_device random; // not the pid: another suite may number its tests alike
    std::string name = "/klient-test." + std::to_string(random());
    for (std::string mounted : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
        std::string dir = mounted + own + name;
        if (access((mounted + "/cgroup.subtree_control").c_str(), F_OK) == 0 && !own.empty() &&
            mkdir(dir.c_str(), 0755) == 0)
            return dir;
    }
    return "";
}

std::string counterpart_group_below(const std::string &group) {
    for (const auto &entry : std::filesystem::recursive_directory_iterator(group))
        if (entry.path().filename().string().starts_with("klient-demo-"))
            return entry.path().string();
    return "";
}

size_t groups_left(const std::string &group) {
    size_t left = 0;
    for (const auto &entry : std::filesystem::directory_iterator(group))
        if (entry.is_directory()) {
            left++;
            rmdir(entry.path().c_str());
        }
    rmdir(group.c_str());
    return left;
}

int listen_at(const std::string &path) {
    sockaddr_un at = {};
    at.sun_family = AF_UNIX;
    path.copy(at.sun_path, sizeof at.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    chmod(path.c_str(), 0777);
    return fd;
}

void own_user_namespace() {
    if (unshare(CLONE_NEWUSER) == -1)
        _exit(125);
    for (auto [file, map] : {std::pair{"/proc/self/setgroups", "deny"},
                             {"/proc/self/uid_map", "0 0 1"},
                             {"/proc/self/gid_map", "0 0 1"}}) {
        int fd = open(file, O_WRONLY | O_CLOEXEC);
        if (fd == -1 || write(fd, map, strlen(map)) == -1)
            _exit(125);
        close(fd);
    }
}

void as_container_root() {
    if (prctl(PR_CAPBSET_DROP, CAP_NET_ADMIN) == -1 || unshare(CLONE_NEWNS) == -1 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) == -1 ||
        mount("/proc/sys", "/proc/sys", nullptr, MS_BIND | MS_REC, nullptr) == -1 ||
        mount(nullptr, "/proc/sys", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == -1)
        _exit(125);
}

pid_t start_crowd(uid_t uid, int processes) {
    int ready[2], mapped[2];
    if (pipe2(ready, O_CLOEXEC) == -1 || pipe2(mapped, O_CLOEXEC) == -1)
        return -1;
    pid_t keeper = fork();
    char byte = 0;
    if (keeper == 0) { // unshares, is given its maps, becomes the user, and gathers the crowd
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        close(mapped[1]);
        if (unshare(CLONE_NEWUSER) == -1 || write(ready[1], &byte, 1) != 1 ||
            read(mapped[0], &byte, 1) != 1 || setresgid(0, 0, 0) == -1 || setresuid(0, 0, 0) == -1)
            _exit(125);
        for (int i = 0; i < processes; i++)
            if (fork() == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                close(ready[1]); // so that the test reads an end where its keeper fails
                close(mapped[0]);
                for (;;)
                    pause();
            }
        if (write(ready[1], &byte, 1) != 1)
            _exit(125);
        for (;;)
            pause();
    }
    close(ready[1]); // the keeper's: its end, where it fails, is the end of the pipe
    close(mapped[0]);
    std::string map = "0 " + std::to_string(uid) + " 1", maps = "/proc/" + std::to_string(keeper);
    auto write_map = [&map, &maps](const char *name) { // in one write, as the kernel wants it
        int fd = open((maps + name).c_str(), O_WRONLY | O_CLOEXEC);
        bool written =
            fd != -1 && write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
        close(fd);
        return written;
    };
    bool gathered = keeper > 0 && read(ready[0], &byte, 1) == 1 && write_map("/uid_map") &&
                    write_map("/gid_map") && write(mapped[1], &byte, 1) == 1 &&
                    read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    close(mapped[1]);
    if (!gathered)
        end_crowd(keeper);
    return gathered ? keeper : -1;
}

void join_crowd(pid_t keeper) {
    int ns = open(("/proc/" + std::to_string(keeper) + "/ns/user").c_str(), O_RDONLY);
    if (ns == -1 || setns(ns, CLONE_NEWUSER) == -1 || setresgid(0, 0, 0) == -1 ||
        setresuid(0, 0, 0) == -1)
        _exit(125);
    close(ns);
}

void end_crowd(pid_t keeper) {
    if (keeper > 0 && kill(keeper, SIGKILL) == 0)
        waitpid(keeper, nullptr, 0);
}

std::string file_text(const std::string &path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

bool real_root() {
    return geteuid() == 0 &&
           file_text("/proc/self/uid_map").find("4294967295") != std::string::npos;
}

bool user_namespaces_here() {
    pid_t child = fork();
    if (child == 0)
        _exit(unshare(CLONE_NEWUSER) == 0 ? 0 : 1);
    int status = -1;
    waitpid(child, &status, 0);
    return status == 0;
}

std::string unique_name(const std::string &prefix) {
    std::string path = prefix + "XXXXXX";
    close(mkstemp(path.data()));
    unlink(path.c_str());
    return path;
}

std::string Demo::browsed(const std::string &page, const std::string &dir) {
    if (access("/usr/bin/chromium", X_OK) == -1)
        return "";
    Child chromium = spawn("/usr/bin/chromium",
                           {"--headless", "--no-sandbox", "--disable-gpu",
                            "--user-data-dir=" + dir + "/browser", "--dump-dom", "file://" + page});
    std::string document = read_rest(chromium.out, 30000);
    if (wait_exit(chromium.pid, 1000) == -1) { // held, say, by a script's dialog
        ADD_FAILURE() << "chromium did not finish reading " << page;
        kill(chromium.pid, SIGKILL);
        wait_exit(chromium.pid);
    }
    if (document.empty())
        ADD_FAILURE() << "chromium read nothing of " << page << ": " << read_rest(chromium.err);
    return document;
}
