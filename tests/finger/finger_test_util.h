// Helpers of the fingerprint tests: a scratch current directory holding the
// reader's library, raw file access, Base64 decoding, and python3-pil as the
// independent judge of the pictures.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A fresh folder under the system's temporary folder that becomes the current
// directory, with a symbolic link named like the reader's library pointing at
// `library` (none when empty). The previous current directory comes back and
// the folder goes, with its files, when the object goes.
class ReaderDir {
  public:
    explicit ReaderDir(const std::string& library);
    ~ReaderDir();
    ReaderDir(const ReaderDir&) = delete;
    ReaderDir& operator=(const ReaderDir&) = delete;
    std::string Path(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    std::string previous_;
};

// The built virtual reader and a reader library that lacks one entry point.
extern const char* const kVirtualReaderLibrary;
extern const char* const kIncompleteReaderLibrary;

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool Exists(const std::string& path);
uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset);

// Standard Base64, with or without "=" padding.
std::vector<uint8_t> DecodeBase64(const std::string& text);

// What python3-pil sees in a picture file. Keys: "format", "mode", "width",
// "height"; for pictures with colour: "ink" (pixels whose alpha is above 0,
// or all pixels without alpha), "red" (red-ink pixels: red 240 or more and above
// green, green equal to blue, alpha above 0), "notredwhite" (pixels neither
// red ink nor white), "clear" (alpha 0); "redbox" the box x0 y0 x1 y1
// (inclusive) around the red-ink pixels, "-1" when none; "px x y" the pixel
// "r g b a" for every point asked for.
std::map<std::string, std::string> ProbePicture(
    const std::string& path, const std::vector<std::pair<int, int>>& points = {});

// The grey levels of a reader image of 256 x 288, top row first, as a
// vector; `level(row, column)` gives each.
template <typename Level>
std::vector<uint8_t> MakeReaderImage(Level level) {
    std::vector<uint8_t> image(256 * 288);
    for (int row = 0; row < 288; ++row)
        for (int column = 0; column < 256; ++column) image[row * 256 + column] = level(row, column);
    return image;
}

// Waits for `condition` without asserting on how long it takes; false only
// when it never came within a generous bound.
template <typename Condition>
bool Eventually(Condition condition, int boundMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// How often `part` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& part);
