// What bench/touchsim_scale.sh needs around touchsim, with nothing but the
// C library: the touch stream as a file, one run timed with its peak
// memory, and a live session on a pseudo-terminal with its memory sampled
// as the bytes go through.
//   touchsim_scale_helper stream BYTES FILE
//   touchsim_scale_helper measure PROGRAM ARGS...   (its output to /dev/null)
//       prints: SECONDS CPU_SECONDS PEAK_RSS_KB EXIT_CODE (CPU: user and system)
//   touchsim_scale_helper live TOUCHSIM REG STREAM FIRST SECOND
//       feeds the stream over and over until SECOND bytes went through
//       prints: RSS_KB_AFTER_FIRST RSS_KB_AFTER_SECOND EXIT_CODE
#include <cstddef>
#include <cstdint>

#include "touch_stream.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: touchsim_scale_helper stream BYTES FILE | measure PROGRAM ARGS... |"
                         " live TOUCHSIM REG STREAM FIRST SECOND\n");
    return 2;
}

int WriteStream(size_t Bytes, const char* Path)
{
    std::vector<uint8_t> stream;
    for (size_t touches = 1000; stream.size() < Bytes; touches *= 2) {
        stream = MakeTouchStream(touches);
    }
    stream.resize(Bytes);
    std::ofstream file(Path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
    return file ? 0 : 1;
}

// Standard output goes to Stdout; with QuietErrors standard error too.
pid_t Spawn(const std::vector<std::string>& Args, int Stdout, bool QuietErrors = false)
{
    std::vector<char*> argv;
    for (const std::string& arg : Args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, Stdout, STDOUT_FILENO);
    if (QuietErrors) {
        posix_spawn_file_actions_adddup2(&actions, Stdout, STDERR_FILENO);
    }
    pid_t child = 0;
    const int failed = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? child : -1;
}

int ExitCode(int Status)
{
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
}

int Measure(const std::vector<std::string>& Args)
{
    const int null = open("/dev/null", O_WRONLY);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = Spawn(Args, null, true);
    if (child < 0) {
        std::perror("spawn");
        return 1;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.3f %.3f %ld %d\n", seconds, cpu, usage.ru_maxrss, ExitCode(status));
    return 0;
}

long ProcField(pid_t Pid, const char* File, const char* Field)
{
    std::ifstream in("/proc/" + std::to_string(Pid) + "/" + File);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(Field, 0) == 0) {
            return std::strtol(line.c_str() + std::strlen(Field), nullptr, 10);
        }
    }
    return -1;
}

// Bytes the child has taken from the line: what it read beyond what it had
// read before the line was fed.
bool WaitUntilRead(pid_t Child, long Baseline, long Bytes)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (ProcField(Child, "io", "rchar:") - Baseline < Bytes) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int Live(const std::string& Touchsim, const std::string& Reg, const char* StreamPath, long First, long Second)
{
    std::ifstream in(StreamPath, std::ios::binary);
    const std::vector<char> stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (stream.empty() || master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "no stream or no pseudo-terminal\n");
        return 1;
    }
    const std::string slave = ptsname(master);
    const int null = open("/dev/null", O_WRONLY);
    const pid_t child = Spawn({Touchsim, "--reg", Reg, "--serial", slave, "--format", "jsonl"}, null);
    if (child < 0) {
        std::perror("spawn");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the line is opened and set up
    const long baseline = ProcField(child, "io", "rchar:");
    long rss[2] = {-1, -1};
    long sent = 0;
    for (int mark = 0; mark < 2; mark++) {
        const long target = mark == 0 ? First : Second;
        while (sent < target) {
            const size_t at = static_cast<size_t>(sent) % stream.size();
            const size_t count = std::min<size_t>(stream.size() - at, static_cast<size_t>(target - sent));
            const ssize_t written = write(master, stream.data() + at, std::min<size_t>(count, 4096));
            if (written <= 0) {
                std::perror("write");
                kill(child, SIGKILL);
                return 1;
            }
            sent += written;
        }
        if (!WaitUntilRead(child, baseline, target)) {
            std::fprintf(stderr, "touchsim took too long to read the line\n");
            kill(child, SIGKILL);
            return 1;
        }
        rss[mark] = ProcField(child, "status", "VmRSS:");
    }
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    close(master);
    std::printf("%ld %ld %d\n", rss[0], rss[1], ExitCode(status));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 3 && args[0] == "stream") {
        return WriteStream(std::strtoull(args[1].c_str(), nullptr, 10), args[2].c_str());
    }
    if (args.size() >= 2 && args[0] == "measure") {
        return Measure(std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (args.size() == 6 && args[0] == "live") {
        return Live(args[1], args[2], args[3].c_str(), std::atol(args[4].c_str()), std::atol(args[5].c_str()));
    }
    return Usage();
}
