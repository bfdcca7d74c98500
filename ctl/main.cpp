// kronelctl: status, settings and server-list editing from the command line.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "ctl/Ctl.h"

int main(int argc, char* argv[]) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return ctl::run(args, std::cin, std::cout, std::cerr);
}
