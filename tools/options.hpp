// Reading the demo's and the benchmark's command lines: whole numbers, and
// usage errors.
#pragma once

// The value of an option, optarg, as a whole number from min to max: decimal
// digits only, no sign, no spaces, nothing after. Anything else is a usage
// error that names the option and what it wants ("--clients wants a number
// of clients from 1 to 9999, got '2abc'").
long number_option(const char *usage, const char *name, long min, long max, const char *what);

// getopt_long's short options for a program that reports its own option
// errors (with opterr 0): -h, and ':' for a missing value.
constexpr const char *SHORT_OPTIONS = ":h";

// For getopt_long's '?' (an unknown option) or ':' (a value missing): names
// the option, then gives the usage, and exits with status 2.
[[noreturn]] void option_error(const char *usage, int c, char *const *argv);

// Names what was wrong after the program's name on standard error, then
// gives the usage, and exits with status 2.
[[noreturn]] __attribute__((format(printf, 2, 3))) void usage_error(const char *usage,
                                                                    const char *format, ...);
