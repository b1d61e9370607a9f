// touchsim: one session of the touch driver on the host kernel stand-in.
#include "touchsim_cli.h"
#include "touchsim_session.h"

#include "pelvonctl_output.h"

#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>

int main(int argc, char** argv)
{
    // A closed standard output would be taken by the next file touchsim
    // opens, and the reports written into it.
    if (fcntl(STDOUT_FILENO, F_GETFD) < 0 || fcntl(STDERR_FILENO, F_GETFD) < 0) {
        if (fcntl(STDERR_FILENO, F_GETFD) >= 0) {
            std::cerr << "touchsim: standard output is closed: nothing could be reported\n";
        }
        return TouchsimOutputFailed;
    }
    const std::vector<std::string> args(argv + 1, argv + argc);
    ErrnoRecordingBuffer out(std::cout.rdbuf());
    ErrnoRecordingBuffer err(std::cerr.rdbuf());
    std::streambuf* const standardOut = std::cout.rdbuf(&out);
    std::streambuf* const standardErr = std::cerr.rdbuf(&err);
    const int code = RunTouchsim(args, std::cout, std::cerr);
    std::cout.rdbuf(standardOut);
    std::cerr.rdbuf(standardErr);
    return code;
}
