// dravolux-sim [SCENARIO]: runs a scenario on a host machine (stdin when no
// file is given).
#include <fstream>
#include <iostream>

#include "simulator.h"

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
        std::cerr << "usage: dravolux-sim [SCENARIO]\n";
        return 2;
    }
    if (argc == 2) {
        std::ifstream file(argv[1]);
        if (!file) {
            std::cerr << "dravolux-sim: cannot read " << argv[1] << "\n";
            return 2;
        }
        return sim::RunSimulator(file, std::cout);
    }
    return sim::RunSimulator(std::cin, std::cout);
}
