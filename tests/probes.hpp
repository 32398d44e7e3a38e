// The probes of the fixture counterpart: what a contained run must refuse,
// or bound.
#pragma once

// Tries what mode names, if it is a probe's, and says what came of it on
// standard output; given says where to try.
void probe(const char *mode, const char *given);

// Writes a line no client wrote into every client's output: the clients are
// this program's siblings. Says how many it reached.
void forge_lines();
