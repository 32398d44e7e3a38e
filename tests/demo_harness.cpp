// A control group of a test's own, for the demo.
#include "demo_harness.hpp"

#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

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

bool counterpart_group_below(const std::string &group) {
    for (const auto &entry : std::filesystem::recursive_directory_iterator(group))
        if (entry.path().filename().string().starts_with("klient-demo-"))
            return true;
    return false;
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
