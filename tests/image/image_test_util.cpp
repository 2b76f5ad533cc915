// Helpers of the image tests (see image_test_util.h).
#include "tests/image/image_test_util.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/support/system.h"

namespace {

void PutLe(std::vector<uint8_t>& out, size_t at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

ScratchDir::ScratchDir() : path_(testsys::MakeTempFolder("penmora-image")) {}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
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
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

namespace {

CommandResult Run(const std::vector<std::string>& argv) {
    const testsys::RunResult run = testsys::RunHost(argv);
    return {run.status, run.output};
}

}  // namespace

CommandResult RunPython(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {PENMORA_PYTHON, "-c", program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return Run(argv);
}

CommandResult RunPngcheck(const std::string& path) {
    return Run({PENMORA_PNGCHECK, "-v", path});
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
