// The command dispatcher: one page command, by its name, to the pad, the
// fingerprint reader or the link.
#pragma once

#include <string>

// `typeName` and `messageText` (the printed "message" member) are 8-bit texts
// in code page 936; `utf8Command` is the whole command as the page sent it, in
// UTF-8, from which the texts sealed in an evidence are read. Names match
// exactly, letter case included; any other name does nothing. Commands of all
// connections run one at a time.
void DispatchCommand(const std::string& typeName, const std::string& messageText,
                     const std::string& utf8Command = "");

// Tests: the session parameters back to their start-up values.
void ResetCommandsForTests();
