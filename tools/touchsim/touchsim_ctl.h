// --ctl and [ctl ...]: configuration-tool commands run against the simulated
// driver, with a transport that sends each request to \\.\pelvon on the
// stand-in.
#pragma once

#include "touch_controller.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// Splits a command line as a shell would for simple cases: whitespace
// separates words, single or double quotes group them. Returns false with
// Error on an unmatched quote.
bool SplitControlCommand(const std::string& Command, std::vector<std::string>& Words, std::string& Error);

// Checks every command before anything runs: pelvonctl must accept it, and
// a port it opens must be given a line speed touchsim's ports run at.
// Returns false with Error naming the first bad one.
bool CheckControlCommands(const std::vector<std::string>& Commands, std::string& Error);

// Runs the commands in order against the loaded driver. Returns TouchsimOk,
// or TouchsimBadInput with Error naming the command that failed.
int RunControlCommands(const std::vector<std::string>& Commands, std::ostream& Out, std::ostream& Err,
                       std::string& Error);

// Checks the [ctl ...] commands of an input before anything runs: each must
// be a command pelvonctl accepts and must send a request. Returns false with
// Error "line N: ...".
bool CheckLineCommands(const std::vector<PeerLineEvent>& Events, std::string& Error);
// The same for one event (anything but a command passes), with Error
// "[ctl COMMAND]: ..." without the line.
bool CheckLineCommand(const PeerLineEvent& Event, std::string& Error);

// Runs one [ctl ...] command in a running session. A refused request ends
// the command, not the session. Returns the status its last request
// completed with: the refused one, or the last one sent.
uint32_t RunLineCommand(const std::string& Command, std::ostream& Out, std::ostream& Err);
