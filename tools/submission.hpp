// What a counterpart handed in is: a program, a source, or a folder, and for
// a folder how it becomes a program.
#pragma once

#include <string>
#include <vector>

enum Form {
    FORM_PROGRAM,  // a file run as it is
    FORM_SOURCE,   // a C or C++ file, built into a program
    FORM_MAKEFILE, // a folder with a Makefile, built with make
    FORM_SOURCES,  // a folder of C and C++ files, and no Makefile, built into one program
    FORM_FOLDER,   // a folder of neither: its program run with the folder beside it
};

// The form of path, by its suffix and, for a folder, by the names in it.
Form submission_form(const std::string &path);

// Every name in the folder open at dir but "." and "..", sorted; its
// descriptor stays open and unmoved. Returns 0, or -1 with errno set.
int folder_names(int dir, std::vector<std::string> *names);

// The C and C++ files of the folder open at dir, sorted by name.
std::vector<std::string> folder_sources(int dir);

// The executable files of the folder open at dir, sorted by name.
std::vector<std::string> folder_executables(int dir);

// The program among the files of the folder open at dir: its file named
// run, or else its only executable file, leaving out the names in
// not_these. Returns its name, or "" with why set.
std::string folder_program(int dir, std::string *why,
                           const std::vector<std::string> &not_these = {});
