// The daily log beside the executable, and the helpers that place files there.
#pragma once

#include <string>

// Appends one line "<tag>: HH:MM:SS <message>\n" to log/YYYY_MM_DD.txt in the
// executable's folder. Tag and message are written byte for byte, except that
// every line feed goes to disk as CR LF, the line end included. Safe to call
// from any thread: lines never interleave.
void WriteLog(const std::string& tag, const std::string& message);

// Tests and fuzz targets: writes the log into `folder` instead of the log
// folder beside the executable, so each reads back only what it wrote; ""
// returns to the folder beside the executable.
void SetLogFolderForTests(const std::string& folder);

// Fuzz targets: hands each whole line, as it would go to disk, to `sink`
// instead of the file; nullptr returns to the file. A target that runs
// thousands of inputs a second would otherwise spend most of its time opening
// and closing the log.
void SetLogSinkForTests(void (*sink)(const std::string& line));

// The folder that holds the running executable, without a trailing separator.
std::string ExeDirectory();

// Creates every folder along `path` that does not exist yet; the part after
// the last separator is a file name and is not created. 0 on success, -1 when
// a folder could not be made.
int MakeDirectories(const std::string& path);
