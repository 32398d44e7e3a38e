// The lines a manual page lists under DIAGNOSTICS.
#include "manual_diagnostics.hpp"

#include <cstring>
#include <fstream>

std::vector<std::regex> diagnostics(const char *page, const std::string &program) {
    std::vector<std::regex> tags;
    std::ifstream in(page);
    bool inside = false, tag = false;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(".SH"))
            inside = line == ".SH DIAGNOSTICS";
        if (inside && tag) {
            std::string pattern = "^" + program + ": ";
            bool italic = false, wild = false;
            for (size_t i = 0; i < line.size(); i++) {
                char c = line[i];
                if (c == '\\' && i + 2 < line.size() && line[i + 1] == 'f') {
                    italic = line[i + 2] == 'I';
                    i += 2;
                    continue;
                }
                if (c == '\\' && i + 1 < line.size()) { // \- \& \e: -, nothing, a backslash
                    char escaped = line[++i];
                    if (escaped == '&')
                        continue;
                    c = escaped == 'e' ? '\\' : escaped;
                }
                if (italic || c == '|') {
                    pattern += wild ? "" : ".*";
                    wild = true;
                    continue;
                }
                if (strchr("\\^$.|?*+()[]{}", c) != nullptr)
                    pattern += '\\';
                pattern += c;
                wild = false;
            }
            tags.emplace_back(pattern + "$");
        }
        tag = inside && (line == ".TP" || line == ".TQ");
    }
    return tags;
}
