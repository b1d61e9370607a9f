// touchsim: one session of the touch driver on the host kernel stand-in.
#include "touchsim_cli.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    return RunTouchsim(args, std::cout, std::cerr);
}
