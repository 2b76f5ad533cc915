// Delivery of the signature image: the unpadded Base64, the image messages as
// a real WebSocket client receives them, sign.bmp's layout, which files stay,
// and that no image this delivery did not make is ever sent.
#include "image/delivery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "commands/params.h"
#include "image/canvas.h"
#include "link/frame.h"
#include "link/listener.h"
#include "pad/session.h"
#include "platform/platform.h"
#include "shell/log.h"
#include "tests/image/image_test_util.h"
#include "tests/support/harness.h"
#include "tests/support/log_reader.h"
#include "tests/support/raw_client.h"

namespace {

const char* const kMarker = "{\"typeName\":\"Marker\"}";

std::string Encode(const std::string& text) {
    return Base64Encode(reinterpret_cast<const uint8_t*>(text.data()),
                        static_cast<int32_t>(text.size()));
}

TEST(Base64Encode, StandardAlphabetWithoutPadding) {
    EXPECT_EQ(Encode("abc"), "YWJj");
    EXPECT_EQ(Encode("ab"), "YWI");
    EXPECT_EQ(Encode("a"), "YQ");
    EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Encode("fooba"), "Zm9vYmE");
    EXPECT_EQ(Encode("foob"), "Zm9vYg");
    EXPECT_EQ(Encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
    EXPECT_EQ(Encode(std::string("\x00\x10\x83", 3)), "ABCD");
}

TEST(Base64Encode, LengthsAndEmptyInput) {
    const std::string bytes(301, '\xa7');
    for (int32_t count = 0; count <= 300; ++count) {
        const std::string text =
            Base64Encode(reinterpret_cast<const uint8_t*>(bytes.data()), count);
        const int32_t rest = count % 3;
        EXPECT_EQ(text.size(), static_cast<size_t>(4 * (count / 3) + (rest == 0 ? 0 : rest + 1)))
            << count;
        EXPECT_EQ(text.find('='), std::string::npos);
    }
    EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>("x"), -5), "");
    EXPECT_EQ(Base64Encode(nullptr, 10), "");
}

// Reads an image message as a page would, with Python: JSON with exactly
// typeName and message, Base64 without padding; writes the decoded bytes.
const char* const kDecodeImageMessage = R"(
import base64, json, sys
message = json.loads(open(sys.argv[1], 'rb').read().decode('ascii'))
print('KEYS', *message.keys())
print('TYPE', message['typeName'])
encoded = message['message']
assert '=' not in encoded
open(sys.argv[2], 'wb').write(base64.b64decode(encoded + '=' * (-len(encoded) % 4), validate=True))
)";

std::string Field(const std::string& output, const std::string& name) {
    const size_t at = output.find(name + " ");
    if (at == std::string::npos) return "";
    const size_t end = output.find('\n', at);
    return output.substr(at + name.size() + 1, end - at - name.size() - 1);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

int32_t RawX(int x) {
    return static_cast<int32_t>(std::lround((x + 0.5) * 10206.0 / 600.0));
}
int32_t RawY(int y) {
    return static_cast<int32_t>(std::lround((y + 0.5) * 7422.0 / 400.0));
}

class DeliveryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = StartTestLink();
        ASSERT_NE(port_, 0);
        ResetCanvasForTests();
        CreateCanvas();
        ClearCanvas();
        PenWidth = 5;
        CaptureMode = 0;
        bmpPath_ = ExeDirectory() + "/sign.bmp";
        pngPath_ = ExeDirectory() + "/sign.png";
        RemoveSignFiles();
    }
    void TearDown() override {
        peer_.reset();
        ResetCanvasForTests();
        CaptureMode = 0;
        RemoveSignFiles();
    }
    void RemoveSignFiles() {
        std::error_code ignored;
        std::filesystem::remove(bmpPath_, ignored);
        std::remove(bmpPath_.c_str());
        std::remove(pngPath_.c_str());
    }

    // A real client that has become the ActiveClient.
    void ConnectPeer() {
        const ConnectionPtr before = ActiveClient();
        peer_ = std::make_unique<WsPeer>(port_);
        ASSERT_TRUE(peer_->Connected());
        for (int i = 0; i < 1000 && ActiveClient() == before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_NE(ActiveClient(), before);
    }

    // The next message is the marker: nothing was sent before it.
    void ExpectNothingSent() {
        SendTextMessage(kMarker);
        const auto next = peer_->Receive();
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(*next, kMarker);
    }

    // A horizontal stroke through the middle of the Canvas, row 200.
    void DrawStroke() {
        for (int x = 100; x <= 500; x += 20) DrawPenPoint(PenSample{RawX(x), RawY(200), 1024, 0});
        DrawPenPoint(PenSample{RawX(500), RawY(200), 0, 0});
    }

    CommandResult Decode(const std::string& message) {
        WriteFileBytes(scratch_.Path("message.json"),
                       std::vector<uint8_t>(message.begin(), message.end()));
        return RunPython(kDecodeImageMessage,
                         {scratch_.Path("message.json"), scratch_.Path("decoded")});
    }

    uint16_t port_ = 0;
    std::unique_ptr<WsPeer> peer_;
    std::string bmpPath_, pngPath_;
    ScratchDir scratch_;
};

