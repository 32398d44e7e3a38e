// What a counterpart handed in is, by what it holds.
#include "submission.hpp"

#include "options.hpp"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int folder_names(int dir, std::vector<std::string> *names) {
    int own = dup(dir);
    DIR *d = own == -1 ? nullptr : fdopendir(own);
    if (d == nullptr) {
        if (own != -1)
            close(own);
        return -1;
    }
    rewinddir(d); // a duplicate shares its position
    while (dirent *entry = readdir(d))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names->emplace_back(entry->d_name);
    closedir(d);
    std::sort(names->begin(), names->end());
    return 0;
}

// The names in the folder open at dir that are not hidden ("." first).
static std::vector<std::string> names_in(int dir) {
    std::vector<std::string> names;
    folder_names(dir, &names);
    std::erase_if(names, [](const std::string &name) { return name[0] == '.'; });
    return names;
}

Form submission_form(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) == -1 || !S_ISDIR(st.st_mode))
        return is_source(path.c_str()) ? FORM_SOURCE : FORM_PROGRAM;
    int dir = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::vector<std::string> names = names_in(dir);
    bool sources = !folder_sources(dir).empty();
    if (dir != -1)
        close(dir);
    for (const char *makefile : {"GNUmakefile", "makefile", "Makefile"})
        if (std::find(names.begin(), names.end(), makefile) != names.end())
            return FORM_MAKEFILE;
    return sources ? FORM_SOURCES : FORM_FOLDER;
}

std::vector<std::string> folder_sources(int dir) {
    std::vector<std::string> sources;
    for (const std::string &name : names_in(dir)) {
        struct stat st;
        if (is_source(name.c_str()) && fstatat(dir, name.c_str(), &st, 0) == 0 &&
            S_ISREG(st.st_mode))
            sources.push_back(name);
    }
    return sources;
}

// Is name, in the folder open at dir, a regular file that may be executed?
static bool executable(int dir, const std::string &name) {
    struct stat st;
    return fstatat(dir, name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode) &&
           faccessat(dir, name.c_str(), X_OK, 0) == 0;
}

std::vector<std::string> folder_executables(int dir) {
    std::vector<std::string> found;
    for (const std::string &name : names_in(dir))
        if (executable(dir, name))
            found.push_back(name);
    return found;
}

std::string folder_program(int dir, std::string *why, const std::vector<std::string> &not_these) {
    auto left_out = [&not_these](const std::string &name) {
        return std::find(not_these.begin(), not_these.end(), name) != not_these.end();
    };
    if (executable(dir, "run") && !left_out("run"))
        return "run";
    std::vector<std::string> found = folder_executables(dir);
    std::erase_if(found, left_out);
    if (found.size() == 1)
        return found[0];
    *why = found.empty() ? "no executable file in it"
                         : std::to_string(found.size()) +
                               " executable files in it: name the one to run 'run'";
    return "";
}
