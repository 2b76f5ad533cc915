// Helpers of the image tests: a scratch folder, raw file access, and the
// independent readers (python3-pil, pngcheck) that judge what the service
// writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh folder under the system's temporary folder, removed with its files
// when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

struct CommandResult {
    int status = -1;  // exit status, -1 when the command could not run
    std::string output;
};
// Runs a Python program with Debian's python3 (which has PIL); extra
// arguments are passed as sys.argv[1:].
CommandResult RunPython(const std::string& program, const std::vector<std::string>& arguments = {});
// Runs `pngcheck -v` on a file.
CommandResult RunPngcheck(const std::string& path);

// A 24-bit bottom-up BMP file as the Canvas delivery writes it.
std::vector<uint8_t> MakeBmp24(int32_t width, int32_t height, const std::vector<uint8_t>& pixels,
                               int32_t ppmX = 0, int32_t ppmY = 0);
