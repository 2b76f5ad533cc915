// Linux: the per-user autostart entry, an XDG autostart desktop entry.
//
// The entry lives in $XDG_CONFIG_HOME/autostart (or ~/.config/autostart) as
// "<name>.desktop": the desktop session only honours files with the .desktop
// extension, so the entry's name is kept whole in front of it ("Penmora.exe"
// gives "Penmora.exe.desktop") and repeated in its Name key. Each write
// replaces the previous entry in one rename, so a session that reads the folder
// at logon sees either the old entry or the new one, never a half-written file.
// The entry names the executable's folder as the working folder.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

std::string HomeDirectory() {
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    return "";
}

// The user's autostart folder; "" when there is no home to put it in. A
// relative XDG_CONFIG_HOME is invalid by the base-directory rules and ignored.
std::string AutostartDirectory() {
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/autostart";
    std::string home = HomeDirectory();
    if (home.empty()) return "";
    return home + "/.config/autostart";
}

// Creates `path` and its parents. New folders are private to the user, as
// the base-directory rules ask for the configuration folders.
bool EnsureDirectory(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !EnsureDirectory(path.substr(0, slash))) {
        return false;
    }
    if (mkdir(path.c_str(), 0700) == 0) return true;
    return errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A string value of the key file (such as Name) with its escapes: \\ \n \t
// \r, and \s for a leading blank.
std::string StringValue(const std::string& text) {
    std::string value;
    for (char c : text) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\t':
                value += "\\t";
                break;
            case '\r':
                value += "\\r";
                break;
            default:
                value += c;
        }
    }
    if (!value.empty() && value[0] == ' ') value.replace(0, 1, "\\s");
    return value;
}

// The Exec value that runs exactly `path`: the program quoted as one argument
// (a backslash before " ` $ and \, a literal % doubled), then the string
// escapes of the key file applied on top (\\ \n \t \r), as desktop entries
// require. A path that holds a blank, a quote or a backslash therefore
// survives the launcher's parsing unchanged.
std::string ExecValue(const std::string& path) {
    std::string quoted = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '%') {
            quoted += "%%";
        } else {
            quoted += c;
        }
    }
    quoted += '"';
    return StringValue(quoted);
}

bool WriteWhole(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int WriteAutostartEntry(const std::string& entryName, const std::string& executablePath) {
    std::string folder = AutostartDirectory();
    if (folder.empty() || !EnsureDirectory(folder)) return 1;
    // An entry that starts nothing would be worse than none.
    if (executablePath.empty()) return 2;

    std::string content = "[Desktop Entry]\nType=Application\nName=" + StringValue(entryName) +
                          "\nExec=" + ExecValue(executablePath) + "\n";
    // Started in its own folder, as when run from there: the service finds
    // the reader's library and writes its pictures beside itself, not in the
    // home folder the session would start it in.
    const size_t slash = executablePath.find_last_of('/');
    if (slash != std::string::npos)
        content += "Path=" + StringValue(executablePath.substr(0, slash == 0 ? 1 : slash)) + "\n";
    content += "Terminal=false\nX-GNOME-Autostart-enabled=true\n";
    std::string target = folder + "/" + entryName + ".desktop";
    std::string temporary = target + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) return 2;
    bool written = fchmod(fd, 0644) == 0 && WriteWhole(fd, content) && fsync(fd) == 0;
    if (close(fd) != 0) written = false;
    if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        return 2;
    }
    return 0;
}

}  // namespace platform
