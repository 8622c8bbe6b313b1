// The command line and the start-up and shut-down sequence.
#pragma once

namespace kelvantor {

inline constexpr const char* program_version = "1.5.1-pre2";

// Reads the options, starts the filter, runs the milter main loop and shuts
// down; returns the exit status (or exits on a failure).
int kelvantor_main(int argc, char** argv);

// Writes the usage text to standard output.
void usage();

}  // namespace kelvantor
