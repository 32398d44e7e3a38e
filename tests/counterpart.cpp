// Counterparts as students write them, for judging by the demo: "textbook"
// lets clients in as it should (down on free, up on entry, for ever, no
// signal handling), and so does "workers", in two forked processes; every
// other mode breaks one rule.
#include "shared_semaphores.hpp"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/sem.h>
#include <unistd.h>

static volatile sig_atomic_t ending;

static void on_term(int) {
    ending = 1;
}

static int change(int semid, short by, short flags = 0) {
    sembuf op = {0, by, flags};
    return semop(semid, &op, 1);
}

// Writes a line no client wrote into every client's output: the clients
// are this program's siblings.
static void forge_lines() {
    DIR *proc = opendir("/proc");
    while (dirent *entry = proc != nullptr ? readdir(proc) : nullptr) {
        std::string dir = std::string("/proc/") + entry->d_name;
        char stat[256] = {};
        FILE *f = fopen((dir + "/stat").c_str(), "r");
        if (f == nullptr)
            continue;
        bool read = fgets(stat, sizeof stat, f) != nullptr;
        fclose(f);
        int pid, parent;
        char state;
        if (!read || sscanf(stat, "%d (klient) %c %d", &pid, &state, &parent) != 3 ||
            parent != getppid())
            continue;
        int out = open((dir + "/fd/1").c_str(), O_WRONLY);
        dprintf(out, ANNOUNCEMENT, pid, WANTS_TO_ENTER);
        close(out);
    }
    if (proc != nullptr)
        closedir(proc);
}

int main(int argc, char **argv) {
    const char *modes[] = {"textbook",    "workers",      "extra-at-start", "takes-no-unit",
                           "never",       "keep-one",     "exits-early",    "removes-sets",
                           "withholds",   "leaves-child", "ignores-term",   "sets-value",
                           "forges-lines"};
    const char *mode = argc == 2 ? argv[1] : "";
    bool known = false;
    for (const char *m : modes)
        known |= strcmp(mode, m) == 0;
    if (!known) {
        fprintf(stderr, "usage: counterpart MODE (one of tests/counterpart.cpp's modes)\n");
        return 2;
    }
    auto is = [mode](const char *m) { return strcmp(mode, m) == 0; };
    int free_sem = join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL);
    int entry_sem = join_semaphore(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL);
    if (free_sem == -1 || entry_sem == -1)
        return 1;
    printf("joined the sets\n");
    fflush(stdout);
    if (is("removes-sets")) {
        struct sigaction sa = {};
        sa.sa_handler = on_term;
        sigaction(SIGTERM, &sa, nullptr);
    }
    if (is("ignores-term"))
        signal(SIGTERM, SIG_IGN);
    if (is("workers")) { // two workers let clients in; this process waits
        bool worker = false;
        for (int i = 0; i < 2 && !worker; i++)
            worker = fork() == 0;
        while (!worker)
            pause();
    }
    if (is("leaves-child") && fork() == 0)
        setsid(); // out of the group the stop is sent to
    if (is("extra-at-start"))
        change(entry_sem, 1);
    if (is("keep-one"))
        change(free_sem, -1);
    if (is("withholds"))
        change(free_sem, -3, SEM_UNDO);
    for (int admissions = 0; !ending; admissions++) {
        if (is("exits-early") && admissions == 3)
            return 0;
        if (is("never"))
            pause();
        if ((is("sets-value") || is("forges-lines")) && admissions == 5) {
            sleep(1); // the clients let in say so
            if (is("sets-value"))
                semctl(free_sem, 0, SETVAL, semctl(free_sem, 0, GETVAL));
            else
                forge_lines();
        }
        if (is("takes-no-unit"))
            sleep(1);
        else if (change(free_sem, -1) == -1)
            continue; // interrupted by SIGTERM
        change(entry_sem, 1);
    }
    semctl(free_sem, 0, IPC_RMID);
    semctl(entry_sem, 0, IPC_RMID);
}
