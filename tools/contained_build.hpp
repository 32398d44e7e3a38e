// A student's source built as its program then runs: contained, as the run's
// user, with the counterpart's limits and no terminal.
#pragma once

constexpr int BUILD_SECONDS = 60; // of CPU time, and of time in all

// Builds source, read with the rights of the run's user, with the compiler
// or make on the run's PATH, into output: a C or C++ file, or a folder
// (submission.hpp) with a Makefile or of sources. The build's lines pass
// through escaped (shown_text.hpp). Returns the exit status: 0 built, 1 the
// compiler refused the source (or ran out of its limits), 2 it could not
// build (said on standard error in one line).
int build_contained(const char *source, const char *output);