TEST_F(DeliveryTest, SendImageFileFormsTheThreeMessages) {
    ConnectPeer();
    const std::string file = scratch_.Path("bytes");
    WriteFileBytes(file, {'f', 'o', 'o', 'b', 'a'});
    const std::pair<int, const char*> forms[] = {{kSignForm, "TavoSignBase64"},
                                                 {kFingerForm, "TavoFingerBase64"},
                                                 {kSignFingerForm, "TavoSignFBase64"},
                                                 {7, "TavoSignBase64"},
                                                 {-1, "TavoSignBase64"}};
    for (const auto& form : forms) {
        SendImageFile(file, form.first);
        const auto received = peer_->Receive();
        ASSERT_TRUE(received.has_value());
        EXPECT_EQ(*received,
                  std::string("{\"typeName\":\"") + form.second + "\",\"message\":\"Zm9vYmE\"}");
    }
}

TEST_F(DeliveryTest, LargeImageMessageUsesTheLongLengthForm) {
    // About 100 KB of bytes that do not compress: a message above 65535 bytes.
    std::vector<uint8_t> bytes(75001);
    uint32_t state = 12345;
    for (auto& b : bytes) {
        state = state * 1103515245 + 12345;
        b = static_cast<uint8_t>(state >> 24);
    }
    const std::string file = scratch_.Path("large");
    WriteFileBytes(file, bytes);

    ConnectPeer();
    SendImageFile(file, kFingerForm);
    const auto received = peer_->Receive();
    ASSERT_TRUE(received.has_value());
    const CommandResult described = Decode(*received);
    EXPECT_EQ(Field(described.output, "KEYS"), "typeName message");
    ASSERT_EQ(described.status, 0) << described.output;
    EXPECT_EQ(Field(described.output, "TYPE"), "TavoFingerBase64");
    EXPECT_EQ(ReadFileBytes(scratch_.Path("decoded")), bytes);

    RawWsClient raw(port_);
    const ConnectionPtr before = ActiveClient();
    ASSERT_FALSE(raw.Handshake().empty());
    for (int i = 0; i < 1000 && ActiveClient() == before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    SendImageFile(file, kFingerForm);
    const auto frame = raw.ReceiveFrame();
    ASSERT_TRUE(frame.has_value());
    const size_t length = frame->payload.size();
    ASSERT_EQ(length, received->size());
    ASSERT_GE(length, 65536u);
    const std::string expectedHeader = {'\x81',
                                        '\x7f',
                                        0,
                                        0,
                                        0,
                                        0,
                                        static_cast<char>(length >> 24),
                                        static_cast<char>(length >> 16),
                                        static_cast<char>(length >> 8),
                                        static_cast<char>(length)};
    EXPECT_EQ(frame->header, expectedHeader);
}

TEST_F(DeliveryTest, UnreadableFilesSendNothingAndAreLogged) {
    ConnectPeer();
    const std::string before = ReadTodaysLog(OwnLogFolder());
    SendImageFile(scratch_.Path("not-there.png"), kSignForm);
    ExpectNothingSent();
    const std::string afterMissing = ReadTodaysLog(OwnLogFolder());
    EXPECT_EQ(Count(afterMissing, "error: : "), Count(before, "error: : ") + 1);
    EXPECT_EQ(Count(afterMissing, "CreateFile failed"), Count(before, "CreateFile failed") + 1);

    // A folder opens but has no size or content to read.
    SendImageFile(scratch_.Path(""), kSignForm);
    ExpectNothingSent();
    const std::string afterFolder = ReadTodaysLog(OwnLogFolder());
    EXPECT_EQ(Count(afterFolder, "error: : "), Count(afterMissing, "error: : ") + 1);
}

TEST_F(DeliveryTest, CanvasBmpHasTheExactHeadersAndBottomRowFirst) {
    DrawStroke();
    const std::string path = scratch_.Path("canvas.bmp");
    ASSERT_TRUE(WriteCanvasBmp(path));
    const std::vector<uint8_t> file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 639054u);
    // File header and information header, little-endian.
    const std::vector<uint8_t> headers = {
        'B',  'M',  0x4e, 0xc0, 0x09, 0,    0,  0, 0, 0, 54, 0, 0, 0,  // size 639054, offset 54
        40,   0,    0,    0,    0x58, 0x02, 0,  0,                     // header size, width 600
        0x63, 0x01, 0,    0,    1,    0,    24, 0,                     // height 355, planes, bits
        0,    0,    0,    0,    0,    0,    0,  0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 54), headers);
    CanvasBitmap canvas;
    ASSERT_TRUE(ReadCanvasBitmap(&canvas));
    EXPECT_TRUE(std::equal(canvas.pixels.begin(), canvas.pixels.end(), file.begin() + 54));

    // An independent reader sees the stroke on row 200 from the top.
    const CommandResult read = RunPython(R"(
import sys
from PIL import Image
image = Image.open(sys.argv[1])
print(image.format, image.mode, image.size[0], image.size[1], *image.getpixel((300, 200)), *image.getpixel((300, 100)))
)",
                                         {path});
    EXPECT_EQ(read.output, "BMP RGB 600 355 0 0 0 255 255 255\n");
}

