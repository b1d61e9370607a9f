// touchsim: input formats, output formats on known sessions, failures that
// must stop before anything runs, the live serial mode on a pseudo-terminal,
// and the binary end to end.
#include "touchsim_cli.h"
#include "touchsim_input.h"
#include "touchsim_output.h"
#include "touchsim_session.h"

#include "pelvonctl_commands.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
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

PeerLineEvent Event(PeerLineEvent::Kind Type, int64_t Gap, uint32_t Value, int Line, std::string Command = "")
{
    const bool byte = Type == PeerLineEvent::Kind::Byte;
    return {Type, Gap, static_cast<uint8_t>(byte ? Value : 0), byte ? 0 : Value, std::move(Command), Line};
}

TEST(TouchsimInput, HexTextTakesBytesSilencesFaultsCommandsAndComments)
{
    using Kind = PeerLineEvent::Kind;
    std::string error;
    const auto input = ParseHexText("6A 3c # the start\n+20ms 40\n+1ms\t+2ms 00 # two silences add up\n"
                                    "+5ms !0x00000102 !!0XC000009a [ctl  buttons \"right]\" ] +1ms 0D\n+5ms\n",
                                    error);
    ASSERT_TRUE(input) << error;
    const std::vector<PeerLineEvent> expected = {
        Event(Kind::Byte, 0, 0x6A, 1),
        Event(Kind::Byte, 0, 0x3C, 1),
        Event(Kind::Byte, 200000, 0x40, 2),
        Event(Kind::Byte, 30000, 0x00, 3),
        Event(Kind::FailPendingRead, 50000, 0x102, 4),
        Event(Kind::FailReadInSend, 0, 0xC000009A, 4),
        Event(Kind::Command, 0, 0, 4, "buttons \"right]\""),
        Event(Kind::Byte, 10000, 0x0D, 4),
    };
    EXPECT_EQ(input->Events, expected);
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

TEST(TouchsimInput, GestureScriptBecomesTimedPacketsFaultsAndCommands)
{
    std::string error;
    const auto input =
        ParseGestureScript("# one short tap\nevery 20\ntap 2048 1024 40\nwait 5\nbytes !0x0 6A [ctl click off]\n", error);
    ASSERT_TRUE(input) << error;
    // Two packets 20 ms apart, then the release 20 ms after the last.
    ASSERT_EQ(input->Events.size(), 18u);
    EXPECT_EQ(input->Events[5].Gap, 200000);
    EXPECT_EQ(input->Events[10].Gap, 200000);
    EXPECT_EQ(input->Events[10].Byte, 0x40);
    using Kind = PeerLineEvent::Kind;
    EXPECT_EQ(input->Events[15], Event(Kind::FailPendingRead, 50000, 0, 5));
    EXPECT_EQ(input->Events[16], Event(Kind::Byte, 0, 0x6A, 5));
    EXPECT_EQ(input->Events[17], Event(Kind::Command, 0, 0, 5, "click off"));
    // The bytes alone keep their timing: the fault's wait moves to the byte.
    PeerTouchController controller(20);
    ASSERT_TRUE(controller.RunScript("tap 2048 1024 40\nwait 5\nbytes !0x0 6A [ctl click off]\n", error));
    EXPECT_EQ(controller.Stream().back(), (PeerTimedByte{50000, 0x6A}));
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
        {{"--gesture", dir.Write("f.gesture", "tap 1 1\nbytes 6A !0x1FFFFFFFF\n")}, {"line 2", "no port fault"}},
        {{"--bytes", ok, "stray.txt"}, {"unexpected argument 'stray.txt'"}},
        {{"--bytes", dir.Write("s.txt", "6A +99999999999ms 00\n")}, {"line 1", "longest silence, +86400000ms"}},
        {{"--bytes", dir.Write("d.txt", "+86400000ms 00\n+1ms 00\n")}, {"line 2", "24 hours"}},
        {{"--gesture", dir.Write("h.gesture", "every 1\nhold 5 5 4294967295\n")}, {"line 2", "100000000 bytes"}},
        {{"--gesture", dir.Write("d.gesture", "drag 0 0 9 9 4294967295\n")}, {"line 1", "100000000 bytes"}},
        {{"--reg", dir.Write("u.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\xFF\"=dword:1\n"), "--bytes", ok},
         {"u.reg: line 3", "UTF-8"}},
        {{"--reg", dir.Path("missing.reg"), "--bytes", ok}, {"missing.reg", "No such file or directory"}},
        {{"--bytes", ok, "--port", "COM1", "--baud", "0"}, {"--baud 0", "1 to 921600 bit/s"}},
        {{"--bytes", ok, "--port", "COM1", "--baud", "4294967295"}, {"1 to 921600 bit/s"}},
        {{"--bytes", dir.Write("c.txt", "6A [ctl open-port COM2 --baud 4000000]\n"), "--port", "COM1", "--baud", "9600"},
         {"line 1", "not at 4000000"}},
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

TEST(TouchsimFailures, BadFaultsAndCommandsNameFileAndLine)
{
    TempDir dir;
    for (const auto& [token, reason] : std::vector<std::pair<std::string, std::string>>{
             {"!", "'!' is no port fault"},
             {"!xyz", "'!xyz' is no port fault"},
             {"!0x1FFFFFFFF", "'!0x1FFFFFFFF' is no port fault"},
             {"!!", "'!!' is no port fault"},
             {"!!0x103", "STATUS_PENDING"},
             {"[ctl click off", "not closed with ']'"},
             {"[ctlx]", "'[ctlx' is not [ctl COMMAND]"},
             {"[ctl ]", "names no command"},
             {"[ctl frobnicate 1]", "[ctl frobnicate 1]: unknown command 'frobnicate'"},
             {"[ctl info --dry-run]", "sends no request"},
         }) {
        const std::string file = dir.Write("bad.txt", "6A 3C 04 23 0D\n40 " + token + " 00\n");
        const RunResult run = Touchsim({"--bytes", file});
        EXPECT_EQ(run.Code, 2) << token << "\n" << run.Err;
        EXPECT_EQ(run.Out, "") << token;
        EXPECT_NE(run.Err.find(file + ": line 2: "), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find(reason), std::string::npos) << "'" << reason << "' missing from: " << run.Err;
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
    // read. The removal finds it already off and leaves it alone.
    EXPECT_EQ(run.Out, R"({"t":52080,"out":{"port":67,"value":182}}
{"t":52080,"out":{"port":66,"value":169}}
{"t":52080,"out":{"port":66,"value":4}}
{"t":52080,"out":{"port":97,"value":51}}
{"t":52080,"report":{"flags":1,"buttons":1,"raw":1,"x":43968,"y":4608}}
{"t":104160,"out":{"port":97,"value":48}}
{"t":104160,"report":{"flags":1,"buttons":2,"raw":0,"x":43968,"y":4608}}
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

// ---------------------------------------------------------------- faults and commands mid-session

// Waits on the driver: a read that went pending and then failed must not
// count toward the stop after repeated failures.
TEST(TouchsimMidSession, PendedTimeoutsNeverStopTheReads)
{
    TempDir dir;
    std::string timeouts;
    for (int i = 0; i < 100; i++) {
        timeouts += "!0x00000102 ";
    }
    const RunResult run = Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--bytes",
                                    dir.Write("b.txt", timeouts + TouchAndRelease), "--format", "csv", "--stats"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    // The faults take no line time.
    EXPECT_EQ(run.Out, "t,flags,buttons,raw,x,y\n52080,1,1,1,43968,4608\n104160,1,2,0,43968,4608\n");
    EXPECT_NE(run.Err.find("port faults       100 (0 found no read to fail)"), std::string::npos) << run.Err;
}

// Waits on the driver: a port that cannot be opened must leave the open one
// reading.
TEST(TouchsimMidSession, RefusedOpenPortKeepsTheOpenPortReporting)
{
    TempDir dir;
    const RunResult run =
        Touchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--bytes",
                  dir.Write("b.txt", "6A 3C 04 23 0D [ctl open-port COM9]\n40 00 00 00 00"), "--format", "jsonl"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    const size_t touch = run.Out.find("{\"t\":52080,\"report\":{\"flags\":1,\"buttons\":1,");
    const size_t control = run.Out.find("{\"t\":52080,\"ctl\":{\"command\":\"open-port COM9\",\"status\":3221226021}}\n");
    const size_t release = run.Out.find("{\"t\":104160,\"report\":{\"flags\":1,\"buttons\":2,");
    ASSERT_NE(release, std::string::npos) << run.Out;
    EXPECT_LT(touch, control) << run.Out;
    EXPECT_LT(control, release) << run.Out;
    EXPECT_NE(run.Err.find("no serial port named COM9"), std::string::npos) << run.Err;
}

TEST(TouchsimMidSession, FaultInsideTheSendFailsTheReadAfterTheNextByte)
{
    TempDir dir;
    const std::string reg = dir.Write("r.reg", ClickRegistry);
    for (const std::string fault : {"!0xC0000120", "!!0xC0000120"}) {
        std::ostringstream out;
        TouchsimOutput output(TouchsimFormat::Csv, out);
        TouchsimSession session(output);
        TouchsimSessionOptions options;
        options.RegFile = reg;
        std::string error;
        ASSERT_EQ(session.Start(options, error), TouchsimOk) << error;
        const auto input = ParseHexText("6A 3C 04 23 0D " + fault + " 40 00 00 00 00", error);
        ASSERT_TRUE(input) << error;
        FeedInput(session, *input, out);
        // A cancelled read ends the reads. Pending, it leaves the whole
        // release unread; failed in the send, the read after its first byte.
        const bool inSend = fault[1] == '!';
        EXPECT_FALSE(session.Port().ReadPending()) << fault;
        EXPECT_EQ(session.Port().ReadsReceived(), inSend ? 7u : 6u) << fault;
        EXPECT_EQ(session.Port().BufferedBytes(), inSend ? 4u : 5u) << fault;
        EXPECT_EQ(session.Counters().FaultsUnused, 0u) << fault;
        EXPECT_EQ(session.Finish(error), TouchsimOk) << error;
        EXPECT_EQ(out.str(), "t,flags,buttons,raw,x,y\n52080,1,1,1,43968,4608\n") << fault;
    }
}

TEST(TouchsimMidSession, CommandLineInEachFormat)
{
    TempDir dir;
    const std::string reg = dir.Write("r.reg", ClickRegistry);
    const std::string bytes = dir.Write("b.txt", std::string(TouchAndRelease) + "+2ms [ctl \"click\" off]\n" + TouchAndRelease);
    const RunResult jsonl = Touchsim({"--reg", reg, "--bytes", bytes, "--format", "jsonl"});
    ASSERT_EQ(jsonl.Code, 0) << jsonl.Err;
    // The click goes off (the speaker silenced), then the command's line; the
    // second touch, five byte times later, clicks no more.
    EXPECT_NE(jsonl.Out.find("{\"t\":124160,\"out\":{\"port\":97,\"value\":48}}\n"
                             "{\"t\":124160,\"ctl\":{\"command\":\"\\\"click\\\" off\",\"status\":0}}\n"
                             "{\"t\":176240,\"report\":{\"flags\":1,\"buttons\":1,"),
              std::string::npos)
        << jsonl.Out;
    EXPECT_EQ(Count(jsonl.Out, "\"value\":51"), 1u) << jsonl.Out;
    EXPECT_NE(jsonl.Err.find("click off"), std::string::npos) << jsonl.Err;

    const RunResult text = Touchsim({"--reg", reg, "--bytes", bytes});
    EXPECT_NE(text.Out.find("     12.4160                      ctl \"click\" off: STATUS_SUCCESS (0x00000000)\nclick off\n"),
              std::string::npos)
        << text.Out;
    const RunResult csv = Touchsim({"--reg", reg, "--bytes", bytes, "--format", "csv"});
    EXPECT_EQ(Lines(csv.Out).size(), 5u) << csv.Out;
    EXPECT_NE(csv.Err.find("touchsim: at 12.4160 ms: ctl \"click\" off: STATUS_SUCCESS (0x00000000)\n"),
              std::string::npos)
        << csv.Err;
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
                               "--baud", "--ctl", "--format", "--svg", "--stats", "--help", "!0xSTATUS",
                               "!!0xSTATUS", "[ctl COMMAND]", "\"ctl\":"}) {
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

// ---------------------------------------------------------------- at scale and under abuse

// Nothing that is not a plain file is read: a directory would fail late, a
// device or a pipe would be read for ever (or twice, differently).
TEST(TouchsimAbuse, WhatIsNoFileIsRefusedAtOnceWithTheReason)
{
    TempDir dir;
    const std::string ok = dir.Write("ok.txt", TouchAndRelease);
    const std::string fifo = dir.Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir.Write("huge.bin", "");
    fs::resize_file(huge, TouchsimMaxRawFileBytes + 1); // sparse: nothing is written
    PseudoTerminal line;
    ASSERT_GE(line.Slave, 0);
    struct Case {
        std::vector<std::string> Args;
        std::vector<std::string> Message;
    };
    const std::vector<Case> cases = {
        {{"--raw", dir.Path("")}, {"Is a directory"}},
        {{"--bytes", dir.Path("")}, {"Is a directory"}},
        {{"--gesture", dir.Path("")}, {"Is a directory"}},
        {{"--reg", dir.Path(""), "--bytes", ok}, {"Is a directory"}},
        {{"--svg", dir.Path(""), "--bytes", ok}, {"--svg", "Is a directory"}},
        {{"--svg", dir.Path("no/such/dir.svg"), "--bytes", ok}, {"No such file or directory"}},
        {{"--raw", "/dev/zero"}, {"/dev/zero", "character device", "--serial"}},
        {{"--raw", line.SlavePath}, {line.SlavePath, "--serial"}},
        {{"--bytes", fifo}, {fifo, "not a regular file"}},
        {{"--raw", huge}, {huge, "100000001 bytes, more than the 100000000"}},
    };
    for (const Case& c : cases) {
        const RunResult run = Touchsim(c.Args);
        EXPECT_EQ(run.Code, TouchsimBadInput) << c.Args[1] << "\n" << run.Err;
        EXPECT_EQ(run.Out, "");
        for (const std::string& part : c.Message) {
            EXPECT_NE(run.Err.find(part), std::string::npos) << "'" << part << "' missing from: " << run.Err;
        }
    }
}

TEST(TouchsimAbuse, IgnoredAndUnusableSettingsAreNamed)
{
    TempDir dir;
    const std::string bytes = dir.Write("b.txt", TouchAndRelease);
    const RunResult ignored = Touchsim(
        {"--reg",
         dir.Write("i.reg", "REGEDIT4\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\pelvon\\Parameters]\n"
                            "\"PortName\"=\"COM1\"\n\"Beep\"=hex:01,a9,04,32,00,00,00\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvn\\Parameters]\n"
                            "\"PortName\"=\"COM1\"\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon]\n"
                            "\"Start\"=dword:3\n\"BaudRate\"=dword:2580\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]\n"
                            "\"LTRB\"=dword:1\n\"Baudrate\"=dword:2580\n\"PortNmae\"=\"COM1\"\n"),
         "--bytes", bytes, "--port", "COM1", "--baud", "9600"});
    ASSERT_EQ(ignored.Code, 0) << ignored.Err;
    EXPECT_EQ(Count(ignored.Err, "touchsim: warning: "), 4u) << ignored.Err;
    EXPECT_EQ(Count(ignored.Err, "reads its settings from "
                                 "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]"),
              3u)
        << ignored.Err;
    EXPECT_NE(ignored.Err.find("line 2: the driver does not read [HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001"),
              std::string::npos)
        << ignored.Err;
    EXPECT_NE(ignored.Err.find("line 7: the driver does not read its settings from "
                               "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon], so \"BaudRate\""),
              std::string::npos)
        << ignored.Err;
    EXPECT_NE(ignored.Err.find("\"PortNmae\""), std::string::npos) << ignored.Err;
    EXPECT_EQ(ignored.Err.find("\"Start\""), std::string::npos) << "the system's own value: " << ignored.Err;

    const std::string parameters = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]\n";
    struct Case {
        std::string Registry;
        std::vector<std::string> Message;
    };
    for (const Case& c : std::vector<Case>{
             {"\"PortName\"=\"" + std::string(300, 'C') + "\"\n\"BaudRate\"=dword:2580\n",
              {"300 characters long", "holds 255", "read no \"BaudRate\""}},
             {"\"PortName\"=hex(7):43,00,4f,00,4d,00,31,00,00,00,00,00\n",
              {"is REG_MULTI_SZ", "holds no port name: see the warning on \"PortName\""}},
             {"\"PortName\"=\"COM1\"\n\"BaudRate\"=dword:0\n", {"at 0 bit/s (\"BaudRate\" in", "1 to 921600"}},
         }) {
        const RunResult run = Touchsim({"--reg", dir.Write("p.reg", parameters + c.Registry), "--bytes", bytes});
        EXPECT_EQ(run.Code, TouchsimBadInput) << run.Err;
        for (const std::string& part : c.Message) {
            EXPECT_NE(run.Err.find(part), std::string::npos) << "'" << part << "' missing from: " << run.Err;
        }
    }

    const RunResult empty = Touchsim({"--bytes", dir.Write("e.txt", "# nothing but silence\n+5ms\n"), "--port",
                                      "COM1", "--baud", "921600", "--format", "csv"});
    EXPECT_EQ(empty.Code, 0) << empty.Err;
    EXPECT_EQ(empty.Out, "t,flags,buttons,raw,x,y\n");
    EXPECT_NE(empty.Err.find("e.txt sends no byte"), std::string::npos) << empty.Err;
}

TEST(TouchsimAbuse, ByteOrderMarkIsSkippedInEveryTextInput)
{
    TempDir dir;
    const std::string reg = dir.Write("r.reg", ClickRegistry);
    const std::string bom = "\xEF\xBB\xBF";
    for (const auto& [option, text] : std::vector<std::pair<std::string, std::string>>{
             {"--bytes", TouchAndRelease}, {"--gesture", "tap 2048 1024 30\n"}}) {
        const RunResult plain = Touchsim({"--reg", reg, option, dir.Write("plain", text), "--format", "jsonl"});
        const RunResult marked = Touchsim({"--reg", reg, option, dir.Write("marked", bom + text), "--format", "jsonl"});
        ASSERT_EQ(marked.Code, 0) << marked.Err;
        EXPECT_EQ(marked.Out, plain.Out);
    }
}

// The binary with its standard output on a full disk or closed: exit code
// 4 and the reason, in every format and for the help; pelvonctl alike.
TEST(TouchsimAbuse, OutputThatCannotBeWrittenExitsFourSayingWhy)
{
    TempDir dir;
    const std::string errors = dir.Path("stderr");
    auto shell = [&](const std::string& Command) {
        const int status = std::system((Command + " 2>" + Quote(errors)).c_str());
        std::ifstream in(errors);
        return RunResult{WEXITSTATUS(status), "", std::string(std::istreambuf_iterator<char>(in), {})};
    };
    const std::string touchsim = Quote(TOUCHSIM_BINARY);
    const std::string session = touchsim + " --reg " + Quote(dir.Write("r.reg", ClickRegistry)) + " --bytes " +
                                Quote(dir.Write("b.txt", TouchAndRelease));
    for (const std::string& command : {session + " >/dev/full", session + " --format jsonl >/dev/full",
                                       session + " --format csv >/dev/full", touchsim + " --help >/dev/full"}) {
        const RunResult run = shell(command);
        EXPECT_EQ(run.Code, TouchsimOutputFailed) << command << "\n" << run.Err;
        EXPECT_NE(run.Err.find("cannot write the standard output: No space left on device"), std::string::npos)
            << command << "\n" << run.Err;
    }
    const RunResult closed = shell(session + " >&-");
    EXPECT_EQ(closed.Code, TouchsimOutputFailed);
    EXPECT_NE(closed.Err.find("standard output is closed"), std::string::npos) << closed.Err;
    const RunResult picture = shell(session + " --svg /dev/full >/dev/null");
    EXPECT_EQ(picture.Code, TouchsimOutputFailed);
    EXPECT_NE(picture.Err.find("cannot write /dev/full: No space left on device"), std::string::npos) << picture.Err;

    const std::string pelvonctl = Quote(PELVONCTL_BINARY);
    for (const std::string& command : {pelvonctl + " --help >/dev/full", pelvonctl + " --dry-run click on >/dev/full",
                                       pelvonctl + " --dry-run click on >&-"}) {
        const RunResult run = shell(command);
        EXPECT_EQ(run.Code, PelvonctlExitOutputFailed) << command;
        EXPECT_NE(run.Err.find("pelvonctl: cannot write the standard output: "), std::string::npos) << run.Err;
    }
}

// A long replay whose output fails stops there instead of running on.
TEST(TouchsimAbuse, ReplayStopsWhenItsOutputFails)
{
    TempDir dir;
    std::string taps;
    for (int i = 0; i < 2000; i++) {
        taps += "tap 100 100\n";
    }
    std::ostream broken(nullptr); // every write fails
    std::ostringstream err;
    const int code = RunTouchsim({"--reg", dir.Write("r.reg", ClickRegistry), "--gesture",
                                  dir.Write("g.gesture", taps), "--format", "jsonl"},
                                 broken, err);
    EXPECT_EQ(code, TouchsimOutputFailed) << err.str();
    EXPECT_NE(err.str().find("cannot write the standard output"), std::string::npos) << err.str();
}

// The stand-in, the peers and the session hold no history that grows with
// the bytes replayed: the copy of it made after every step was what made
// long replays quadratic.
TEST(TouchsimScale, ReplayKeepsNoHistoryOfRequestsOrPortAccesses)
{
    TempDir dir;
    std::ostringstream out;
    TouchsimOutput output(TouchsimFormat::Csv, out);
    TouchsimSession session(output);
    TouchsimSessionOptions options;
    options.RegFile = dir.Write("r.reg", ClickRegistry);
    std::string error;
    ASSERT_EQ(session.Start(options, error), TouchsimOk) << error;
    TouchsimReplay replay(session, out);
    PeerTouchController controller;
    controller.SendTo([&](PeerLineEvent& Event, std::string&) {
        replay.Event(Event);
        return true;
    });
    ASSERT_TRUE(controller.RunScript("tap 100 100 10\nwait 200\n" + std::string("tap 200 200 10\nwait 200\n"), error));
    for (int i = 0; i < 1000; i++) {
        ASSERT_TRUE(controller.RunScript("tap 100 100 10\nwait 200\n", error)) << error;
    }
    replay.End(0);
    EXPECT_EQ(session.Counters().BytesDelivered, 10u * 1002u);
    EXPECT_EQ(Count(out.str(), "\n"), 1u + 2u * 1002u);
    EXPECT_GT(HkPortAccessCount(), 4000u);
    EXPECT_LE(HkPortLog().size(), 256u);
    EXPECT_LT(session.Port().RequestHistoryEntries(), 16u);
    EXPECT_EQ(session.Finish(error), TouchsimOk) << error;
}

TEST(TouchsimPicture, LongSessionsAreThinnedToAFixedSize)
{
    TouchsimPicture picture;
    MOUSE_INPUT_DATA report{};
    for (ULONG touch = 0; touch < 20000; touch++) {
        for (ULONG step = 0; step < 20; step++) {
            report.RawButtons = 1;
            report.LastX = (touch * 7 + step * 300) % 65536;
            report.LastY = (touch * 13 + step * 200) % 65536;
            picture.Add(report);
        }
        report.RawButtons = 0;
        picture.Add(report);
    }
    const std::string svg = picture.Svg();
    EXPECT_LE(Count(svg, "<circle "), TouchsimPicture::MaxTouches + 1);
    EXPECT_GT(Count(svg, "<circle "), TouchsimPicture::MaxTouches / 2);
    EXPECT_LT(svg.size(), 4000000u);
    EXPECT_NE(svg.find("420000 reports, 20000 touches"), std::string::npos);
    EXPECT_NE(svg.find("thinned: every 8. touch"), std::string::npos);
}

} // namespace
