// CxImage's PNG decoder and encoder over libpng. libpng reports errors by
// longjmp, so each function that calls setjmp keeps only plain locals; the
// buffers live in a context owned by its caller, which also frees libpng's
// structures on every way out.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include "image/ximage_codec.h"
#include "platform/platform.h"

namespace ximage {

namespace {

struct PngErrorText {
    char text[256];
};

void OnPngError(png_structp png, png_const_charp message) {
    auto* error = static_cast<PngErrorText*>(png_get_error_ptr(png));
    if (error != nullptr) {
        std::snprintf(error->text, sizeof error->text, "%s", message != nullptr ? message : "");
    }
    png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// ---- Reading ---------------------------------------------------------------

struct PngReader {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngErrorText error{};
    std::vector<uint8_t> row;      // one decoded row
    std::vector<uint8_t> staging;  // decoded rows so far, top row first
    png_uint_32 width = 0, height = 0;
    int channels = 0;
    bool sizeRefused = false;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t count) {
    auto* reader = static_cast<PngReader*>(png_get_io_ptr(png));
    if (count > reader->size - reader->position) png_error(png, "Read Error: file truncated");
    std::memcpy(out, reader->data + reader->position, count);
    reader->position += count;
}

// Decodes every row into reader.staging. False after a libpng error (its
// text is in reader.error) or when the size is refused (ImageLastError set).
bool ReadRows(PngReader& reader) {
    png_structp png = reader.png;
    png_infop info = reader.info;
    if (setjmp(png_jmpbuf(png))) return false;

    png_read_info(png, info);
    int bitDepth = 0, colourType = 0, interlace = 0;
    png_get_IHDR(png, info, &reader.width, &reader.height, &bitDepth, &colourType, &interlace,
                 nullptr, nullptr);
    if (reader.width > 0x7fffffffu || reader.height > 0x7fffffffu ||
        !CheckImageSize(static_cast<int32_t>(reader.width), static_cast<int32_t>(reader.height))) {
        reader.sizeRefused = true;
        return false;
    }
    if (interlace != PNG_INTERLACE_NONE) png_error(png, "interlaced PNG not supported");

    // Every other PNG kind is brought to 8-bit BGR or BGRA.
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colourType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    if (bitDepth == 16) png_set_strip_16(png);
    if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_gray_to_rgb(png);
    }
    png_set_bgr(png);
    png_read_update_info(png, info);
    reader.channels = png_get_channels(png, info);
    if (reader.channels != 3 && reader.channels != 4)
        png_error(png, "unexpected PNG channel count");

    const size_t rowBytes = static_cast<size_t>(reader.width) * reader.channels;
    if (png_get_rowbytes(png, info) != rowBytes) png_error(png, "unexpected PNG row size");
    reader.row.resize(rowBytes);
    // The staging grows with the rows actually decoded, so a header that
    // promises a huge image costs memory only for the data that follows it.
    for (png_uint_32 y = 0; y < reader.height; ++y) {
        png_read_row(png, reader.row.data(), nullptr);
        reader.staging.insert(reader.staging.end(), reader.row.begin(), reader.row.end());
    }
    return true;
}

// ---- Writing ---------------------------------------------------------------

struct PngWriter {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngErrorText error{};
    std::vector<uint8_t> row;
};

bool WriteRows(PngWriter& writer, const CxImage& image) {
    png_structp png = writer.png;
    png_infop info = writer.info;
    if (setjmp(png_jmpbuf(png))) return false;

    png_init_io(png, writer.file);
    const bool hasAlpha = image.HasAlpha();
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8,
                 hasAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color_16 background{};
    background.red = 255;
    background.green = 255;
    background.blue = 255;
    png_set_bKGD(png, info, &background);
    png_set_pHYs(png, info, static_cast<png_uint_32>(image.ppmX),
                 static_cast<png_uint_32>(image.ppmY), PNG_RESOLUTION_METER);
    png_write_info(png, info);

    const size_t channels = hasAlpha ? 4 : 3;
    const size_t width = static_cast<size_t>(image.width);
    const size_t rowBytes = static_cast<size_t>(image.RowBytes());
    uint8_t* out = writer.row.data();
    // PNG rows run top-down, ours bottom-up.
    for (size_t line = 0; line < static_cast<size_t>(image.height); ++line) {
        const size_t y = static_cast<size_t>(image.height) - 1 - line;
        const uint8_t* in = image.rows.data() + y * rowBytes;
        const uint8_t* alpha = hasAlpha ? image.alpha.data() + y * width : nullptr;
        for (size_t x = 0; x < width; ++x) {
            uint8_t* o = out + x * channels;
            o[0] = in[3 * x + 2];
            o[1] = in[3 * x + 1];
            o[2] = in[3 * x];
            if (hasAlpha) o[3] = alpha[x];
        }
        png_write_row(png, out);
    }
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

Decode DecodePng(const uint8_t* data, size_t size, CxImage& image) {
    if (size < 8 || png_sig_cmp(data, 0, 8) != 0) return Decode::kNotMine;

    PngReader reader;
    reader.data = data;
    reader.size = size;
    reader.png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader.error, OnPngError, OnPngWarning);
    if (reader.png == nullptr) {
        SetImageError("Failed to create PNG structure");
        return Decode::kRejected;
    }
    reader.info = png_create_info_struct(reader.png);
    if (reader.info == nullptr) {
        png_destroy_read_struct(&reader.png, nullptr, nullptr);
        SetImageError("Failed to initialize PNG info structure");
        return Decode::kRejected;
    }
    png_set_read_fn(reader.png, &reader, ReadFromMemory);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Lets mutated inputs reach the decoder instead of stopping at checksums.
    png_set_crc_action(reader.png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#ifdef PNG_IGNORE_ADLER32
    png_set_option(reader.png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
#endif

    bool ok = false;
    try {
        ok = ReadRows(reader);
    } catch (const std::bad_alloc&) {
        std::snprintf(reader.error.text, sizeof reader.error.text, "%s", kAllocationError);
    }
    png_uint_32 ppmX = 0, ppmY = 0;
    int unit = 0;
    const bool hasPhys = ok && png_get_pHYs(reader.png, reader.info, &ppmX, &ppmY, &unit) != 0 &&
                         unit == PNG_RESOLUTION_METER;
    png_destroy_read_struct(&reader.png, &reader.info, nullptr);
    if (!ok) {
        if (!reader.sizeRefused) SetImageError(reader.error.text);
        return Decode::kRejected;
    }

    CxImage made;
    made.width = static_cast<int32_t>(reader.width);
    made.height = static_cast<int32_t>(reader.height);
    const size_t width = reader.width;
    const size_t height = reader.height;
    const size_t rowBytes = static_cast<size_t>(made.RowBytes());
    const size_t channels = static_cast<size_t>(reader.channels);
    made.rows.assign(rowBytes * height, 0);
    if (channels == 4) made.alpha.assign(width * height, 0);
    for (size_t line = 0; line < height; ++line) {
        const size_t y = height - 1 - line;  // the PNG's first row is the top row
        const uint8_t* in = reader.staging.data() + line * width * channels;
        uint8_t* out = made.rows.data() + y * rowBytes;
        for (size_t x = 0; x < width; ++x) std::memcpy(out + 3 * x, in + x * channels, 3);
        if (channels == 4) {
            uint8_t* alpha = made.alpha.data() + y * width;
            for (size_t x = 0; x < width; ++x) alpha[x] = in[x * channels + 3];
        }
    }
    if (hasPhys) {
        SetResolution(made, DpiFromPpm(ppmX), DpiFromPpm(ppmY));
    } else {
        SetResolution(made, 96, 96);
    }
    image = std::move(made);
    return Decode::kDone;
}

}  // namespace ximage

using namespace ximage;

bool SavePngFile(const CxImage& image, const std::string& path) {
    PngWriter writer;
    writer.file = platform::OpenFile(path, "wb");
    if (writer.file == nullptr) return false;
    if (!HoldsPixels(image)) {
        std::fclose(writer.file);
        SetImageError("null image!!!");
        return false;
    }
    try {
        writer.row.resize(static_cast<size_t>(image.width) * (image.HasAlpha() ? 4 : 3));
    } catch (const std::bad_alloc&) {
        std::fclose(writer.file);
        SetImageError(kAllocationError);
        return false;
    }
    writer.png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &writer.error, OnPngError, OnPngWarning);
    if (writer.png == nullptr) {
        std::fclose(writer.file);
        SetImageError("Failed to create PNG structure");
        return false;
    }
    writer.info = png_create_info_struct(writer.png);
    if (writer.info == nullptr) {
        png_destroy_write_struct(&writer.png, nullptr);
        std::fclose(writer.file);
        SetImageError("Failed to initialize PNG info structure");
        return false;
    }
    bool ok = WriteRows(writer, image);
    png_destroy_write_struct(&writer.png, &writer.info);
    // A full disk shows only when the buffered bytes reach the file: a PNG
    // that did not land whole is not reported as written.
    if (std::fflush(writer.file) != 0 || std::ferror(writer.file)) ok = false;
    if (std::fclose(writer.file) != 0) ok = false;
    if (!ok) SetImageError("Error saving PNG file");
    return ok;
}
