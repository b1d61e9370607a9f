// What touchsim feeds to the serial line: bytes, port faults and
// configuration commands with the silence before each one, read from a hex
// text file, a binary file or a gesture script.
// An input file is read twice: once whole to check it before a session
// starts, so bad input never leaves a half-run session behind, and once
// more as the session replays it. Each pass streams the file, so a capture
// of any length replays in constant memory.
#pragma once

#include "touch_controller.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

enum class TouchsimInputKind { Bytes, Raw, Gesture };

// The largest files touchsim reads: a binary input holds at most the bytes
// one session sends; text has room for three characters a byte and more.
inline constexpr uint64_t TouchsimMaxRawFileBytes = PeerInputLimits{}.MaxBytes;
inline constexpr uint64_t TouchsimMaxTextFileBytes = uint64_t{1} << 30; // 1 GiB
inline constexpr uint64_t TouchsimMaxRegFileBytes = uint64_t{64} << 20;  // 64 MiB

// Checks that Path names a regular file of at most MaxBytes that can be
// opened: not a directory, and not a character device (a serial port is
// read with --serial), pipe or socket. On failure Error names the file and
// the reason.
bool CheckInputFile(const std::string& Path, uint64_t MaxBytes, std::string& Error);

// What an input puts on the line.
struct TouchsimInputTotals {
    uint64_t Bytes = 0;
    int64_t SilenceMs = 0;       // waits, holds and gaps, added up
    int64_t TrailingSilence = 0; // after the last event (100-ns units)
};

// Reads the file, handing each event to Sink as it is read. Returns false
// with Error "PATH: line N: reason" (or "PATH: reason") for bad input, a
// passed limit or a read error, or with Sink's own message (possibly empty)
// when Sink stopped it.
bool StreamInputFile(TouchsimInputKind Kind, const std::string& Path, const PeerLineEventSink& Sink,
                     TouchsimInputTotals& Totals, std::string& Error);

// The same readers over text in memory, keeping every event: for tests and
// short inputs.
struct TouchsimInput {
    std::vector<PeerLineEvent> Events; // Gap in 100-ns units, before the event
    int64_t TrailingSilence = 0;       // silence after the last event
};

// Hex text: whitespace-separated two-digit hex bytes, "+Nms" tokens adding
// N milliseconds of silence before the next event, port faults "!0xSTATUS"
// and "!!0xSTATUS", commands "[ctl COMMAND]" (closed on their line), '#'
// comments to the end of the line. On error returns nullopt and sets Error
// to "line N: ...". Commands are checked separately (CheckLineCommands).
std::optional<TouchsimInput> ParseHexText(const std::string& Text, std::string& Error);
// A gesture script for PeerTouchController::RunScript.
std::optional<TouchsimInput> ParseGestureScript(const std::string& Script, std::string& Error);
// Binary: every byte of the data, back to back.
TouchsimInput RawInput(const std::string& Data);
