// Writing lines, and the one-line failures of klient and doorkeeper.
#include "lines_and_failures.hpp"

#include "shared_semaphores.hpp"
#include "shown_text.hpp"
#include "signals_and_time.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/sem.h>
#include <unistd.h>

const char *semaphore_name(key_t key) {
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
// it (argv[0]), so at most NAME_SHOWN bytes of it are shown, escaped.
constexpr size_t NAME_SHOWN = 64;
static const char *own_name = "";

void name_program(const char *name) {
    own_name = name;
}

static size_t show_name(char *out) {
    const char *given = program_invocation_short_name; // "" when argv[0] was empty or absent
    const char *name = given != nullptr && *given != '\0' ? given : own_name;
    return show_text(out, name, strlen(name), NAME_SHOWN, false);
}

// "<program>: <message>\n" on standard error in one write. A full standard
// error may hold it up until deadline (null: none), for which the wake timer
// must be armed; a termination signal still ends the wait.
__attribute__((format(printf, 2, 0))) static void vcomplain(const timespec *deadline,
                                                            const char *format, va_list args) {
    char line[1024]; // the name takes at most shown_room(NAME_SHOWN) bytes of it
    size_t length = show_name(line);
    line[length++] = ':';
    line[length++] = ' ';
    length += format_line(line + length, sizeof line - 1 - length, format, args);
    line[length++] = '\n';
    size_t written = 0;
    write_all(STDERR_FILENO, line, length, &written, deadline);
}

void complain(const char *format, ...) {
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

void die_on_output(int error) {
    if (termination_signal != 0)
        end_by_termination_signal();
    complain("cannot write to standard output: %s", strerror(error));
    exit(1);
}
