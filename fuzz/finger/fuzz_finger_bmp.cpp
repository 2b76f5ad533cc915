// Fuzz target: the fingerprint picture made from what the reader library
// wrote, as the capture makes it. The input is taken as the reader's BMP:
// ReadBmp8 reads it, WriteRedBmp writes the same pixels as the red-ink BMP,
// which ReadBmp8 must read back unchanged, and ScaleImageFile shrinks that to
// the PNG that is loaded and made transparent. The capture also scales the
// reader's file itself when it is no 8-bit BMP, so the input goes through
// ScaleImageFile directly too. Whatever the input, nothing may read or write
// outside its buffers, and a picture that ScaleImageFile reports written must
// load with half the size.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "finger/TavoSign.h"
#include "finger/capture.h"
#include "fuzz/scratch_folder.h"
#include "image/ximage.h"

namespace {

// The files of one input, in the scratch folder.
std::string& ReaderBmp = *new std::string;
std::string& RedBmp = *new std::string;
std::string& Picture = *new std::string;

bool WriteFile(const char* path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path, "wb");
    if (file == nullptr) return false;
    const bool ok = fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && ok;
}

// Scales `source` by two as the capture does; when that succeeds, the result
// must load with the halved size of `width` x `height` (unknown: 0).
void ScaleAndLoad(const std::string& source, uint32_t width, uint32_t height) {
    if (!ScaleImageFile(source, Picture, 2.0)) return;
    CxImage picture = CreateImage();
    if (!LoadImageFile(picture, Picture) || picture.IsEmpty()) abort();
    if (width != 0 &&
        (uint32_t(picture.width) != width / 2 || uint32_t(picture.height) != height / 2))
        abort();
    CxImage transparent = MakeWhiteTransparent(picture);
    if (transparent.width != picture.width || transparent.height != picture.height) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string& Folder = MakeScratchFolder("finger");
    ReaderBmp = Folder + "/reader.bmp";
    RedBmp = Folder + "/red.bmp";
    Picture = Folder + "/finger.png";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!WriteFile(ReaderBmp.c_str(), data, size)) abort();
    if (auto image = ReadBmp8(ReaderBmp.c_str())) {
        if (image->bitCount != 8 || image->width == 0 || image->height == 0 ||
            image->pixels.size() != size_t(image->width) * image->height)
            abort();
        if (WriteRedBmp(image->pixels.data(), image->bitCount, image->width, image->height,
                        RedBmp.c_str()) != 1)
            abort();
        auto red = ReadBmp8(RedBmp.c_str());
        if (!red || red->width != image->width || red->height != image->height ||
            red->pixels != image->pixels)
            abort();
        ScaleAndLoad(RedBmp, image->width, image->height);
    }
    ScaleAndLoad(ReaderBmp, 0, 0);
    return 0;
}
