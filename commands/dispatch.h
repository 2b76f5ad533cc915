// The command dispatcher: one page command, by its name, to the pad, the
// fingerprint reader or the link.
#pragma once

#include <string>

// `typeName` and `messageText` (the printed "message" member) are 8-bit texts
// in code page 936. Names match exactly, letter case included; any other name
// does nothing. Commands of all connections run one at a time.
void DispatchCommand(const std::string& typeName, const std::string& messageText);

// Tests: the session parameters back to their start-up values.
void ResetCommandsForTests();
