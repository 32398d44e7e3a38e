// Counterparts as students write them, for judging by the demo: "textbook"
// lets clients in as it should (down on free, up on entry, for ever, no
// signal handling), and so do "workers", in two forked processes,
// "threads", in two threads of one, "sh-loop", a shell loop with this
// program for its step, and "shares-memory", beside idle children that share
// 32 MiB it wrote before their fork; a probe first tries one thing a
// contained run must not allow, says what came of it ("probe: ..."), then
// acts as "textbook"; every other mode breaks one rule.
#include "probes.hpp"
#include "shared_semaphores.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
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

static const char *const MODES[] = {
    "textbook",       "workers",         "extra-at-start", "takes-no-unit",
    "never",          "keep-one",        "exits-early",    "removes-sets",
    "withholds",      "leaves-child",    "ignores-term",   "sets-value",
    "forges-lines",   "reads-host-file", "writes-outside", "connects",
    "forks",          "allocates",       "spins",          "floods",
    "sh-loop",        "admit",           "types",          "takes-output",
    "keeps-key",      "environment",     "kills-parent",   "connects-by-path",
    "sees-processes", "hides-cpu",       "given",          "holds-ipc",
    "holds-memfd",    "holds-pipes",     "threads",        "shares-memory"};

// What the mode does once, before its first admission.
static void set_out(const char *mode, int free_sem, int entry_sem) {
    auto is = [mode](const char *m) { return strcmp(mode, m) == 0; };
    if (is("removes-sets") || is("hides-cpu")) { // the latter ends between admissions:
        // its spinning children starve it, and a SIGTERM between the two
        // changes of a step would lose the unit, which is not its fault to show
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
    if (is("shares-memory")) {
        static char *shared = static_cast<char *>(malloc(32 << 20));
        if (shared != nullptr)
            memset(shared, 1, 32 << 20);
        for (int i = 0; i < 12; i++)
            if (fork() == 0)
                for (;;)
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
}

// Lets clients in, as the mode does, until it ends. Returns its exit status.
static int admit(const char *mode, int free_sem, int entry_sem) {
    auto is = [mode](const char *m) { return strcmp(mode, m) == 0; };
    for (int admissions = 0; !ending; admissions++) {
        if (is("exits-early") && admissions == 3)
            return 0;
        if (is("never"))
            pause();
        if ((is("sets-value") || is("forges-lines")) && admissions == 5) {
            while (semctl(entry_sem, 0, GETVAL) > 0) // each one let in has taken its unit
                usleep(10000);
            sleep(1); // and has guarded it and said so
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
    if (is("removes-sets")) {
        semctl(free_sem, 0, IPC_RMID);
        semctl(entry_sem, 0, IPC_RMID);
    }
    return 0;
}

static int thread_sets[2]; // free and entry, for the threads

static void *admit_in_thread(void *) {
    admit("textbook", thread_sets[0], thread_sets[1]);
    return nullptr;
}

// Two threads let clients in; the first waits for them. Returns its exit
// status.
static int admit_in_threads(int free_sem, int entry_sem) {
    thread_sets[0] = free_sem;
    thread_sets[1] = entry_sem;
    pthread_t threads[2];
    for (pthread_t &thread : threads)
        if (int error = pthread_create(&thread, nullptr, admit_in_thread, nullptr)) {
            fprintf(stderr, "counterpart: pthread_create: %s\n", strerror(error));
            return 1;
        }
    for (pthread_t thread : threads)
        pthread_join(thread, nullptr);
    return 0;
}

int main(int argc, char **argv) {
    const char *mode = argc >= 2 && argc <= 3 ? argv[1] : "";
    const char *given = argc == 3 ? argv[2] : ""; // where a probe tries
    bool known = false;
    for (const char *m : MODES)
        known |= strcmp(mode, m) == 0;
    if (!known) {
        fprintf(stderr, "usage: counterpart MODE [WHERE] (one of tests/counterpart.cpp's modes)\n");
        return 2;
    }
    int free_sem = join_semaphore(FREE_SEM_KEY, FREE_SEM_INITIAL);
    int entry_sem = join_semaphore(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL);
    if (free_sem == -1 || entry_sem == -1)
        return 1;
    if (strcmp(mode, "admit") == 0) // one step of "sh-loop": a unit from free to entry
        return change(free_sem, -1) == 0 && change(entry_sem, 1) == 0 ? 0 : 1;
    printf("joined the sets\n");
    fflush(stdout);
    if (strcmp(mode, "sh-loop") == 0) // a counterpart in sh, with this program for its step
        execl("/bin/sh", "sh", "-c", "while :; do \"$0\" admit; done",
              realpath("/proc/self/exe", nullptr), nullptr);
    if (strcmp(mode, "threads") == 0)
        return admit_in_threads(free_sem, entry_sem);
    probe(mode, given);
    set_out(mode, free_sem, entry_sem);
    return admit(mode, free_sem, entry_sem);
}
