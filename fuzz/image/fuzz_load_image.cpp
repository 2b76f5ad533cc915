// Fuzz target: LoadImageFile's decoders on arbitrary bytes. Whatever the
// input, loading must either succeed with an image whose buffers hold every
// pixel or fail with a reason, and never touch memory outside its buffers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "image/ximage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CxImage image = CreateImage();
    if (LoadImageMemory(image, data, size)) {
        const size_t pixels = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
        if (image.IsEmpty() ||
            image.rows.size() != static_cast<size_t>(image.RowBytes()) * image.height ||
            (image.HasAlpha() && image.alpha.size() != pixels)) {
            std::abort();
        }
        // The loaded image goes through what the service does with it.
        CxImage transparent = MakeWhiteTransparent(image);
        OverlayImage(transparent, image, image.width / 2, -image.height / 3);
        GetPixel(transparent, image.width - 1, image.height - 1);
    } else if (ImageLastError().empty()) {
        std::abort();
    }
    return 0;
}
