// qlstream: lists what a gateway transport stream (or a plain EMF spool
// file) holds. See `qlstream --help`.
#include "tools/lib/StreamReader.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return qltools::RunInspect(args, std::cout, std::cerr);
}
