// Opening a file with the rights of another user.
#pragma once

#include <string>
#include <sys/types.h>

// Opens path for reading with the rights of user uid (0: this process's): a
// file, or a link, that this process may read and that user may not is
// refused, and so is anything but a regular file or a folder. Returns the descriptor, or
// -1 with errno set.
int open_as_user(const std::string &path, uid_t uid);
