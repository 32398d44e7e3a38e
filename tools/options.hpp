// Reading the demo's and the benchmark's command lines: whole numbers, and
// usage errors.
#pragma once

#include <getopt.h>

// The value of an option, optarg, as a whole number from min to max: decimal
// digits only, no sign, no spaces, nothing after. Anything else is a usage
// error that names the option and what it wants ("--clients wants a number
// of clients from 1 to 9999, got '2abc'").
long number_option(const char *usage, const char *name, long min, long max, const char *what);

// Does a path given for a counterpart name a C or C++ source, by its suffix?
bool is_source(const char *path);

// The next option of argv that is one of options (each a long option with
// a short value of its own), as getopt_long(3) gives it, with its value in
// optarg; -1 after the last. -h and --help print the usage on standard
// output and exit with status 0; an unknown option, or one without the value
// it wants, is a usage error.
int next_option(int argc, char **argv, const option *options, const char *usage);

// Names what was wrong after the program's name on standard error, then
// gives the usage, and exits with status 2.
[[noreturn]] __attribute__((format(printf, 2, 3))) void usage_error(const char *usage,
                                                                    const char *format, ...);
