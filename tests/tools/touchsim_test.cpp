// touchsim: input formats, output formats on known sessions, failures that
// must stop before anything runs, the live serial mode on a pseudo-terminal,
// and the binary end to end.
#include "touchsim_cli.h"
#include "touchsim_input.h"
#include "touchsim_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// COM1 at 9600 baud, click on (divisor 0x04A9, 50 ms), axes as sent, one monitor.
const char* const ClickRegistry = R"(REGEDIT4

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\pelvon\Parameters]
"PortName"="COM1"
"BaudRate"=dword:00002580
"LTRB"=dword:00000001
"MultiMonitor"=dword:00000000
"Beep"=hex:01,a9,04,32,00,00,00
)";

// Raw 0xABC0, 0x1230: reported at 0xABC0, 0x1200 (43968, 4608).
const char* const TouchAndRelease = "6A 3C 04 23 0D\n40 00 00 00 00\n";

class TempDir {
public:
    TempDir()
    {
        static std::atomic<int> counter{0};
        path_ = fs::temp_directory_path() /
                ("touchsim_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }

    std::string Write(const std::string& Name, const std::string& Content) const
    {
        const fs::path file = path_ / Name;
        std::ofstream(file, std::ios::binary) << Content;
        return file.string();
    }
    std::string Path(const std::string& Name) const { return (path_ / Name).string(); }

private:
    fs::path path_;
};

struct RunResult {
    int Code;
    std::string Out;
    std::string Err;
};

RunResult Touchsim(const std::vector<std::string>& Args)
{
    std::ostringstream out;
    std::ostringstream err;
    const int code = RunTouchsim(Args, out, err);
    return {code, out.str(), err.str()};
}

std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> lines;
    std::istringstream stream(Text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

size_t Count(const std::string& Text, const std::string& Part)
{
    size_t count = 0;
    for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) {
        count++;
    }
    return count;
}

// ---------------------------------------------------------------- input

TEST(TouchsimInput, HexTextTakesBytesSilencesAndComments)
{
    std::string error;
    const auto input = ParseHexText("6A 3c # the start\n+20ms 40\n+1ms\t+2ms 00 # two silences add up\n+5ms\n", error);
    ASSERT_TRUE(input) << error;
    const std::vector<PeerTimedByte> expected = {{0, 0x6A}, {0, 0x3C}, {200000, 0x40}, {30000, 0x00}};
    EXPECT_EQ(input->Bytes, expected);
    EXPECT_EQ(input->TrailingSilence, 50000);
}

TEST(TouchsimInput, HexTextRejectsWhatIsNotAByteOrASilence)
{
    for (const auto& [text, line] : std::vector<std::pair<std::string, int>>{
             {"6A 3\n", 1}, {"6A\n\nGG\n", 3}, {"+5s\n", 1}, {"00 +ms\n", 1}, {"123\n", 1}, {"0x40\n", 1}}) {
        std::string error;
        EXPECT_FALSE(ParseHexText(text, error)) << text;
        EXPECT_NE(error.find("line " + std::to_string(line) + ":"), std::string::npos) << text << " -> " << error;
    }
}

TEST(TouchsimInput, GestureScriptBecomesTimedPackets)
{
    std::string error;
    const auto input = ParseGestureScript("# one short tap\nevery 20\ntap 2048 1024 40\n", error);
    ASSERT_TRUE(input) << error;
    // Two packets 20 ms apart, then the release 20 ms after the last.
    ASSERT_EQ(input->Bytes.size(), 15u);
    EXPECT_EQ(input->Bytes[5].Gap, 200000);
    EXPECT_EQ(input->Bytes[10].Gap, 200000);
    EXPECT_EQ(input->Bytes[10].Byte, 0x40);
}

// ---------------------------------------------------------------- bad input and failures

TEST(TouchsimFailures, BadInputNamesFileAndLineAndRunsNothing)
{
    TempDir dir;
    const std::string reg = dir.Write("ok.reg", ClickRegistry);
    const std::string bytes = dir.Write("bad.txt", "6A 3C 04 23 0D\n# fine so far\n40 00 0G\n");
    const std::string gesture = dir.Write("bad.gesture", "tap 100 100\nswipe 1 2\n");
    const std::string badReg = dir.Write("bad.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:zz\n");
    const std::string ok = dir.Write("ok.txt", TouchAndRelease);

    struct Case {
        std::vector<std::string> Args;
        std::vector<std::string> Message;
    };
    const std::vector<Case> cases = {
        {{"--reg", reg, "--bytes", bytes}, {bytes, "line 3", "0G"}},
        {{"--reg", reg, "--gesture", gesture}, {gesture, "line 2", "swipe"}},
        {{"--reg", badReg, "--bytes", ok}, {badReg, "line 4"}},
        {{"--bytes", dir.Path("missing.txt")}, {"missing.txt", "cannot open"}},
        {{"--bytes", ok, "--raw", ok}, {"only one of"}},
        {{"--reg", reg}, {"no input"}},
        {{"--bytes", ok, "--port", "COM1"}, {"--port and --baud go together"}},
        {{"--bytes", ok, "--format", "xml"}, {"--format"}},
        {{"--bytes", ok, "--frobnicate"}, {"unknown option '--frobnicate'"}},
        {{"--bytes", ok, "--ctl", "no-such-command"}, {"--ctl \"no-such-command\""}},
        {{"--serial", ok}, {"not a serial line"}},
    };
    for (const Case& c : cases) {
        const RunResult run = Touchsim(c.Args);
        EXPECT_EQ(run.Code, 2) << c.Args[1] << "\n" << run.Err;
        EXPECT_EQ(run.Out, "") << "a session started for " << c.Args[1];
        for (const std::string& part : c.Message) {
            EXPECT_NE(run.Err.find(part), std::string::npos) << "'" << part << "' missing from: " << run.Err;
        }
    }
}

TEST(TouchsimFailures, PortThatCannotBeOpenedExitsTwoWithTheStatus)
{
    TempDir dir;
    const std::string bytes = dir.Write("b.txt", TouchAndRelease);
    // COM9 is no port; without --reg the driver holds no port name at all.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bytes", bytes, "--port", "COM9", "--baud", "9600"},
          std::vector<std::string>{"--bytes", bytes}}) {
        const RunResult run = Touchsim(args);
        EXPECT_EQ(run.Code, 2) << run.Err;
        EXPECT_NE(run.Err.find("STATUS_NOT_FOUND (0xC0000225)"), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

// ---------------------------------------------------------------- known sessions

TEST(TouchsimSessions, JsonlOfATouchAndARelease)
{
    TempDir dir;
    const RunResult run = Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--bytes",
                              dir.Write("b.txt", TouchAndRelease), "--format", "jsonl"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    // 9600 baud: a byte takes 100000000 / 9600 = 10416 units, so the fifth
    // byte completes at 52080 and the tenth at 104160. The click starts with
    // the tone programmed (0xB6, divisor low and high) and the gate on; the
    // release switches it off; the timer does it again 100 ms after the last
    // read, and the removal of the device once more.
    EXPECT_EQ(run.Out, R"({"t":52080,"out":{"port":67,"value":182}}
{"t":52080,"out":{"port":66,"value":169}}
{"t":52080,"out":{"port":66,"value":4}}
{"t":52080,"out":{"port":97,"value":51}}
{"t":52080,"report":{"flags":1,"buttons":1,"raw":1,"x":43968,"y":4608}}
{"t":104160,"out":{"port":97,"value":48}}
{"t":104160,"report":{"flags":1,"buttons":2,"raw":0,"x":43968,"y":4608}}
{"t":1104160,"out":{"port":97,"value":48}}
{"t":1104160,"out":{"port":97,"value":48}}
)");
}

TEST(TouchsimSessions, CsvFollowsTheLineSpeedAndSilencesOfTheChosenPort)
{
    TempDir dir;
    const RunResult run = Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--bytes",
                              dir.Write("b.txt", "6A 3C 04 23 0D +3ms 40 00 00 00 00"), "--port", "COM2", "--baud",
                              "19200", "--format", "csv", "--stats"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    // 5208 units a byte; the release's first byte waits 30000 more.
    EXPECT_EQ(run.Out, "t,flags,buttons,raw,x,y\n"
                       "26040,1,1,1,43968,4608\n"
                       "82080,1,2,0,43968,4608\n");
    EXPECT_NE(run.Err.find("COM2 at 19200 baud"), std::string::npos) << run.Err;
}

TEST(TouchsimSessions, TextTableShowsReportsAndClicks)
{
    TempDir dir;
    const RunResult run = Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--bytes",
                              dir.Write("b.txt", TouchAndRelease)});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const std::vector<std::string> expected = {
        "   time (ms)         x         y  event",
        "      5.2080                      click start",
        "      5.2080     43968      4608  left down",
        "     10.4160                      click stop",
        "     10.4160     43968      4608  left up",
    };
    EXPECT_EQ(Lines(run.Out), expected);
}

TEST(TouchsimSessions, StatsCountDroppedPacketsDiscardsAndClicks)
{
    TempDir dir;
    // A packet with a wrong checksum, a good one, a stray data byte, a
    // release, and a second touch.
    const std::string raw = dir.Write("b.bin", std::string("\x6A\x3C\x04\x23\x0E"
                                                           "\x6A\x3C\x04\x23\x0D"
                                                           "\x05"
                                                           "\x40\x00\x00\x00\x00"
                                                           "\x44\x00\x04\x00\x08",
                                                           21));
    const RunResult run = Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--raw", raw, "--stats"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("reports           3 "), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("packets dropped   1 "), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("bytes discarded   1 "), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("clicks            2\n"), std::string::npos) << run.Out;
}

TEST(TouchsimSessions, GestureAndControlCommandsReachTheDriver)
{
    TempDir dir;
    const std::string gesture = dir.Write("g.gesture", "bytes C1 85 86 87 88\ntap 2048 1024 30\n");
    const RunResult run = Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--gesture", gesture, "--ctl",
                              "buttons right", "--ctl", "click off", "--format", "jsonl", "--stats"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    // Right button down and up. Switching the click off silences the
    // speaker once, before the port opens; no touch writes a speaker port.
    EXPECT_EQ(Count(run.Out, "\"buttons\":4,\"raw\":2"), 1u) << run.Out;
    EXPECT_EQ(Count(run.Out, "\"buttons\":8,\"raw\":0"), 1u) << run.Out;
    EXPECT_EQ(Count(run.Out, "\"report\""), 4u) << run.Out;
    EXPECT_EQ(Count(run.Out, "\"out\""), 1u) << run.Out;
    EXPECT_EQ(run.Out.rfind("{\"t\":0,\"out\":{\"port\":97,\"value\":48}}\n", 0), 0u) << run.Out;
    EXPECT_NE(run.Err.find("controller info   5 6"), std::string::npos) << run.Err;
}

TEST(TouchsimPicture, DrawsStrokesMarksAndJumpsByButtonState)
{
    auto report = [](ULONG Raw, ULONG X, ULONG Y) {
        MOUSE_INPUT_DATA data{};
        data.RawButtons = Raw;
        data.LastX = X;
        data.LastY = Y;
        return TouchsimReport{0, data};
    };
    const std::string svg = SessionSvg({report(1, 0, 0), report(1, 65535, 65535), report(0, 65535, 65535),
                                        report(2, 32768, 0), report(0, 32768, 0)});
    EXPECT_EQ(Count(svg, "<circle cx='40.0' cy='40.0' r='5' fill='#1f77b4'/>"), 1u) << svg;
    EXPECT_EQ(Count(svg, "points='40.0,40.0 840.0,640.0'"), 1u) << svg;
    EXPECT_EQ(Count(svg, "fill='#ff7f0e'"), 1u) << svg;      // the right-button touch
    EXPECT_EQ(Count(svg, "stroke-dasharray"), 2u) << svg;    // the jump and its legend
    EXPECT_EQ(Count(svg, "stroke-width='2'/>"), 3u) << svg; // two releases and the legend's
    EXPECT_NE(svg.find(">left button<"), std::string::npos);
    EXPECT_NE(svg.find(">right button<"), std::string::npos);
}

// ---------------------------------------------------------------- live serial line

struct PseudoTerminal {
    PseudoTerminal()
    {
        Master = posix_openpt(O_RDWR | O_NOCTTY);
        if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) {
            return;
        }
        SlavePath = ptsname(Master);
        // Held open and raw, so bytes written early wait unaltered.
        Slave = open(SlavePath.c_str(), O_RDWR | O_NOCTTY);
        termios mode{};
        tcgetattr(Slave, &mode);
        cfmakeraw(&mode);
        tcsetattr(Slave, TCSANOW, &mode);
    }
    ~PseudoTerminal()
    {
        if (Slave >= 0) close(Slave);
        if (Master >= 0) close(Master);
    }
    void Send(const std::vector<uint8_t>& Bytes) const
    {
        ASSERT_EQ(write(Master, Bytes.data(), Bytes.size()), static_cast<ssize_t>(Bytes.size()));
    }
    int Master = -1;
    int Slave = -1;
    std::string SlavePath;
};

