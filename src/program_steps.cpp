// Start-up, taking a unit, writing lines, and the one-line failures of klient
// and doorkeeper.
#include "program_steps.hpp"

#include "shared_semaphores.hpp"
#include "signals_and_time.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

static const char *semaphore_name(key_t key) {
    return key == FREE_SEM_KEY ? "free" : key == ENTRY_SEM_KEY ? "entry" : "shared";
}

// Writes the length bytes of text from *written on to fd, as write_line says.
static int write_all(int fd, const char *text, size_t length, size_t *written,
                     const timespec *deadline) {
    while (*written < length) {
        ssize_t n = write(fd, text + *written, length - *written);
        if (n > 0)
            *written += static_cast<size_t>(n);
        else if (n == -1 && errno == EINTR && termination_signal != 0)
            return EINTR;
        else if (n == -1 && errno == EINTR && deadline != nullptr && is_past(*deadline))
            return ETIMEDOUT;
        else if (n == 0 || errno != EINTR)
            return n == 0 ? EIO : errno;
    }
    return 0;
}

// Formats into line, which holds size bytes, and returns the length, cut
// short to fit.
static size_t format_line(char *line, size_t size, const char *format, va_list args) {
    int length = vsnprintf(line, size, format, args);
    return length < 0 ? 0 : static_cast<size_t>(length) < size ? length : size - 1;
}

void make_line(Line *line, const char *format, ...) {
    va_list args;
    va_start(args, format);
    line->length = format_line(line->text, sizeof line->text, format, args);
    va_end(args);
    line->written = 0;
}

int write_line(Line *line, const timespec *deadline) {
    return write_all(STDOUT_FILENO, line->text, line->length, &line->written, deadline);
}

int print_line(const char *format, ...) {
    Line line;
    va_list args;
    va_start(args, format);
    line.length = format_line(line.text, sizeof line.text, format, args);
    va_end(args);
    line.written = 0;
    return write_line(&line, nullptr);
}

// The program's name as a line shows it: whoever started the program chose
// it (argv[0]), so it is cut to NAME_SHOWN bytes, and a byte that is not
// printable ASCII is shown as \xHH, so that no name can forge a line or move
// the cursor.
constexpr size_t NAME_SHOWN = 64;
static const char *own_name = "";

static size_t show_name(char *out) {
    size_t length = 0;
    const char *given = program_invocation_short_name; // "" when argv[0] was empty or absent
    const unsigned char *name = reinterpret_cast<const unsigned char *>(
        given != nullptr && *given != '\0' ? given : own_name);
    for (; *name != '\0' && length < NAME_SHOWN; name++) {
        if (*name >= 0x20 && *name < 0x7f)
            out[length++] = static_cast<char>(*name);
        else
            length += static_cast<size_t>(snprintf(out + length, 5, "\\x%02x", *name));
    }
    if (*name != '\0')
        length += static_cast<size_t>(snprintf(out + length, 4, "..."));
    return length;
}

// "<program>: <message>\n" on standard error in one write. A full standard
// error may hold it up until deadline (null: no deadline, and then the wake
// timer must be armed for it), and a termination signal still ends the wait.
__attribute__((format(printf, 2, 0))) static void vcomplain(const timespec *deadline,
                                                            const char *format, va_list args) {
    char line[1024]; // the name takes at most NAME_SHOWN + 6 bytes of it
    size_t length = show_name(line);
    line[length++] = ':';
    line[length++] = ' ';
    length += format_line(line + length, sizeof line - 1 - length, format, args);
    line[length++] = '\n';
    size_t written = 0;
    write_all(STDERR_FILENO, line, length, &written, deadline);
}

__attribute__((format(printf, 1, 2))) static void complain(const char *format, ...) {
    va_list args;
    va_start(args, format);
    vcomplain(nullptr, format, args);
    va_end(args);
}

__attribute__((format(printf, 2, 3))) static void complain_by(const timespec *deadline,
                                                              const char *format, ...) {
    va_list args;
    va_start(args, format);
    vcomplain(deadline, format, args);
    va_end(args);
}

// What became of the set semid (-1: none yet) under key, and of a unit the
// program holds, after a call on it failed with error. The set is asked by
// its id: another may have been made under the key since. A set removed
// takes its units with it; a guarded unit comes back as the program ends,
// unless the value is at its maximum (as it ends at once, still), where the
// kernel cuts the guard's adjustment short; an unguarded one is lost.
constexpr int SEMVMX = 32767; // the kernel's maximum value (linux/sem.h)

