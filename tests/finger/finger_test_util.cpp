// Helpers of the fingerprint tests.
#include "tests/finger/finger_test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/platform.h"
#include "tests/support/system.h"

const char* const kVirtualReaderLibrary = PENMORA_VIRTUAL_READER;
const char* const kIncompleteReaderLibrary = PENMORA_INCOMPLETE_READER;

ReaderDir::ReaderDir(const std::string& library)
    : path_(testsys::MakeTempFolder("penmora-finger")) {
    if (path_.empty()) std::abort();
    std::error_code error;
    previous_ = std::filesystem::current_path(error).string();
    std::filesystem::current_path(path_, error);
    if (error) std::abort();
    if (!library.empty()) {
        // A link, so that the library the service loads is the one the test
        // controls (one file, one loaded instance).
        const std::string name =
            std::filesystem::path(platform::kFingerLibraryPath).filename().string();
        if (!testsys::LinkFile(library, Path(name))) std::abort();
    }
}

ReaderDir::~ReaderDir() {
    std::error_code error;
    if (!previous_.empty()) std::filesystem::current_path(previous_, error);
    if (error) std::abort();
    std::filesystem::remove_all(path_, error);
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
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
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
    std::vector<std::string> argv = {PENMORA_PYTHON, PENMORA_PROBE, path};
    for (const auto& point : points)
        argv.push_back(std::to_string(point.first) + "," + std::to_string(point.second));
    std::map<std::string, std::string> result;
    const testsys::RunResult run = testsys::RunHost(argv);
    const std::string& output = run.output;
    if (run.status != 0) {
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
