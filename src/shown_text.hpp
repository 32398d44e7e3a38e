// Text that someone else chose (a program's name, a line a program wrote, a
// file's name), made safe to show on a terminal or in a line of ours.
#pragma once

#include <cstddef>
#include <string>

// Writes text (length bytes) to out as a line may show it: a byte that is
// not printable ASCII as \xHH, so that no text can end a line, forge another
// or move a terminal's cursor; where utf8, each well-formed UTF-8 sequence of
// a character that is no control character is kept whole. At most most bytes
// of text are shown, then "..." where there was more. Writes no terminating
// null, at most shown_room(most) bytes; returns how many. Async-signal-safe.
size_t show_text(char *out, const char *text, size_t length, size_t most, bool utf8);

constexpr size_t shown_room(size_t most) {
    return 4 * most + 3;
}

// The same for a whole string.
std::string printable(const std::string &text, bool utf8 = false);
