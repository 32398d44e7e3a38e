// Opening a file with the rights of another user, through a child of that
// user that hands the descriptor over.
#include "open_as_user.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

// Opens path for reading, if it is a regular file or a folder (a fifo would
// never end). Returns the descriptor, or -1 with errno set.
static int open_file_or_folder(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd != -1 && (fstat(fd, &st) == -1 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))) {
        close(fd);
        errno = EINVAL; // "Invalid argument": no regular file, no folder
        return -1;
    }
    return fd;
}

// A message of one error number, with room for one descriptor.
struct Handover {
    int error = EIO;
    iovec data = {&error, sizeof error};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    Handover() {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    Handover(const Handover &) = delete; // it points into itself
    Handover &operator=(const Handover &) = delete;
};

int open_as_user(const std::string &path, uid_t uid) {
    int pair[2];
    if (uid == 0)
        return open_file_or_folder(path);
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) == -1)
        return -1;
    Handover h;
    pid_t child = fork();
    if (child == 0) {
        close(pair[0]);
        bool as_user = setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
                       setresuid(uid, uid, uid) == 0;
        int fd = as_user ? open_file_or_folder(path) : -1;
        h.error = fd == -1 ? errno : 0;
        cmsghdr *header = CMSG_FIRSTHDR(&h.message);
        if (fd != -1) {
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof fd);
            memcpy(CMSG_DATA(header), &fd, sizeof fd);
        } else {
            h.message.msg_controllen = 0; // the error alone
        }
        _exit(sendmsg(pair[1], &h.message, 0) == -1 ? 1 : 0);
    }
    close(pair[1]);
    int fd = -1;
    if (child != -1 && recvmsg(pair[0], &h.message, MSG_CMSG_CLOEXEC) > 0) {
        cmsghdr *header = CMSG_FIRSTHDR(&h.message);
        if (header != nullptr && header->cmsg_type == SCM_RIGHTS)
            memcpy(&fd, CMSG_DATA(header), sizeof fd);
    }
    close(pair[0]);
    if (child != -1)
        waitpid(child, nullptr, 0);
    errno = fd == -1 ? h.error : 0;
    return fd;
}
