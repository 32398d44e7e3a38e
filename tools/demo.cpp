// demo: a counterpart (our doorkeeper, or the program given) and N clients on
// the semaphores of the IPC namespace it runs in (scripts/demo gives it a
// private one, and so does --private). Every line they print passes straight
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
    "            [--counterpart COMMAND] [--first counterpart|clients] [--restart-at S]\n"
    "            [--stop group|first] [--private]\n"
    "       demo [--private] --build SOURCE|FOLDER --output PROGRAM\n"
    "       (defaults: 8 clients, 40 seconds, the counterpart our doorkeeper, both started\n"
    "       at once, no restart, the stop's SIGTERM to the counterpart's process group, the\n"
    "       namespaces it runs in; --stop first sends it to its first process alone, as\n"
    "       kill PID does; --verdict writes each rule broken to FILE, \"rule<TAB>what\")\n"
    "       The counterpart and the clients run contained: never as root, no network,\n"
    "       writing only in the run's scratch directory, the counterpart within limits of\n"
    "       processes, memory, CPU time and output (man klient-grade). A COMMAND whose\n"
    "       program is a folder runs its file named run, or its only executable file,\n"
    "       the folder copied beside it. --build builds a C or C++ source, or a folder\n"
    "       with a Makefile or of sources, so, within 60 s, for klient-grade.\n";
constexpr long MAX_CLIENTS = 9999, MAX_SECONDS = 999999;

// The program a command runs: its first word after any NAME=value, taken out
// of single quotes, and where that word lies in the command, [*from, *to).
// Empty when that word is more than this plain reading knows (a quote inside
// it, $, a glob...): the shell is left to say.
static std::string command_program(const std::string &command, size_t *from, size_t *to) {
    for (size_t at = 0;;) {
        at = command.find_first_not_of(" \t", at);
        if (at == std::string::npos)
            return "";
        *from = at;
        if (command[at] == '\'') { // a whole word in quotes, as klient-grade quotes a path
            size_t close = command.find('\'', at + 1);
            bool whole = close != std::string::npos &&
                         (close + 1 == command.size() || strchr(" \t", command[close + 1]));
            *to = close + 1;
            return whole ? command.substr(at + 1, close - at - 1) : "";
        }
        size_t end = command.find_first_of(" \t", at);
        std::string word = command.substr(at, end - at);
        *to = end == std::string::npos ? command.size() : end;
        if (word.find_first_of("\"'\\$`*?[(){};&|<>~") != std::string::npos)
            return "";
        size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0)
            return word;
        at = end; // an assignment: the program comes after it
    }
}

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
    Form form = submission_form(path);
    if (name.empty())
        errx(2, "cannot run the counterpart: %s: %s%s", printable(path, true).c_str(), why.c_str(),
             form == FORM_MAKEFILE || form == FORM_SOURCES
                 ? " (a folder to build: build it first, or give it to klient-grade, which does)"
                 : "");
    return name;
}

// Refuses, with status 2, a counterpart whose program is missing or cannot be
// executed, before anything runs. Notes the program of a command that names
// it by its path, which the run copies for its user to reach.
static void check_runnable(RunOptions *run) {
    const std::string &command = run->counterpart;
    size_t from = 0, to = 0;
    std::string program = command_program(command, &from, &to), found;
    if (program.empty())
        return;
    if (program.find('/') == std::string::npos) {
        std::string dirs = RUN_PATH; // the run's, not this process's
        for (size_t at = 0; found.empty() && at <= dirs.size();) {
            size_t end = dirs.find(':', at);
            std::string dir = dirs.substr(at, end == std::string::npos ? end : end - at);
            std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
            if (access(candidate.c_str(), X_OK) == 0)
                found = candidate;
            at = end == std::string::npos ? dirs.size() + 1 : end + 1;
        }
        if (found.empty())
            errx(2, "cannot run the counterpart: %s: not found on the run's PATH, %s",
                 program.c_str(), RUN_PATH);
        return;
    }
    std::string in_folder = folder_program_of(program), path = program;
    if (!in_folder.empty())
        path += "/" + in_folder; // the program the run starts, the folder beside it
    struct stat st;
    int error = stat(path.c_str(), &st) == -1      ? errno
                : S_ISDIR(st.st_mode)              ? EISDIR
                : access(path.c_str(), X_OK) == -1 ? errno
                                                   : 0;
    const char *format = error == 0 ? format_refused(path) : "";
    if (*format != '\0')
        errx(2, "cannot run the counterpart: %s: %s%s", path.c_str(), strerror(ENOEXEC), format);
    if (std::string interpreter = error == 0 ? missing_interpreter(path) : ""; !interpreter.empty())
        errx(2, "cannot run the counterpart: %s: %s (its interpreter, %s)", path.c_str(),
             strerror(ENOENT), printable(interpreter, true).c_str());
    if (error == 0) {
        run->program = program;
        run->program_from = from;
        run->program_to = to;
        run->in_folder = in_folder;
        return;
    }
    errx(2, "cannot run the counterpart: %s: %s%s", path.c_str(), strerror(error),
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
    read_options(argc, argv,
                 {number_option("clients", &run.clients, 1, MAX_CLIENTS, "a number of clients"),
                  number_option("seconds", &run.seconds, 1, MAX_SECONDS, "a number of seconds"),
                  flag_option("chaos", &run.chaos), text_option("log", &run.log_path),
                  text_option("verdict", &run.verdict_path),
                  text_option("counterpart", &counterpart), text_option("first", &first),
                  number_option("restart-at", &restart_at, 1, MAX_SECONDS, "a number of seconds"),
                  text_option("stop", &stop), flag_option("private", &private_namespaces),
                  text_option("build", &build), text_option("output", &output)},
                 USAGE);
    if ((build == nullptr) != (output == nullptr))
        usage_error(USAGE, "--build and --output go together");
    if (counterpart != nullptr && counterpart[strspn(counterpart, " \t")] == '\0')
        usage_error(USAGE, "--counterpart wants a command, got '%s'", counterpart);
    if (first != nullptr && strcmp(first, "counterpart") != 0 && strcmp(first, "clients") != 0)
        usage_error(USAGE, "--first wants counterpart or clients, got '%s'", first);
    if (stop != nullptr && strcmp(stop, "group") != 0 && strcmp(stop, "first") != 0)
        usage_error(USAGE, "--stop wants group or first, got '%s'", stop);
    run.stop_first = stop != nullptr && strcmp(stop, "first") == 0;
    run.counterpart = counterpart != nullptr ? counterpart : "";
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
