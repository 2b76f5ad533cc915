// Delivery of the signature: the Canvas written as sign.bmp beside the
// executable, turned into a PNG with a transparent background (sign.png), and
// image files sent to the page as unpadded Base64 inside one JSON message.
#include "image/delivery.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "commands/params.h"
#include "image/canvas.h"
#include "image/ximage.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "shell/log.h"

namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One delivery at a time: two would write the same two files.
std::mutex deliveryMutex;
// The sign.png the last delivery made and kept; read by the fingerprint
// capture on its own thread.
std::mutex signPngMutex;
std::string signPngPath;

void SetSignPngPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(signPngMutex);
    signPngPath = path;
}

void AppendBase64(std::string& out, const uint8_t* data, size_t count) {
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const unsigned b0 = data[i], b1 = data[i + 1], b2 = data[i + 2];
        const char group[4] = {
            kBase64Alphabet[b0 >> 2], kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)],
            kBase64Alphabet[((b1 & 15) << 2) | (b2 >> 6)], kBase64Alphabet[b2 & 63]};
        out.append(group, 4);
    }
    if (count - i == 1) {
        const unsigned b0 = data[i];
        out += kBase64Alphabet[b0 >> 2];
        out += kBase64Alphabet[(b0 & 3) << 4];
    } else if (count - i == 2) {
        const unsigned b0 = data[i], b1 = data[i + 1];
        out += kBase64Alphabet[b0 >> 2];
        out += kBase64Alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out += kBase64Alphabet[(b1 & 15) << 2];
    }
}

size_t Base64Length(size_t count) {
    return 4 * (count / 3) + (count % 3 == 0 ? 0 : count % 3 + 1);
}

const char* MessageBeginning(int form) {
    switch (form) {
        case kFingerForm:
            return "{\"typeName\":\"TavoFingerBase64\",\"message\":\"";
        case kSignFingerForm:
            return "{\"typeName\":\"TavoSignFBase64\",\"message\":\"";
        default:
            return "{\"typeName\":\"TavoSignBase64\",\"message\":\"";
    }
}

