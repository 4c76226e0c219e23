// The simulator program: its options, the scenario it plays, the prompt.
// main() only hands over its arguments and streams.
#pragma once

#include <filesystem>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sim/simulator/simulator.h"

namespace qn38::sim {

struct ProgramOptions {
    SimulatorOptions simulator;
    std::optional<std::filesystem::path> scenario;  // the default scenario unless given
    bool interactive = false;
    bool help = false;
};

struct OptionsResult {
    std::optional<ProgramOptions> options;
    std::string error;
};

// The arguments after the program's name.
OptionsResult ParseOptions(const std::vector<std::string>& arguments, const std::filesystem::path& defaultWorkdir);

// The scenario the program plays when none is given.
std::filesystem::path DefaultScenarioPath();

// Exit status: 0 every step behaved as expected, 1 some did not, 2 the
// options or the scenario file are wrong (nothing was run).
int RunProgram(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out, std::ostream& err,
               const std::filesystem::path& defaultWorkdir);

}  // namespace qn38::sim
