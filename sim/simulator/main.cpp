// qn38sim: the whole hot-plug system on the simulated PC (see program.h).
#include <iostream>
#include <string>
#include <vector>

#include "sim/simulator/program.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return qn38::sim::RunProgram(arguments, std::cin, std::cout, std::cerr, QN38_SIMULATOR_WORKDIR);
}
