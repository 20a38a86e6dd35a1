// qlspool: the spooler host command.
#include "host/Cli.h"

#include <exception>
#include <iostream>

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        const int code = qlhost::RunQlspool(args, std::cout, std::cerr);
        std::cout.flush();
        return code;
    } catch (const std::exception& e) {
        std::cerr << "qlspool: internal error: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "qlspool: internal error\n";
    }
    return 1;
}
