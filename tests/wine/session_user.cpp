// The Wine session's runner, a Win32 console program run once the touch
// driver and the test drivers have started. It reads touchsim's hex text
// with touchsim's own token reader, hands the test serial port the script,
// opens the port as touchsim does (IOCTL_TOUCH_OPEN_PORT with no input: the
// registry's port and line speed), lets the script play, runs each [ctl ...]
// command as pelvonctl would when the script reaches it, closes the port,
// and writes what the test drivers recorded into the session folder:
//   reports.jsonl   one {"report":{...}} line per report, in delivery order
//   writes.jsonl    one {"out":{"port":P,"value":V}} line per speaker port write
//   requests.txt    one line per request the test port saw, then its counters
//   standins.txt    the stand-ins' counters
// Usage: session_user FOLDER [--keep-open]   (FOLDER holds input.hex and
// receives script.bin, the file the test port's Parameters name)
//        session_user FOLDER --collect       (the results only, once more)
// Exit: 0 the session ran; 2 bad input (nothing ran); 1 anything else.
#include <windows.h>

#include "pelvonctl_commands.h"
#include "session_protocol.h"
#include "touch_control.h"
#include "touch_controller.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------- input

struct Input {
    std::vector<PeerLineEvent> Events;
    int64_t TrailingSilence = 0;
};

// As touchsim reads --bytes: line by line, '#' starting a comment.
bool ReadHexText(const std::string& Text, Input& Parsed, std::string& Error)
{
    std::istringstream lines(Text);
    std::string line;
    int64_t pendingGap = 0;
    for (int number = 1; std::getline(lines, line); number++) {
        std::string reason;
        if (!PeerReadLineEvents(line.substr(0, line.find('#')), number, true, Parsed.Events, pendingGap, reason)) {
            Error = "line " + std::to_string(number) + ": " + reason;
            return false;
        }
    }
    Parsed.TrailingSilence = pendingGap;
    return true;
}

// A command line split as touchsim splits it.
std::vector<std::string> SplitCommand(const std::string& Command)
{
    std::vector<std::string> words;
    pelvonctl::SplitWords(Command, words);
    return words;
}

bool CheckCommands(const Input& Parsed, std::string& Error)
{
    for (const PeerLineEvent& event : Parsed.Events) {
        if (event.Type != PeerLineEvent::Kind::Command) {
            continue;
        }
        const std::string where = "line " + std::to_string(event.Line) + ": [ctl " + event.Command + "]: ";
        try {
            const pelvonctl::Plan plan = pelvonctl::PlanCommand(SplitCommand(event.Command));
            if (plan.Help || plan.DryRun || plan.Requests.empty()) {
                Error = where + "sends no request to the driver";
                return false;
            }
        } catch (const pelvonctl::UsageError& failure) {
            Error = where + failure.what();
            return false;
        }
    }
    return true;
}

bool WriteScript(const std::string& Path, const Input& Parsed)
{
    std::vector<SESSION_EVENT> events;
    unsigned commands = 0;
    for (const PeerLineEvent& event : Parsed.Events) {
        SESSION_EVENT out{};
        out.GapLow = static_cast<unsigned>(static_cast<uint64_t>(event.Gap));
        out.GapHigh = static_cast<unsigned>(static_cast<uint64_t>(event.Gap) >> 32);
        switch (event.Type) {
        case PeerLineEvent::Kind::Byte: out.Kind = SESSION_EVENT_BYTE; out.Value = event.Byte; break;
        case PeerLineEvent::Kind::FailPendingRead: out.Kind = SESSION_EVENT_FAIL_PENDING_READ; out.Value = event.Status; break;
        case PeerLineEvent::Kind::FailReadInSend: out.Kind = SESSION_EVENT_FAIL_READ_IN_SEND; out.Value = event.Status; break;
        case PeerLineEvent::Kind::Command: out.Kind = SESSION_EVENT_COMMAND; out.Value = commands++; break;
        }
        events.push_back(out);
    }
    SESSION_EVENT end{};
    end.Kind = SESSION_EVENT_END;
    end.GapLow = static_cast<unsigned>(static_cast<uint64_t>(Parsed.TrailingSilence));
    end.GapHigh = static_cast<unsigned>(static_cast<uint64_t>(Parsed.TrailingSilence) >> 32);
    events.push_back(end);
    SESSION_SCRIPT_HEADER header{SESSION_SCRIPT_MAGIC, static_cast<unsigned>(events.size())};
    std::ofstream file(Path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(&header), sizeof(header));
    file.write(reinterpret_cast<const char*>(events.data()), static_cast<std::streamsize>(events.size() * sizeof(SESSION_EVENT)));
    return static_cast<bool>(file.flush());
}

