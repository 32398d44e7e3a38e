// Whole numbers and usage errors.
#include "options.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <getopt.h>

bool whole_number(const char *text, long min, long max, long *number) {
    if (*text < '0' || *text > '9') // strtol would take spaces and a sign
        return false;
    char *end;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || n < min || n > max)
        return false;
    *number = n;
    return true;
}

void usage_error(const char *usage, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vwarnx(format, args);
    va_end(args);
    fputs(usage, stderr);
    exit(2);
}

void option_error(const char *usage, int c, char *const *argv) {
    if (c == ':')
        usage_error(usage, "%s wants a value", argv[optind - 1]);
    usage_error(usage, "unknown option '%s'", argv[optind - 1]);
}
