// The lines of klient and doorkeeper: on standard output, and the one line on
// standard error with which each failure ends the program. Each line on
// standard error starts with the program's name and goes out in one
// write(2), so that the lines of several programs never mix.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// The name the lines on standard error start with where argv[0] was empty
// or absent: the program's own.
void name_program(const char *name);

// "free", "entry", or "shared", for a set's key.
const char *semaphore_name(key_t key);

// Writes "<program>: <message>\n" on standard error, in one write. A full
// standard error may hold it up; a termination signal still ends the wait.
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// One line for standard output, made as printf makes it (cut to fit), and
// how much of it has been written.
struct Line {
    char text[256];
    size_t length, written;
};
void make_line(Line *line, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Writes the rest of the line to standard output. A write cut short or broken
// by a signal goes on, unless a termination signal has come, or the signal
// came once deadline (monotonic; null for none) had passed. Returns 0 once
// the line is written, or the reason it stopped: EINTR for a termination
// signal, ETIMEDOUT for the deadline, with the rest still to write.
int write_line(Line *line, const timespec *deadline);

// Makes a line and writes it with no deadline.
int print_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes "<program>: <what> the <name> semaphore (key <k>): <reason of error>"
// to standard error, naming the set semid (-1: none yet) if it was removed,
// and exits with status 1.
[[noreturn]] void die_on_semaphore(const char *what, key_t key, int semid, int error);

// What the program holds as it fails: nothing, a unit with its guard, which
// the kernel gives back as the program ends, or a unit without one.
enum Held : unsigned char { HOLDS_NOTHING, HOLDS_GUARDED, HOLDS_UNGUARDED };

// The same, for a call that failed while the program holds a unit: the line
// says what becomes of the unit. Where only the guard's adjustment, as the
// program ends, can give the unit back, the line waits at most
// GUARDED_LINE_SECONDS for standard error, and is given up after that.
constexpr int GUARDED_LINE_SECONDS = 1;
[[noreturn]] void die_holding(const char *what, key_t key, int semid, int error, Held held);

// As die_on_semaphore, for a program that holds one unit taken from a set
// without a guard: the unit goes back to the free semaphore first, and if
// that fails too the line says so.
[[noreturn]] void die_giving_back(int free_sem, const char *what, key_t key, int semid, int error);

// Ends the program after standard output could not be written: by the signal
// if one was caught (SIGPIPE when the reader went away), else with a message
// and status 1.
[[noreturn]] void die_on_output(int error);

// Writes "<program>: <what>: <reason of error>" to standard error and exits
// with status 1.
[[noreturn]] void die_on_call(const char *what, int error);
