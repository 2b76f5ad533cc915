// Helpers of the fingerprint tests.
#include "tests/finger/finger_test_util.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/platform.h"

const char* const kVirtualReaderLibrary = PENMORA_VIRTUAL_READER;
const char* const kIncompleteReaderLibrary = PENMORA_INCOMPLETE_READER;

ReaderDir::ReaderDir(const std::string& library) {
    char pattern[] = "/tmp/penmora-finger-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    path_ = made;
    char* current = getcwd(nullptr, 0);
    if (current != nullptr) previous_ = current;
    std::free(current);
    if (chdir(path_.c_str()) != 0) std::abort();
    if (!library.empty()) {
        // A link, so that the library the service loads is the one the test
        // controls (one file, one loaded instance).
        const std::string name = std::filesystem::path(platform::kFingerLibraryPath).filename();
        if (symlink(library.c_str(), Path(name).c_str()) != 0) std::abort();
    }
}

ReaderDir::~ReaderDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) std::abort();
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) return 0xFFFFFFFFu;
    return uint32_t(bytes[offset]) | uint32_t(bytes[offset + 1]) << 8 |
           uint32_t(bytes[offset + 2]) << 16 | uint32_t(bytes[offset + 3]) << 24;
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

std::vector<uint8_t> DecodeBase64(const std::string& text) {
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int v = -1;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        if (c >= '0' && c <= '9') v = c - '0' + 52;
        if (c == '+') v = 62;
        if (c == '/') v = 63;
        if (v < 0) continue;
        bits = (bits << 6) | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return out;
}

std::map<std::string, std::string> ProbePicture(const std::string& path,
                                                const std::vector<std::pair<int, int>>& points) {
    std::string command = std::string(PENMORA_PYTHON) + " " + PENMORA_PROBE + " '" + path + "'";
    for (const auto& point : points)
        command += " " + std::to_string(point.first) + "," + std::to_string(point.second);
    command += " 2>&1";
    std::map<std::string, std::string> result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    std::string output;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        result["error"] = output;
        return result;
    }
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        size_t split = line.find(' ');
        if (line.rfind("px ", 0) == 0) {
            // "px X Y r g b a": the key holds the point.
            split = line.find(' ', line.find(' ', 3) + 1);
        }
        if (split == std::string::npos) continue;
        result[line.substr(0, split)] = line.substr(split + 1);
    }
    return result;
}
