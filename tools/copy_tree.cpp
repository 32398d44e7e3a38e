// Copying a folder as another user, in a child of that user.
#include "copy_tree.hpp"

#include "contain.hpp"
#include "submission.hpp"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Copies the entry name of the folder open at from into the one open at to.
// Returns 0, or -1 with errno set.
static int copy_dir(int from, int to, int depth);

static int copy_entry(int from, int to, const char *name, int depth) {
    struct stat st;
    if (fstatat(from, name, &st, AT_SYMLINK_NOFOLLOW) == -1)
        return -1;
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        ssize_t length = readlinkat(from, name, target, sizeof target - 1);
        if (length == -1)
            return -1;
        target[length] = '\0';
        return symlinkat(target, to, name);
    }
    int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC; // a fifo would never end
    if (S_ISDIR(st.st_mode)) {
        if (depth >= COPY_DEPTH) {
            errno = ELOOP;
            return -1;
        }
        if (mkdirat(to, name, 0755) == -1)
            return -1;
        int in = openat(from, name, flags | O_DIRECTORY);
        int out = openat(to, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int copied = in == -1 || out == -1 ? -1 : copy_dir(in, out, depth + 1);
        for (int fd : {in, out})
            if (fd != -1)
                close(fd);
        return copied;
    }
    if (!S_ISREG(st.st_mode))
        return 0; // a device, a fifo or a socket is no part of a program
    int in = openat(from, name, flags);
    int out = in == -1
                  ? -1
                  : openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 0777);
    int copied = in == -1 || out == -1 ? -1 : copy_all(in, out);
    for (int fd : {in, out})
        if (fd != -1 && close(fd) == -1)
            copied = -1;
    return copied;
}

static int copy_dir(int from, int to, int depth) {
    std::vector<std::string> names;
    if (folder_names(from, &names) == -1)
        return -1;
    for (const std::string &name : names)
        if (copy_entry(from, to, name.c_str(), depth) == -1)
            return -1;
    return 0;
}

int copy_tree_as(int from, const std::string &to, uid_t uid) {
    if (mkdir(to.c_str(), 0755) == -1 || (uid != 0 && chown(to.c_str(), uid, uid) == -1))
        return -1;
    pid_t child = fork();
    if (child == 0) {
        bool as_user = uid == 0 || (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
                                    setresuid(uid, uid, uid) == 0);
        int out = as_user ? open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        _exit(out != -1 && copy_dir(from, out, 0) == 0 ? 0 : errno != 0 ? errno : EIO);
    }
    int status;
    if (child == -1 || waitpid(child, &status, 0) == -1)
        return -1;
    errno = WIFEXITED(status) ? WEXITSTATUS(status) : EIO;
    return errno == 0 ? 0 : -1;
}