// ---------------------------------------------------------------- devices

class Device {
public:
    explicit Device(const char* Path)
        : Path_(Path), Handle_(CreateFileA(Path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {
    }
    ~Device()
    {
        if (Handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(Handle_);
        }
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    bool IsOpen() const { return Handle_ != INVALID_HANDLE_VALUE; }
    const char* Path() const { return Path_; }

    // Returns the Win32 error (0 on success); Output is cut to what came back.
    DWORD Control(DWORD Code, const std::vector<uint8_t>& In, std::vector<uint8_t>& Output)
    {
        DWORD returned = 0;
        std::vector<uint8_t> input = In;
        const BOOL ok = DeviceIoControl(Handle_, Code, input.empty() ? nullptr : input.data(),
                                        static_cast<DWORD>(input.size()), Output.empty() ? nullptr : Output.data(),
                                        static_cast<DWORD>(Output.size()), &returned, nullptr);
        Output.resize(ok ? returned : 0);
        return ok ? ERROR_SUCCESS : GetLastError();
    }

private:
    const char* Path_;
    HANDLE Handle_;
};

// A log record handed back: grows the buffer until it fits.
DWORD Fetch(Device& From, DWORD Code, std::vector<uint8_t>& Output)
{
    for (size_t size = 1 << 16;; size *= 4) {
        Output.assign(size, 0);
        const DWORD error = From.Control(Code, {}, Output);
        if (error != ERROR_INSUFFICIENT_BUFFER || size > (1u << 26)) {
            return error;
        }
    }
}

int RunCommand(Device& Touch, const std::string& Command)
{
    PelvonctlTransport transport;
    transport.Send = [&Touch](const PelvonctlRequest& Request) {
        PelvonctlReply reply;
        reply.Kind = PelvonctlStatusKind::Win32Error;
        std::vector<uint8_t> output(Request.OutputLength);
        reply.Status = Touch.Control(Request.Code, Request.Input, output);
        reply.Information = static_cast<std::uint32_t>(output.size());
        reply.Output = output;
        return reply;
    };
    std::cerr << "[ctl " << Command << "]\n";
    return RunPelvonctl(SplitCommand(Command), transport, std::cerr, std::cerr);
}

// ---------------------------------------------------------------- results

template <typename Record>
const Record* RecordsAfter(const std::vector<uint8_t>& Buffer, size_t HeaderBytes, size_t Count)
{
    if (Buffer.size() < HeaderBytes + Count * sizeof(Record)) {
        return nullptr;
    }
    return reinterpret_cast<const Record*>(Buffer.data() + HeaderBytes);
}

std::string Hex(const unsigned char* Bytes, unsigned Length)
{
    std::string text;
    char two[4];
    for (unsigned i = 0; i < Length && i < SESSION_BUFFER_BYTES; i++) {
        std::snprintf(two, sizeof two, "%02X", Bytes[i]);
        text += two;
    }
    return text.empty() ? "-" : text;
}

bool WriteResults(const std::string& Folder)
{
    bool ok = true;
    Device reportsDevice("\\\\.\\PelvonTestClass");
    std::vector<uint8_t> buffer;
    if (!reportsDevice.IsOpen() || Fetch(reportsDevice, IOCTL_SESSION_REPORTS, buffer) != 0 || buffer.size() < 4) {
        std::cerr << "session_user: cannot fetch the reports from \\\\.\\PelvonTestClass\n";
        return false;
    }
    unsigned count = 0;
    std::memcpy(&count, buffer.data(), sizeof(count));
    const SESSION_REPORT* reports = RecordsAfter<SESSION_REPORT>(buffer, sizeof(unsigned), count);
    std::ofstream reportsFile(Folder + "\\reports.jsonl", std::ios::binary | std::ios::trunc);
    for (unsigned i = 0; reports != nullptr && i < count; i++) {
        const SESSION_REPORT& r = reports[i];
        reportsFile << "{\"report\":{\"flags\":" << r.Flags << ",\"buttons\":" << r.ButtonFlags << ",\"raw\":"
                    << r.RawButtons << ",\"x\":" << r.LastX << ",\"y\":" << r.LastY << "}}\n";
    }

    Device standIns("\\\\.\\PelvonStandIns");
    if (!standIns.IsOpen() || Fetch(standIns, IOCTL_SESSION_STANDIN_LOG, buffer) != 0 ||
        buffer.size() < sizeof(SESSION_STANDIN_LOG_HEADER)) {
        std::cerr << "session_user: cannot fetch the stand-ins' log\n";
        return false;
    }
    SESSION_STANDIN_LOG_HEADER standInHeader;
    std::memcpy(&standInHeader, buffer.data(), sizeof(standInHeader));
    const SESSION_PORT_WRITE* writes =
        RecordsAfter<SESSION_PORT_WRITE>(buffer, sizeof(standInHeader), standInHeader.Count);
    std::ofstream writesFile(Folder + "\\writes.jsonl", std::ios::binary | std::ios::trunc);
    for (unsigned i = 0; writes != nullptr && i < standInHeader.Count; i++) {
        writesFile << "{\"out\":{\"port\":" << writes[i].Port << ",\"value\":" << writes[i].Value << "}}\t"
                   << writes[i].Milliseconds << "\n";
    }
    std::ofstream standInFile(Folder + "\\standins.txt", std::ios::binary | std::ios::trunc);
    standInFile << "opens " << standInHeader.Opens << "\nopens_refused " << standInHeader.OpensRefused
                << "\ndereferences " << standInHeader.Dereferences << "\nother_dereferences "
                << standInHeader.OtherDereferences << "\nport_reads " << standInHeader.PortReads << "\npatched "
                << standInHeader.Patched << "\nopen_files " << standInHeader.OpenFiles << "\nwrites_dropped "
                << standInHeader.Dropped << "\nenumerations " << standInHeader.Enumerations << "\n";

    Device serial("\\\\.\\PelvonTestSerial");
    if (!serial.IsOpen() || Fetch(serial, IOCTL_SESSION_SERIAL_LOG, buffer) != 0 ||
        buffer.size() < sizeof(SESSION_SERIAL_LOG_HEADER)) {
        std::cerr << "session_user: cannot fetch the test port's log\n";
        return false;
    }
    SESSION_SERIAL_LOG_HEADER h;
    std::memcpy(&h, buffer.data(), sizeof(h));
    const SESSION_SERIAL_REQUEST* requests = RecordsAfter<SESSION_SERIAL_REQUEST>(buffer, sizeof(h), h.Count);
    std::ofstream requestsFile(Folder + "\\requests.txt", std::ios::binary | std::ios::trunc);
    char line[512];
    for (unsigned i = 0; requests != nullptr && i < h.Count; i++) {
        const SESSION_SERIAL_REQUEST& r = requests[i];
        std::snprintf(line, sizeof line, "COM%u major %u code %08X in %s out %u status %08X info %u reply %s\n",
                      r.Port + 1, r.Major, r.Code, Hex(r.Input, r.InputLength).c_str(), r.OutputLength, r.Status,
                      r.Information, Hex(r.Output, r.Information).c_str());
        requestsFile << line;
    }
    std::snprintf(line, sizeof line,
                  "# dropped %u reads %u in_send %u pended %u failed_in_send %u failed_pending %u cancelled %u "
                  "from_dpc %u from_thread %u faults_unused %u bytes %u unread %u late_us %u reads_at_cleanup %u replies_to_caller_buffer %u\n",
                  h.Dropped, h.Reads, h.ReadsCompletedInSend, h.ReadsPended, h.ReadsFailedInSend,
                  h.ReadsFailedPending, h.ReadsCancelled, h.CompletedFromDpc, h.CompletedFromThread, h.FaultsUnused,
                  h.BytesDelivered, h.BytesLeftUnread, h.LateMicroseconds, h.ReadsAtCleanup, h.RepliesToCallerBuffer);
    requestsFile << line;
    return ok;
}

std::string ReadFile(const std::string& Path, bool& Ok)
{
    std::ifstream file(Path, std::ios::binary);
    Ok = static_cast<bool>(file);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: session_user FOLDER [--keep-open]\n";
        return 2;
    }
    const std::string folder = argv[1];
    const std::string option = argc > 2 ? argv[2] : "";
    if (option == "--collect") {
        return WriteResults(folder) ? 0 : 1;
    }
    const bool keepOpen = option == "--keep-open";

    bool readOk = false;
    const std::string text = ReadFile(folder + "\\input.hex", readOk);
    Input parsed;
    std::string error;
    if (!readOk) {
        std::cerr << "session_user: cannot read " << folder << "\\input.hex\n";
        return 2;
    }
    if (!ReadHexText(text, parsed, error) || !CheckCommands(parsed, error)) {
        std::cerr << "session_user: input.hex: " << error << "\n";
        return 2;
    }
    if (!WriteScript(folder + "\\script.bin", parsed)) {
        std::cerr << "session_user: cannot write the script\n";
        return 1;
    }
    std::vector<std::string> commands;
    for (const PeerLineEvent& event : parsed.Events) {
        if (event.Type == PeerLineEvent::Kind::Command) {
            commands.push_back(event.Command);
        }
    }

    Device touch("\\\\.\\pelvon");
    Device serial("\\\\.\\PelvonTestSerial");
    if (!touch.IsOpen() || !serial.IsOpen()) {
        std::cerr << "session_user: cannot open " << (touch.IsOpen() ? serial.Path() : touch.Path())
                  << ": error " << GetLastError() << "\n";
        return 1;
    }
    std::vector<uint8_t> none;
    DWORD error32 = touch.Control(IOCTL_TOUCH_OPEN_PORT, {}, none);
    if (error32 != 0) {
        std::cerr << "session_user: the driver could not open the registry's port: error " << error32 << "\n";
        return 1;
    }
    error32 = serial.Control(IOCTL_SESSION_PLAY, {}, none);
    if (error32 != 0) {
        std::cerr << "session_user: the test port would not play the script: error " << error32 << "\n";
        return 1;
    }
    for (;;) {
        std::vector<uint8_t> stopBytes(sizeof(SESSION_STOP));
        error32 = serial.Control(IOCTL_SESSION_NEXT_STOP, {}, stopBytes);
        if (error32 != 0 || stopBytes.size() != sizeof(SESSION_STOP)) {
            std::cerr << "session_user: waiting for the script failed: error " << error32 << "\n";
            return 1;
        }
        SESSION_STOP stop;
        std::memcpy(&stop, stopBytes.data(), sizeof(stop));
        if (stop.Kind == SESSION_STOP_END) {
            break;
        }
        if (stop.Command < commands.size()) {
            RunCommand(touch, commands[stop.Command]);
        }
        serial.Control(IOCTL_SESSION_RESUME, {}, none);
    }
    if (!keepOpen) {
        error32 = touch.Control(IOCTL_TOUCH_CLOSE_PORT, {}, none);
        if (error32 != 0) {
            std::cerr << "session_user: closing the port failed: error " << error32 << "\n";
            return 1;
        }
    }
    return WriteResults(folder) ? 0 : 1;
}