void PutLittleEndian(uint8_t* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

bool WriteCanvasBmp(const std::string& path) {
    CanvasBitmap bitmap;
    if (!ReadCanvasBitmap(&bitmap)) {
        WriteLog("error: ", "Canvas not available");
        return false;
    }
    const size_t pixelBytes =
        static_cast<size_t>(bitmap.rowBytes) * static_cast<size_t>(bitmap.height);
    if (bitmap.width <= 0 || bitmap.height <= 0 || bitmap.rowBytes <= 0 ||
        bitmap.pixels.size() < pixelBytes || pixelBytes > 0x7fffffffu - 54) {
        WriteLog("error: ", "Canvas bitmap not readable");
        return false;
    }
    FILE* file = platform::OpenFile(path, "wb");
    if (file == nullptr) {
        // The system's own code (a sharing violation when another program
        // holds the file, access denied, ...), read before anything else can
        // change it.
        const int code = platform::LastSystemError();
        WriteLog("error: ", "CreateFile failed");
        WriteLog("GetLastError: ", std::to_string(code));
        return false;
    }
    uint8_t fileHeader[14] = {'B', 'M'};
    PutLittleEndian(fileHeader + 2, static_cast<uint32_t>(54 + pixelBytes), 4);
    PutLittleEndian(fileHeader + 10, 54, 4);
    uint8_t infoHeader[40] = {};
    PutLittleEndian(infoHeader, 40, 4);
    PutLittleEndian(infoHeader + 4, static_cast<uint32_t>(bitmap.width), 4);
    PutLittleEndian(infoHeader + 8, static_cast<uint32_t>(bitmap.height), 4);
    PutLittleEndian(infoHeader + 12, bitmap.planes, 2);
    PutLittleEndian(infoHeader + 14, bitmap.bitsPerPixel, 2);
    bool written = std::fwrite(fileHeader, sizeof fileHeader, 1, file) == 1 &&
                   std::fwrite(infoHeader, sizeof infoHeader, 1, file) == 1 &&
                   std::fwrite(bitmap.pixels.data(), pixelBytes, 1, file) == 1;
    if (std::fclose(file) != 0) written = false;
    if (!written) WriteLog("error: ", "WriteFile failed");
    return written;
}

namespace {

// sign.bmp to sign.png with the white made transparent. True when sign.png
// now holds this signature.
bool ConvertToTransparentPng(const std::string& bmpPath, const std::string& pngPath) {
    CxImage image = CreateImage();
    if (!LoadImageFile(image, bmpPath)) {
        WriteLog("error: ", "sign.bmp not loaded: " + ImageLastError());
        return false;
    }
    CopyImage(image, MakeWhiteTransparent(image));
    if (!SavePngFile(image, pngPath)) {
        WriteLog("error: ", "sign.png not saved: " + ImageLastError());
        return false;
    }
    return true;
}

}  // namespace

std::string Base64Encode(const uint8_t* data, int32_t count) {
    std::string out;
    if (data == nullptr || count <= 0) return out;
    out.reserve(Base64Length(static_cast<size_t>(count)));
    AppendBase64(out, data, static_cast<size_t>(count));
    return out;
}

std::string SignPngPath() {
    std::lock_guard<std::mutex> lock(signPngMutex);
    return signPngPath;
}

namespace {

// The whole file at `path` in `buffer` (one byte more is allocated, as the
// encoder always had). False, logged, when it could not be read.
bool ReadImageFile(const std::string& path, std::vector<uint8_t>& buffer) {
    FILE* file = platform::OpenFile(path, "rb");
    if (file == nullptr) {
        WriteLog("error: ", "CreateFile failed");
        return false;
    }
    long length = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
    if (length < 0 || length > 0x7fffffffL || std::fseek(file, 0, SEEK_SET) != 0) {
        // Unknown size (or one the encoder cannot take): nothing is read.
        WriteLog("error: ", "GetFileSize failed");
        std::fclose(file);
        return false;
    }
    const size_t size = static_cast<size_t>(length);
    try {
        buffer.resize(size + 1);
    } catch (const std::bad_alloc&) {
        WriteLog("error: ", "new failed");
        std::fclose(file);
        return false;
    }
    // The file may have shrunk since its size was taken: only the bytes read
    // are encoded.
    const size_t got = std::fread(buffer.data(), 1, size, file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        WriteLog("error: ", "ReadFile failed");
        return false;
    }
    buffer.resize(got);
    return true;
}

// Sends `buffer` as one image message of `form`, and lets the buffer go.
void SendImageBytes(std::vector<uint8_t>& buffer, int form) {
    const char* beginning = MessageBeginning(form);
    std::string message;
    try {
        message.reserve(std::char_traits<char>::length(beginning) + Base64Length(buffer.size()) +
                        2);
        message += beginning;
        AppendBase64(message, buffer.data(), buffer.size());
        message += "\"}";
    } catch (const std::bad_alloc&) {
        WriteLog("error: ", "new failed");
        return;
    }
    std::vector<uint8_t>().swap(buffer);
    SendTextMessage(message);
}

void PutBigEndian(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

}  // namespace

void SendImageFile(const std::string& path, int form) {
    std::vector<uint8_t> buffer;
    if (ReadImageFile(path, buffer)) SendImageBytes(buffer, form);
}

bool AddPngTextChunk(std::vector<uint8_t>& png, const std::string& keyword,
                     const std::string& utf8Text) {
    static const uint8_t kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    if (png.size() < 8 + 12 || memcmp(png.data() + png.size() - 12, kIend, 12) != 0) return false;
    if (keyword.empty() || keyword.size() > 79 || keyword.find('\0') != std::string::npos) {
        return false;
    }
    // Keyword, NUL, compression flag and method (none), empty language tag
    // and translated keyword (each NUL-ended), then the text.
    const size_t dataLength = keyword.size() + 5 + utf8Text.size();
    if (dataLength > 0x7fffffffu) return false;
    std::vector<uint8_t> chunk(12 + dataLength);
    PutBigEndian(chunk, 0, static_cast<uint32_t>(dataLength));
    memcpy(chunk.data() + 4, "iTXt", 4);
    memcpy(chunk.data() + 8, keyword.data(), keyword.size());
    memcpy(chunk.data() + 8 + keyword.size() + 5, utf8Text.data(), utf8Text.size());
    // The CRC covers the type and the data.
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32_z(crc, chunk.data() + 4, 4 + dataLength);
    PutBigEndian(chunk, 8 + dataLength, static_cast<uint32_t>(crc));
    png.insert(png.end() - 12, chunk.begin(), chunk.end());
    return true;
}

void DeliverSignature(SignatureSealer sealer) {
    std::lock_guard<std::mutex> lock(deliveryMutex);
    const std::string directory = ExeDirectory();
    const std::string bmpPath = directory + platform::kPathSeparator + "sign.bmp";
    const std::string pngPath = directory + platform::kPathSeparator + "sign.png";
    // Read once: a command arriving meanwhile must not make this delivery
    // both keep and send, or neither.
    const bool fingerFollows = CaptureMode.load() != 0;
    SetSignPngPath("");

    const bool made = WriteCanvasBmp(bmpPath) && ConvertToTransparentPng(bmpPath, pngPath);
    if (!made) {
        // Whatever sign.png lies here is not this signature (an earlier
        // session's, or half written): it is neither sent nor kept.
        platform::RemoveFile(pngPath);
        WriteLog("error: ", "sign.png not made");
    } else if (sealer) {
        // The evidence seals the PNG as it was made; the picture sent carries
        // the evidence besides. A fingerprint's composite is made from the
        // file, which stays as it was.
        std::vector<uint8_t> png;
        if (ReadImageFile(pngPath, png)) {
            const std::string evidence = sealer(png);
            if (!evidence.empty()) AddPngTextChunk(png, kEvidenceKeyword, evidence);
            if (!fingerFollows) SendImageBytes(png, kSignForm);
        }
    } else if (!fingerFollows) {
        SendImageFile(pngPath, kSignForm);
    }
    platform::RemoveFile(bmpPath);
    if (!fingerFollows) {
        platform::RemoveFile(pngPath);
    } else if (made) {
        SetSignPngPath(pngPath);
    }
}