static const char *const GUARD_GIVES_BACK = "; its guard gives the unit back as this program ends";

static const char *aftermath(int semid, int error, Held held) {
    bool removed = semid != -1 && (error == EIDRM || error == EINVAL) &&
                   semctl(semid, 0, GETVAL) == -1 && (errno == EIDRM || errno == EINVAL);
    if (removed && held != HOLDS_NOTHING)
        return ": the set was removed, and the unit with it";
    if (removed && error == EINVAL) // EIDRM says so itself
        return ": the set was removed";
    if (held == HOLDS_GUARDED && error == ERANGE && semctl(semid, 0, GETVAL) >= SEMVMX)
        return "; the unit is lost: at the semaphore's maximum its guard cannot give it back";
    return held == HOLDS_GUARDED     ? GUARD_GIVES_BACK
           : held == HOLDS_UNGUARDED ? "; the unit is lost"
                                     : "";
}

void die_holding(const char *what, key_t key, int semid, int error, Held held) {
    const char *after = aftermath(semid, error, held);
    const timespec deadline = seconds_from_now(GUARDED_LINE_SECONDS);
    bool held_back = after == GUARD_GIVES_BACK; // by the line, were it to wait on
    if (held_back)
        wake_at(deadline);
    complain_by(held_back ? &deadline : nullptr, "%s the %s semaphore (key %d): %s%s", what,
                semaphore_name(key), static_cast<int>(key), strerror(error), after);
    exit(1);
}

void die_on_semaphore(const char *what, key_t key, int semid, int error) {
    die_holding(what, key, semid, error, HOLDS_NOTHING);
}

void die_on_call(const char *what, int error) {
    complain("%s: %s", what, strerror(error));
    exit(1);
}

void die_giving_back(int free_sem, const char *what, key_t key, int semid, int error) {
    if (semaphore_up(free_sem, 0) == 0)
        die_on_semaphore(what, key, semid, error);
    int second = errno;
    complain("%s the %s semaphore (key %d): %s; and cannot give the unit back to the free "
             "semaphore (key %d): %s",
             what, semaphore_name(key), static_cast<int>(key), strerror(error),
             static_cast<int>(FREE_SEM_KEY), strerror(second));
    exit(1);
}

// The set under key, found whatever its mode: SEM_STAT_ANY reads any set, as
// ipcs does, where IPC_STAT needs read permission.
static bool find_set(key_t key, semid_ds *ds) {
    seminfo info;
    int last = semctl(0, 0, SEM_INFO, &info); // the highest index in use
    for (int index = 0; index <= last; index++)
        if (semctl(index, 0, SEM_STAT_ANY, ds) != -1 && ds->sem_perm.__key == key)
            return true;
    return false;
}

// A set that refuses this process: name its owner and its mode, which is
// what a user on a shared machine needs to act.
[[noreturn]] static void die_refused(key_t key, int error) {
    semid_ds ds;
    if (!find_set(key, &ds))
        die_on_semaphore("cannot join", key, -1, error);
    if (ds.sem_perm.uid == geteuid()) {
        complain("cannot join the %s semaphore (key %d): %s: it is your own set, mode %04o; once "
                 "no program using it is running, remove it (ipcrm -S %d) and start again",
                 semaphore_name(key), static_cast<int>(key), strerror(error),
                 ds.sem_perm.mode & 0777, static_cast<int>(key));
        exit(1);
    }
    char owner[128];
    const passwd *pw = getpwuid(ds.sem_perm.uid);
    if (pw != nullptr)
        snprintf(owner, sizeof owner, "%s (uid %u)", pw->pw_name, ds.sem_perm.uid);
    else
        snprintf(owner, sizeof owner, "uid %u", ds.sem_perm.uid);
    // Each unshare makes a namespace of its own: every program of one
    // simulation must run from the same one.
    complain("cannot join the %s semaphore (key %d): %s: it belongs to %s, mode %04o; ask its "
             "owner to remove it, or start one shell in a private IPC namespace (unshare "
             "--map-root-user --ipc bash) and run the doorkeeper and every client from it",
             semaphore_name(key), static_cast<int>(key), strerror(error), owner,
             ds.sem_perm.mode & 0777);
    exit(1);
}

