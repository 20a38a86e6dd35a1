// qlspoolgen: writes EMF spool files of synthetic pages for test jobs, or
// wraps EMF files into a spool file. See `qlspoolgen --help`.
#include "tools/lib/SpoolWriter.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return qltools::RunSpoolGen(args, std::cout, std::cerr);
}
