// Helpers of the image tests (see image_test_util.h).
#include "tests/image/image_test_util.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace {

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

CommandResult Run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

void PutLe(std::vector<uint8_t>& out, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/penmora-image-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
    if (!path_.empty()) Run("rm -rf " + ShellQuote(path_));
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

CommandResult RunPython(const std::string& program, const std::vector<std::string>& arguments) {
    std::string command = std::string(PENMORA_PYTHON) + " -c " + ShellQuote(program);
    for (const auto& argument : arguments) command += " " + ShellQuote(argument);
    return Run(command);
}

CommandResult RunPngcheck(const std::string& path) {
    return Run(std::string(PENMORA_PNGCHECK) + " -v " + ShellQuote(path));
}

std::vector<uint8_t> MakeBmp24(int32_t width, int32_t height, const std::vector<uint8_t>& pixels,
                               int32_t ppmX, int32_t ppmY) {
    std::vector<uint8_t> file(54 + pixels.size(), 0);
    file[0] = 'B';
    file[1] = 'M';
    PutLe(file, 2, static_cast<uint32_t>(54 + pixels.size()), 4);
    PutLe(file, 10, 54, 4);
    PutLe(file, 14, 40, 4);
    PutLe(file, 18, static_cast<uint32_t>(width), 4);
    PutLe(file, 22, static_cast<uint32_t>(height), 4);
    PutLe(file, 26, 1, 2);
    PutLe(file, 28, 24, 2);
    PutLe(file, 38, static_cast<uint32_t>(ppmX), 4);
    PutLe(file, 42, static_cast<uint32_t>(ppmY), 4);
    std::copy(pixels.begin(), pixels.end(), file.begin() + 54);
    return file;
}
