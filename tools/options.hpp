// Reading the command lines of the demo, the grader and the benchmark: each
// option once, in a table of where its value goes.
#pragma once

#include <string>
#include <vector>

// One long option, --name. It takes no value and sets *flag, or takes a
// whole number from min to max (what says what it counts, "a number of
// clients"), or a text, kept as given, or, given more than once, each text
// in turn. Made by the four functions below.
struct Option {
    const char *name;
    bool *flag;
    long *number, min, max;
    const char *what;
    const char **text;
    std::vector<const char *> *texts = nullptr;
};
Option flag_option(const char *name, bool *flag);
Option number_option(const char *name, long *number, long min, long max, const char *what);
Option text_option(const char *name, const char **text);
Option texts_option(const char *name, std::vector<const char *> *texts);

// Reads the options of argv into their places, and returns the index of the
// first operand; an operand is a usage error unless takes_operands. A number
// is decimal digits only: no sign, no spaces, nothing after. -h and --help
// print the usage on standard output and exit with status 0; an unknown
// option, one without the value it wants, or a number out of range or not a
// number is a usage error.
int read_options(int argc, char **argv, const std::vector<Option> &options, const char *usage,
                 bool takes_operands = false);

// Does a path given for a counterpart name a C or C++ source, by its suffix?
bool is_source(const char *path);

// Names what was wrong after the program's name on standard error, then
// gives the usage, and exits with status 2.
[[noreturn]] __attribute__((format(printf, 2, 3))) void usage_error(const char *usage,
                                                                    const char *format, ...);
