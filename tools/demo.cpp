// demo: a counterpart (our doorkeeper, or the program given) and N clients on
// semaphores of the run's own, in an IPC namespace it makes for them, apart
// from the caller's. Every line they print passes straight
// through, the counterpart's marked as its own when it is not ours; a status
// line comes every 5 seconds, and each event can be logged with the time it
// was read. After S seconds, or at SIGINT, SIGTERM or SIGHUP, it ends them
// all, the counterpart first, and judges the run: each rule the counterpart
// broke is one line starting "-- fault:". Exit status 0: every rule kept; 1:
// a rule broken; 2: it could not judge.
//
// With --chaos it also kills a random client with SIGKILL every 1 to 3
// seconds, now and then the counterpart (all its processes) instead, starts
// another in its place, and at the end kills everything with SIGKILL.
#include "child_lines.hpp"
#include "contain.hpp"
#include "contained_build.hpp"
#include "namespaces.hpp"
#include "options.hpp"
#include "run.hpp"
#include "shown_text.hpp"
#include "submission.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <elf.h>
#include <err.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

constexpr const char *USAGE =
    "usage: demo [--clients N] [--seconds S] [--chaos] [--log FILE] [--verdict FILE]\n"
    "            [--first counterpart|clients] [--restart-at S] [--stop group|first]\n"
    "            [--private] [--counterpart PROGRAM [ARGUMENT]...]\n"
    "       demo [--private] --build SOURCE|FOLDER --output PROGRAM\n"
    "       (defaults: 8 clients, 40 seconds, the counterpart our doorkeeper, both started\n"
    "       at once, no restart, the stop's SIGTERM to the counterpart's process group, the\n"
    "       namespaces it runs in; --stop first sends it to its first process alone, as\n"
    "       kill PID does; --verdict writes each rule broken to FILE,\n"
    "       \"rule<TAB>what<TAB>seconds\", seconds into the run when it was first seen)\n"
    "       The counterpart and the clients run contained: never as root, no network,\n"
    "       writing only in the run's scratch directory, the counterpart within limits of\n"
    "       processes, memory, CPU time and output (man klient-grade). PROGRAM, a path or\n"
    "       a name on the run's PATH, gets the ARGUMENTs (after --, one that begins with\n"
    "       -); a folder runs its file named run, or its only executable file, the folder\n"
    "       copied beside it. --build builds a C or C++ source, or a folder\n"
    "       with a Makefile or of sources, so, within 60 s, for klient-grade.\n";
constexpr long MAX_CLIENTS = 9999, MAX_SECONDS = 999999;

// Why the kernel would refuse to execute program here, which sh would then
// read as a script of its own: "" for none found. An empty file, or an ELF
// file for another class, byte order or machine than this program's own.
static const char *format_refused(const std::string &program) {
    unsigned char theirs[EI_NIDENT + 4] = {}, ours[EI_NIDENT + 4] = {};
    auto head = [](const char *path, unsigned char *bytes) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        ssize_t got = fd == -1 ? -1 : read(fd, bytes, EI_NIDENT + 4);
        if (fd != -1)
            close(fd);
        return got;
    };
    ssize_t got = head(program.c_str(), theirs);
    if (got == 0)
        return " (an empty file)";
    // e_machine follows e_type, right after the identification bytes.
    if (got == EI_NIDENT + 4 && memcmp(theirs, ELFMAG, SELFMAG) == 0 &&
        head("/proc/self/exe", ours) == EI_NIDENT + 4 &&
        (theirs[EI_CLASS] != ours[EI_CLASS] || theirs[EI_DATA] != ours[EI_DATA] ||
         memcmp(theirs + EI_NIDENT + 2, ours + EI_NIDENT + 2, 2) != 0))
        return " (a program built for another machine)";
    return "";
}

// The interpreter a script names on its first line ("#!"), where the run
// cannot execute it; else "".
static std::string missing_interpreter(const std::string &program) {
    char line[128] = "";
    int fd = open(program.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t got = fd == -1 ? -1 : read(fd, line, sizeof line - 1);
    if (fd != -1)
        close(fd);
    if (got < 2 || line[0] != '#' || line[1] != '!')
        return "";
    line[got] = '\0';
    char *start = line + 2 + strspn(line + 2, " \t");
    std::string interpreter(start, strcspn(start, " \t\n"));
    return access(interpreter.c_str(), X_OK) == 0 ? "" : interpreter;
}

// Where path is a folder, the name of the program in it that the run
// starts; refuses, with status 2, a folder with none or with more than one.
// "" for anything else.
static std::string folder_program_of(const std::string &path) {
    int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir == -1)
        return "";
    std::string why, name = folder_program(dir, &why);
    close(dir);
    if (!name.empty())
        return name;
    Form form = submission_form(path);
    errx(2, "cannot run the counterpart: %s: %s%s", printable(path, true).c_str(), why.c_str(),
         form == FORM_MAKEFILE || form == FORM_SOURCES
             ? " (a folder to build: build it first, or give it to klient-grade, which does)"
             : "");
}

