// Reading the daily log the code under test writes beside the test executable.
#pragma once

#include <string>

// The contents of the log files of the day this call starts in and of the day
// it ends in (one file unless midnight passes), joined.
std::string ReadTodaysLog(const std::string& folder);
// The log folder of the running executable: <its folder>/log.
std::string OwnLogFolder();
