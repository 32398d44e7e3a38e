// A run's timeline, drawn as an SVG element for a web page.
#pragma once

#include "grading.hpp"

#include <string>
#include <vector>

// The timeline of a run of seconds from its event log (demo --log): a lane
// per client (class "lane"), thin while it waits and thick while it
// consumes; the counterpart's lane with its ends and kills; how many
// consume at each moment by their lines, against the limit, with each
// stretch the demo judged a broken limit shaded; and a red mark (class
// "fault") at the moment each of faults was first seen, titled with what
// the run saw. A log that cannot be read draws no lane, and says so.
std::string timeline_svg(const std::string &events_path, const std::vector<RunFault> &faults,
                         double seconds);
