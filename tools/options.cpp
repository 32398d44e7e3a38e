// Whole numbers and usage errors.
#include "options.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <err.h>
#include <getopt.h>
#include <initializer_list>
#include <string_view>

long number_option(const char *usage, const char *name, long min, long max, const char *what) {
    char *end;
    errno = 0;
    long n = strtol(optarg, &end, 10);
    // strtol would take leading spaces and a sign.
    if (*optarg < '0' || *optarg > '9' || *end != '\0' || errno != 0 || n < min || n > max)
        usage_error(usage, "%s wants %s from %ld to %ld, got '%s'", name, what, min, max, optarg);
    return n;
}

void usage_error(const char *usage, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vwarnx(format, args);
    va_end(args);
    fputs(usage, stderr);
    exit(2);
}

bool is_source(const char *path) {
    std::string_view p = path;
    for (const char *suffix : {".c", ".cc", ".cpp", ".cxx", ".C"})
        if (p.ends_with(suffix))
            return true;
    return false;
}

int next_option(int argc, char **argv, const option *options, const char *usage) {
    opterr = 0; // its errors are said here, with the usage
    int c = getopt_long(argc, argv, ":h", options, nullptr);
    if (c == 'h') {
        fputs(usage, stdout);
        exit(0);
    }
    if (c == ':')
        usage_error(usage, "%s wants a value", argv[optind - 1]);
    if (c == '?')
        usage_error(usage, "unknown option '%s'", argv[optind - 1]);
    return c;
}
