// What touchsim feeds to the serial line: bytes, port faults and
// configuration commands with the silence before each one, read from a hex
// text file, a binary file or a gesture script.
// Everything is parsed before a session starts, so bad input never leaves
// a half-run session behind.
#pragma once

#include "touch_controller.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// Reads a whole file; on failure returns nullopt with a message naming it.
std::optional<std::string> ReadWholeFile(const std::string& Path, std::string& Error);