TEST_F(DeliveryTest, AnOlderSignPngIsNeverSentAsThisSignature) {
    ConnectPeer();
    // An earlier session with a fingerprint left its signature behind.
    WriteFileBytes(pngPath_, {0x89, 'P', 'N', 'G', 'o', 'l', 'd'});
    ResetCanvasForTests();  // no Canvas: nothing can be written
    const std::string before = ReadTodaysLog(OwnLogFolder());
    DeliverSignature();
    ExpectNothingSent();
    EXPECT_FALSE(FileExists(pngPath_));
    EXPECT_EQ(SignPngPath(), "");
    EXPECT_GT(Count(ReadTodaysLog(OwnLogFolder()), "sign.png not made"),
              Count(before, "sign.png not made"));

    // The same when the fingerprint follows: the capture finds no signature.
    WriteFileBytes(pngPath_, {0x89, 'P', 'N', 'G', 'o', 'l', 'd'});
    CaptureMode = 1;
    DeliverSignature();
    ExpectNothingSent();
    EXPECT_FALSE(FileExists(pngPath_));
    EXPECT_EQ(SignPngPath(), "");
}

TEST_F(DeliveryTest, UncreatableSignBmpLogsTheSystemErrorCode) {
    CreateCanvas();
    ClearCanvas();
    DrawStroke();
    ConnectPeer();
    WriteFileBytes(pngPath_, {0x89, 'P', 'N', 'G', 'o', 'l', 'd'});
    ASSERT_TRUE(std::filesystem::create_directory(bmpPath_));  // a folder where sign.bmp goes
    // The system's own code for a file that cannot be made over a folder
    // (EISDIR on Linux, access denied on Windows), not the C runtime's errno.
    std::FILE* made = platform::OpenFile(bmpPath_, "wb");
    ASSERT_EQ(made, nullptr);
    const int expected = platform::LastSystemError();
    ASSERT_NE(expected, 0);
    const std::string before = ReadTodaysLog(OwnLogFolder());
    DeliverSignature();
    ExpectNothingSent();
    const std::string after = ReadTodaysLog(OwnLogFolder());
    EXPECT_EQ(Count(after, "CreateFile failed"), Count(before, "CreateFile failed") + 1);
    EXPECT_EQ(Count(after, "GetLastError: : "), Count(before, "GetLastError: : ") + 1);
    // The code follows its tag on the same line.
    const size_t line = after.rfind("GetLastError: : ");
    ASSERT_NE(line, std::string::npos);
    const std::string code = after.substr(line + 25, after.find('\n', line) - line - 25);
    EXPECT_EQ(code.find_first_not_of("0123456789\r"), std::string::npos) << code;
    EXPECT_EQ(std::stoi(code), expected);
    EXPECT_FALSE(FileExists(pngPath_));
}

}  // namespace
