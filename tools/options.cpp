// Options by table, through getopt_long(3), and usage errors.
#include "options.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <getopt.h>
#include <initializer_list>
#include <string_view>

// Each option's code for getopt_long: its index, above every character.
constexpr int FIRST_CODE = 256;

static long whole_number(const char *usage, const Option &o, const char *given) {
    char *end;
    errno = 0;
    long n = strtol(given, &end, 10);
    // strtol would take leading spaces and a sign.
    if (*given < '0' || *given > '9' || *end != '\0' || errno != 0 || n < o.min || n > o.max)
        usage_error(usage, "--%s wants %s from %ld to %ld, got '%s'", o.name, o.what, o.min, o.max,
                    given);
    return n;
}

Option flag_option(const char *name, bool *flag) {
    return {name, flag, nullptr, 0, 0, nullptr, nullptr};
}

Option number_option(const char *name, long *number, long min, long max, const char *what) {
    return {name, nullptr, number, min, max, what, nullptr};
}

Option text_option(const char *name, const char **text) {
    return {name, nullptr, nullptr, 0, 0, nullptr, text};
}

Option texts_option(const char *name, std::vector<const char *> *texts) {
    return {name, nullptr, nullptr, 0, 0, nullptr, nullptr, texts};
}

// The argument that getopt found unknown: an unknown letter that ends its
// cluster has moved optind past it, one in the middle has not.
static const char *unknown_argument(int argc, char **argv) {
    const char *last = argv[optind - 1];
    size_t length = strlen(last);
    bool ends_cluster = last[0] == '-' && last[1] != '-' && last[length - 1] == optopt;
    return optopt == 0 || ends_cluster || optind >= argc ? last : argv[optind];
}

int read_options(int argc, char **argv, const std::vector<Option> &options, const char *usage,
                 bool takes_operands) {
    std::vector<option> longs;
    longs.reserve(options.size() + 2);
    for (size_t i = 0; i < options.size(); i++)
        longs.push_back({options[i].name,
                         options[i].flag != nullptr ? no_argument : required_argument, nullptr,
                         FIRST_CODE + static_cast<int>(i)});
    longs.push_back({"help", no_argument, nullptr, 'h'});
    longs.push_back({});
    opterr = 0; // its errors are said here, with the usage
    // With operands, the first ends the options: a file named -x after it is one.
    const char *letters = takes_operands ? "+:h" : ":h";
    for (int c; (c = getopt_long(argc, argv, letters, longs.data(), nullptr)) != -1;) {
        if (c == 'h') {
            fputs(usage, stdout);
            exit(0);
        }
        if (c == ':')
            usage_error(usage, "%s wants a value", argv[optind - 1]);
        if (c < FIRST_CODE)
            usage_error(usage, "unknown option '%s'%s", unknown_argument(argc, argv),
                        takes_operands ? " (a file whose name begins with '-': give it after --)"
                                       : "");
        const Option &o = options[static_cast<size_t>(c - FIRST_CODE)];
        if (o.flag != nullptr)
            *o.flag = true;
        else if (o.number != nullptr)
            *o.number = whole_number(usage, o, optarg);
        else if (o.texts != nullptr)
            o.texts->push_back(optarg);
        else
            *o.text = optarg;
    }
    if (!takes_operands && optind < argc)
        usage_error(usage, "unexpected argument '%s'", argv[optind]);
    return optind;
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