TEST(TouchsimLive, ReportsBytesFromAPseudoTerminalUntilIdle)
{
    TempDir dir;
    PseudoTerminal line;
    ASSERT_GE(line.Slave, 0);
    RunResult run{};
    std::thread session([&] {
        run = Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--serial", line.SlavePath, "--serial-timeout",
                        "700", "--format", "csv"});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    line.Send({0x6A, 0x3C, 0x04, 0x23, 0x0D});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    line.Send({0x40, 0x00, 0x00, 0x00, 0x00});
    session.join();

    ASSERT_EQ(run.Code, 0) << run.Err;
    const std::vector<std::string> lines = Lines(run.Out);
    ASSERT_EQ(lines.size(), 3u) << run.Out;
    long long touchTime = 0;
    long long releaseTime = 0;
    ASSERT_EQ(std::sscanf(lines[1].c_str(), "%lld,1,1,1,43968,4608", &touchTime), 1) << lines[1];
    ASSERT_EQ(std::sscanf(lines[2].c_str(), "%lld,1,2,0,43968,4608", &releaseTime), 1) << lines[2];
    // The virtual clock follows real time: about 50 ms between the two.
    EXPECT_GT(releaseTime - touchTime, 300000);
    EXPECT_LT(releaseTime - touchTime, 5000000);
}

