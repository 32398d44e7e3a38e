// The lines a manual page lists under DIAGNOSTICS, for a test to hold a
// program's lines against.
#pragma once

#include <regex>
#include <string>
#include <vector>

// The tags of a manual page's DIAGNOSTICS, each as a pattern for a whole
// line of program's: bold and roman text as it stands, an italic run (a
// reason, a key) or a choice between two as any text.
std::vector<std::regex> diagnostics(const char *page, const std::string &program);
