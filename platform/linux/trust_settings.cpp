// Linux: IT's lists in /etc/penmora/ (allowed-origins, allowed-hosts: one
// entry a line, "#" starts a comment) and the person's answers in
// $XDG_CONFIG_HOME/penmora/sites (or ~/.config/penmora/sites): lines
// "allow ORIGIN" and "block ORIGIN", the last line of a site deciding.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace platform {
namespace {

std::mutex& FolderLock = *new std::mutex;
std::string& TestFolder = *new std::string;

std::string PolicyFolder() {
    std::lock_guard<std::mutex> hold(FolderLock);
    return TestFolder.empty() ? "/etc/penmora" : TestFolder;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

void ReadList(const std::string& path, std::vector<TrustEntry>* entries) {
    std::ifstream in(path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        line = Trim(line);
        if (!line.empty()) entries->push_back({line, path + ":" + std::to_string(number)});
    }
}

std::string AnswersFolder() {
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/penmora";
    const char* home = getenv("HOME");
    std::string base = home && home[0] == '/' ? home : "";
    if (base.empty()) {
        passwd entry{};
        passwd* result = nullptr;
        char buffer[1024];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &result) == 0 && result)
            base = result->pw_dir;
    }
    return base.empty() ? "" : base + "/.config/penmora";
}

}  // namespace

TrustSettings ReadTrustSettings() {
    TrustSettings settings;
    const std::string folder = PolicyFolder();
    ReadList(folder + "/allowed-origins", &settings.origins);
    ReadList(folder + "/allowed-hosts", &settings.hosts);
    const std::string answers = AnswersFolder();
    if (answers.empty()) return settings;
    std::ifstream in(answers + "/sites");
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line);
        const size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        const std::string verb = line.substr(0, blank);
        const std::string origin = Trim(line.substr(blank + 1));
        // The newest answer for a site is the one that holds.
        auto drop = [&origin](std::vector<std::string>& list) {
            for (auto it = list.begin(); it != list.end();)
                it = *it == origin ? list.erase(it) : it + 1;
        };
        drop(settings.allowed);
        drop(settings.blocked);
        if (verb == "allow") settings.allowed.push_back(origin);
        if (verb == "block") settings.blocked.push_back(origin);
    }
    return settings;
}

std::string TrustSettingsStamp() {
    const std::string folder = PolicyFolder();
    std::string stamp = folder;
    for (const std::string& path :
         {folder + "/allowed-origins", folder + "/allowed-hosts", AnswersFolder() + "/sites"}) {
        struct stat info {};
        stamp += '|';
        if (stat(path.c_str(), &info) == 0)
            stamp += std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" +
                     std::to_string(info.st_mtim.tv_sec) + "." +
                     std::to_string(info.st_mtim.tv_nsec);
        stamp += '|' + path;
    }
    return stamp;
}

bool RememberSiteAnswer(const std::string& origin, bool allowed) {
    const std::string folder = AnswersFolder();
    std::error_code error;
    if (folder.empty()) return false;
    std::filesystem::create_directories(folder, error);
    if (error) return false;
    std::lock_guard<std::mutex> hold(FolderLock);
    // Appended: an answer given later overrides an earlier one for the site.
    std::ofstream out(folder + "/sites", std::ios::app);
    out << (allowed ? "allow " : "block ") << origin << "\n";
    out.flush();
    return static_cast<bool>(out);
}

void SetTrustSettingsFolderForTests(const std::string& folder) {
    std::lock_guard<std::mutex> hold(FolderLock);
    TestFolder = folder;
}

}  // namespace platform
