// Copying a student's folder with the rights of the user that runs it.
#pragma once

#include <string>
#include <sys/types.h>

constexpr int COPY_DEPTH = 8; // folders within folders, at most

// Copies the folder open at from, whole, into the new directory to, as user
// uid (0: as this process), who then owns the copy: its directories,
// regular files (their modes but for set-id bits) and links, and nothing
// else. Returns 0, or -1 with errno set.
int copy_tree_as(int from, const std::string &to, uid_t uid);