// The path of program, a name without a slash, on the run's PATH; "" if it
// is not there.
static std::string on_run_path(const std::string &program) {
    std::string dirs = RUN_PATH; // the run's, not this process's
    for (size_t at = 0; at <= dirs.size();) {
        size_t end = dirs.find(':', at);
        std::string dir = dirs.substr(at, end == std::string::npos ? end : end - at);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) // as a shell finds it
            return candidate;
        at = end == std::string::npos ? dirs.size() + 1 : end + 1;
    }
    return "";
}

// Refuses, with status 2, a counterpart whose program is missing or cannot be
// executed, before anything runs. Notes where the program lies: a path the
// run copies for its user to reach, or the system's own on the run's PATH.
static void check_runnable(RunOptions *run) {
    const std::string &program = run->counterpart;
    if (program.find('/') == std::string::npos) {
        run->program = on_run_path(program);
        if (run->program.empty())
            errx(2, "cannot run the counterpart: %s: not found on the run's PATH, %s",
                 printable(program, true).c_str(), RUN_PATH);
        return;
    }
    std::string in_folder = folder_program_of(program), path = program;
    if (!in_folder.empty())
        path += "/" + in_folder; // the program the run starts, the folder beside it
    std::string shown = printable(path, true);
    struct stat st;
    int error = stat(path.c_str(), &st) == -1      ? errno
                : S_ISDIR(st.st_mode)              ? EISDIR
                : access(path.c_str(), X_OK) == -1 ? errno
                                                   : 0;
    const char *format = error == 0 ? format_refused(path) : "";
    if (*format != '\0')
        errx(2, "cannot run the counterpart: %s: %s%s", shown.c_str(), strerror(ENOEXEC), format);
    if (std::string interpreter = error == 0 ? missing_interpreter(path) : ""; !interpreter.empty())
        errx(2, "cannot run the counterpart: %s: %s (its interpreter, %s)", shown.c_str(),
             strerror(ENOENT), printable(interpreter, true).c_str());
    if (error == 0) {
        run->program = program;
        run->copied = true;
        run->in_folder = in_folder;
        return;
    }
    errx(2, "cannot run the counterpart: %s: %s%s", shown.c_str(), strerror(error),
         is_source(program.c_str())
             ? " (a source file: build it first, or give it to klient-grade, which does)"
             : "");
}

int main(int argc, char **argv) {
    RunOptions run = {8, 40, false, FIRST_NONE, -1, false, "", nullptr};
    bool private_namespaces = false;
    long restart_at = -1;
    const char *counterpart = nullptr, *first = nullptr, *build = nullptr, *output = nullptr,
               *stop = nullptr;
    int operands = read_options(
        argc, argv,
        {number_option("clients", &run.clients, 1, MAX_CLIENTS, "a number of clients"),
         number_option("seconds", &run.seconds, 1, MAX_SECONDS, "a number of seconds"),
         flag_option("chaos", &run.chaos), text_option("log", &run.log_path),
         text_option("verdict", &run.verdict_path), text_option("counterpart", &counterpart),
         text_option("first", &first),
         number_option("restart-at", &restart_at, 1, MAX_SECONDS, "a number of seconds"),
         text_option("stop", &stop), flag_option("private", &private_namespaces),
         text_option("build", &build), text_option("output", &output)},
        USAGE, true);
    if (operands < argc && counterpart == nullptr)
        usage_error(USAGE, "unexpected argument '%s': arguments go to a --counterpart",
                    argv[operands]);
    if ((build == nullptr) != (output == nullptr))
        usage_error(USAGE, "--build and --output go together");
    if (counterpart != nullptr && *counterpart == '\0')
        usage_error(USAGE, "--counterpart wants a program");
    if (first != nullptr && strcmp(first, "counterpart") != 0 && strcmp(first, "clients") != 0)
        usage_error(USAGE, "--first wants counterpart or clients, got '%s'", first);
    if (stop != nullptr && strcmp(stop, "group") != 0 && strcmp(stop, "first") != 0)
        usage_error(USAGE, "--stop wants group or first, got '%s'", stop);
    run.stop_first = stop != nullptr && strcmp(stop, "first") == 0;
    run.counterpart = counterpart != nullptr ? counterpart : "";
    run.counterpart_args.assign(argv + operands, argv + argc);
    if (first != nullptr)
        run.first = strcmp(first, "clients") == 0 ? FIRST_CLIENTS : FIRST_COUNTERPART;
    run.restart_at = static_cast<double>(restart_at);
    if (!run.counterpart.empty())
        check_runnable(&run);
    program_path("klient"); // where the programs are, read before new namespaces
    if (private_namespaces && enter_private_namespaces() == -1)
        err(2, "cannot make private namespaces for the run");
    return build != nullptr ? build_contained(build, output) : run_and_judge(run);
}
