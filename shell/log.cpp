// The daily log beside the executable (log/YYYY_MM_DD.txt), and the helpers
// that place files there. Lines end in CR LF on disk, the way the service has
// always written them, and so does every line feed inside a message, so log
// readers see the same files on every system.
#include "shell/log.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/platform.h"

namespace {

// One writer at a time: a line is opened, written whole and closed under it,
// so concurrent lines neither interleave nor overwrite one another.
std::mutex LogMutex;
// The folder tests chose for the log ("" for the one beside the executable),
// under LogMutex.
std::string TestLogFolder;
// Where lines go instead of the file, under LogMutex; nullptr for the file.
void (*TestLogSink)(const std::string& line) = nullptr;

// Tags and messages are C texts: a NUL byte ends them.
std::string CText(const std::string& text) {
    return std::string(text.c_str(), strnlen(text.c_str(), text.size()));
}

// Appends `text` with each line feed as CR LF, as a file in text mode stores it.
void AppendWithLineEnds(std::string& line, const std::string& text) {
    size_t from = 0;
    for (size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1) {
        line.append(text, from, at - from);
        line += "\r\n";
    }
    line.append(text, from, std::string::npos);
}

}  // namespace

void WriteLog(const std::string& tag, const std::string& message) {
    // One clock reading names the file and stamps the line, so a line written
    // across midnight goes wholly to one day's file.
    const platform::LocalTime t = platform::GetLocalTime();
    char fileName[32];
    snprintf(fileName, sizeof fileName, "%04d_%02d_%02d.txt", t.year, t.month, t.day);
    const std::string text = CText(message);

    char stamp[16];
    snprintf(stamp, sizeof stamp, ": %02d:%02d:%02d ", t.hour, t.minute, t.second);
    std::string line;
    AppendWithLineEnds(line, CText(tag));
    line += stamp;
    AppendWithLineEnds(line, text);
    line += "\r\n";

    std::lock_guard<std::mutex> lock(LogMutex);
    if (TestLogSink) {
        TestLogSink(line);
        return;
    }
    const std::string folder =
        TestLogFolder.empty() ? ExeDirectory() + platform::kPathSeparator + "log" : TestLogFolder;
    const std::string path = folder + platform::kPathSeparator + fileName;
    MakeDirectories(path);
    FILE* file = platform::OpenFile(path, "ab");
    if (!file) return;
    // One buffered write of the whole line: with append mode every line lands
    // at the end of the file, even with another process appending too.
    setvbuf(file, nullptr, _IOFBF, line.size() + 1);
    fwrite(line.data(), 1, line.size(), file);
    fclose(file);
    platform::DebugOutput(text);
}

void SetLogFolderForTests(const std::string& folder) {
    std::lock_guard<std::mutex> lock(LogMutex);
    TestLogFolder = folder;
}

void SetLogSinkForTests(void (*sink)(const std::string& line)) {
    std::lock_guard<std::mutex> lock(LogMutex);
    TestLogSink = sink;
}

std::string ExeDirectory() {
    const std::string path = platform::ExecutablePath();
    const size_t last = path.find_last_of(platform::kPathSeparator);
    return last == std::string::npos ? path : path.substr(0, last);
}

int MakeDirectories(const std::string& pathText) {
    const std::string path = CText(pathText);
    // Each prefix that ends in a separator is a folder; the text after the
    // last separator is a file name and is left alone. Both spellings of the
    // separator count, so a path written for either system is split alike.
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '/' && path[i] != '\\') continue;
        const std::filesystem::path folder = platform::FileSystemPath(path.substr(0, i + 1));
        std::error_code error;
        if (std::filesystem::exists(folder, error)) continue;
        if (!std::filesystem::create_directory(folder, error) &&
            !std::filesystem::is_directory(folder, error))
            return -1;
    }
    return 0;
}