static int join_or_die(key_t key, int initial) {
    int semid = join_semaphore(key, initial);
    if (semid == -1 && errno == EACCES)
        die_refused(key, errno);
    seminfo limits;
    if (semid == -1 && errno == EINVAL && semctl(0, 0, IPC_INFO, &limits) != -1 &&
        limits.semmsl < 1) {
        complain("cannot join the %s semaphore (key %d): %s: the kernel allows no semaphore in a "
                 "set (SEMMSL, the first value of kernel.sem, is %d)",
                 semaphore_name(key), static_cast<int>(key), strerror(EINVAL), limits.semmsl);
        exit(1);
    }
    if (semid == -1)
        die_on_semaphore("cannot join", key, -1, errno);
    return semid;
}

// At 0, never changed by a semop, and either never operated on or with
// nothing ever passed on through the entry set. The kernel keeps, for member
// 0, the last process that changed it (GETPID): 0 for a new set, set by every
// semop that succeeds, by SETVAL and SETALL, and at an exit only when that exit
// undoes an adjustment. From a PID namespace that cannot see that process it
// reads 0 as well, so the last-operation times break the tie: a drained set
// was raised to its starting value by a semop, and its units were passed on
// to the entry set. An exit stamps sem_otime on every set the process holds
// an undo entry for, even with nothing to undo, as a doorkeeper that only
// waited on the free set does; nothing takes units from the entry set with
// SEM_UNDO, so its sem_otime shows a unit passed on.
static bool looks_unstarted(int free_sem, int entry_sem, semid_ds *free_ds) {
    semid_ds entry_ds = {};
    if (semctl(free_sem, 0, IPC_STAT, free_ds) == -1 ||
        semctl(entry_sem, 0, IPC_STAT, &entry_ds) == -1)
        return false;
    return semctl(free_sem, 0, GETVAL) == 0 && semctl(free_sem, 0, GETPID) == 0 &&
           (free_ds->sem_otime == 0 || entry_ds.sem_otime == 0);
}

bool never_started(int free_sem, int entry_sem) {
    semid_ds ds;
    // Bounded on the monotonic clock too, should the wall clock jump back.
    const timespec give_up = seconds_from_now(START_GRACE_SECONDS + 1);
    while (termination_signal == 0 && looks_unstarted(free_sem, entry_sem, &ds)) {
        if (time(nullptr) - ds.sem_ctime >= START_GRACE_SECONDS || is_past(give_up))
            return true;
        const timespec step = {0, 10000000};
        nanosleep(&step, nullptr); // a signal only cuts one step short
    }
    return false;
}

void start_up(const char *name, int *free_sem, int *entry_sem) {
    own_name = name;
    if (catch_termination_signals() == -1) {
        complain("cannot catch termination signals: %s", strerror(errno));
        exit(1);
    }
    *free_sem = join_or_die(FREE_SEM_KEY, FREE_SEM_INITIAL);
    *entry_sem = join_or_die(ENTRY_SEM_KEY, ENTRY_SEM_INITIAL);
    // A free set left at 0 by a maker that died before starting it would
    // make everyone wait for ever without a word: say so, and go on, since a
    // counterpart may still raise it. Such a set is left untouched, so that
    // whoever joins it later can still tell.
    if (never_started(*free_sem, *entry_sem)) {
        complain("the free semaphore (key %d) looks made but never given its starting value, "
                 "its maker ended or stalled: it is at 0 and no process seen from here ever "
                 "raised it (from a child PID namespace, one outside is not seen); once no "
                 "program using it is running, remove it (ipcrm -S %d) and start again",
                 static_cast<int>(FREE_SEM_KEY), static_cast<int>(FREE_SEM_KEY));
        return;
    }
    // At the maximum value there is no room for a guard's +1: see the client.
    if (try_guard(*free_sem) == -1 && errno != ERANGE)
        die_on_semaphore("cannot guard a unit on", FREE_SEM_KEY, *free_sem, errno);
}

void lower_or_end(int semid, key_t key, short flags) {
    if (semaphore_down(semid, flags, &termination_signal) == 0)
        return;
    if (termination_signal != 0)
        end_by_termination_signal(); // nothing taken, nothing to give back
    die_on_semaphore("cannot lower", key, semid, errno);
}

void die_on_output(int error) {
    if (termination_signal != 0)
        end_by_termination_signal();
    complain("cannot write to standard output: %s", strerror(error));
    exit(1);
}
