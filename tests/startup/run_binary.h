// Runs the built kelvantor binary as a child process with a bounded wait,
// capturing its standard output, standard error and exit status.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kelvantor::testing {

struct run_result {
    int status = -1;  // exit status, or -1 when killed by a signal or timed out
    std::string out;
    std::string err;
};

// Runs argv[0] with the arguments; kills it after the bound.
run_result run_binary(const std::vector<std::string>& argv,
                      std::chrono::milliseconds bound = std::chrono::seconds(20));

}  // namespace kelvantor::testing
