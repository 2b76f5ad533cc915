// Reading the daily log that the code under test writes.
//
// Every test of an executable that links this file writes its log into a
// fresh folder of its own, made when the test starts and removed when it
// ends, so a test reads back only the lines it wrote itself: never those of
// an earlier run or of another test.
#pragma once

#include <string>

// The contents of the log files of the day this call starts in and of the day
// it ends in (one file unless midnight passes), joined.
std::string ReadTodaysLog(const std::string& folder);
// The log folder of the running test (outside a test: <executable's folder>/log).
std::string OwnLogFolder();