// ---------------------------------------------------------------- the binary

std::string Quote(const std::string& Text)
{
    return "'" + Text + "'";
}

TEST(TouchsimBinary, HelpDocumentsEveryOption)
{
    FILE* pipe = popen((Quote(TOUCHSIM_BINARY) + " --help").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string help;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        help.append(buffer, n);
    }
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 0);
    for (const char* option : {"--bytes", "--raw", "--gesture", "--serial ", "--serial-timeout", "--reg", "--port",
                               "--baud", "--ctl", "--format", "--svg", "--stats", "--help"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}

TEST(TouchsimBinary, RunsTheBundledSample)
{
    TempDir dir;
    const std::string svg = dir.Path("session.svg");
    const std::string command = Quote(TOUCHSIM_BINARY) + " --reg " + Quote(PELVON_SOURCE_DIR "/samples/settings.reg") +
                                " --gesture " + Quote(PELVON_SOURCE_DIR "/samples/session.gesture") + " --svg " +
                                Quote(svg) + " --stats 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    ASSERT_EQ(WEXITSTATUS(pclose(pipe)), 0) << out;
    EXPECT_EQ(Count(out, "left down"), 5u) << out;
    EXPECT_EQ(Count(out, "left up"), 5u) << out;
    EXPECT_EQ(Count(out, "click start"), 5u) << out;
    EXPECT_NE(out.find("packets dropped   0 "), std::string::npos) << out;
    std::ifstream picture(svg);
    const std::string drawing((std::istreambuf_iterator<char>(picture)), std::istreambuf_iterator<char>());
    EXPECT_EQ(drawing.rfind("<svg ", 0), 0u);
    EXPECT_EQ(Count(drawing, "<circle "), 5u + 1u); // five touch-downs and the legend's
}

TEST(TouchsimBinary, LiveSessionEndsCleanlyOnSigint)
{
    TempDir dir;
    PseudoTerminal line;
    ASSERT_GE(line.Slave, 0);
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    const std::string reg = dir.Write("r.reg", ClickRegistry);
    std::vector<std::string> args = {TOUCHSIM_BINARY, "--reg", reg, "--serial", line.SlavePath, "--stats"};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, TOUCHSIM_BINARY, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);

    // Read until the release shows, sending the packets once the table is up.
    std::string out;
    bool sent = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.find("left up") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        if (!sent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            line.Send({0x6A, 0x3C, 0x04, 0x23, 0x0D, 0x40, 0x00, 0x00, 0x00, 0x00});
            sent = true;
        }
        pollfd ready{output[0], POLLIN, 0};
        if (poll(&ready, 1, 100) > 0) {
            char buffer[1024];
            const ssize_t n = read(output[0], buffer, sizeof buffer);
            if (n <= 0) break;
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    EXPECT_NE(out.find("left up"), std::string::npos) << out;
    kill(child, SIGINT);
    char buffer[1024];
    for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<size_t>(n));
    }
    close(output[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "touchsim died of a signal";
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(out.find("clicks            1"), std::string::npos) << out;
}

} // namespace
