// The steps that klient and doorkeeper share: starting up, taking a unit or
// ending, writing their lines, and failing with one line on standard error.
// Each line on standard error starts with the program's name and goes out in
// one write(2), so that the lines of several programs never mix.
#pragma once

#include <cstddef>
#include <ctime>
#include <sys/types.h>

// Catches the termination signals, then joins the free semaphore and the
// entry semaphore, in that order, and makes sure that a unit can be guarded on
// the free semaphore, all before anything is taken or announced. On failure
// says why and exits with status 1. A free set that looks made but never
// started is warned of on standard error and left untried: a try of the guard
// would mark it as changed, and hide it from whoever joins next.
// Its lines on standard error start with the name it was started under, or
// with name where argv[0] was empty or absent.
void start_up(const char *name, int *free_sem, int *entry_sem);

// A maker that dies between making the free set and starting it leaves it at
// 0 for good (see join_semaphore). Returns true if free_sem looks so: at 0,
// GETPID 0, and sem_otime 0 on it or on the entry set (docs/design.md shows
// why these, measured). A set younger than START_GRACE_SECONDS (by its
// creation time) is watched until it is that old, since its maker may only be
// slow. Returns at once in every other case, and once a termination signal
// has come. start_up warns of such a set.
constexpr int START_GRACE_SECONDS = 5;
bool never_started(int free_sem, int entry_sem);

// Takes one unit (flags as for semaphore_down), or ends the process: by the
// caught termination signal if one came before a unit was taken, else with a
// message and status 1.
void lower_or_end(int semid, key_t key, short flags);

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
