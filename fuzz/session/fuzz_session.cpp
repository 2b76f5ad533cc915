// Fuzz target: the receive path of one page connection. The input is the byte
// stream a page sends after its handshake; it is written into one end of a
// socket pair, which is then closed, and ClientSession serves the other end as
// it serves a page: stream reassembly, DecodeFrame, the text cut at the last
// "}", the JSON parsing and the dispatch of each command to the virtual pad.
// No listener runs, so there is no ActiveClient and the service's messages
// are dropped. The target must run in a folder without the reader library, so
// that a fingerprint command logs its absence and starts no capture; its log
// goes to a scratch folder of its own.
//
// After each input the pad session, the capture and the command state go
// back to their start-up state, and the input must have left no pad handle
// open and no pen-input thread reading.
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "commands/dispatch.h"
#include "commands/session.h"
#include "devices/virtual_pad/virtual_pad.h"
#include "finger/capture.h"
#include "fuzz/scratch_folder.h"
#include "image/canvas.h"
#include "link/connection.h"
#include "pad/pen_input.h"
#include "pad/session.h"
#include "platform/platform.h"
#include "shell/log.h"

namespace {

// Eight receive buffers' worth, well inside what a socket pair buffers, so the
// whole input is written before the session starts; and few enough commands
// that an input runs in well under a second.
constexpr size_t kMaxInput = 8 * 1024;

std::string& Folder = *new std::string;

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (access(platform::kFingerLibraryPath, F_OK) == 0) {
        fprintf(stderr, "run this from a folder without %s\n", platform::kFingerLibraryPath);
        exit(2);
    }
    Folder = MakeScratchFolder("session");
    SetLogFolderForTests(Folder + "/log");
    // A closing session waits for the pen-input thread's current read.
    SetPenPollIntervalForTests(1);
    CreateCanvas();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) size = kMaxInput;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
    if (!WriteAll(pair[0], data, size)) abort();
    close(pair[0]);
    ClientSession(std::make_shared<Connection>(pair[1]));

    ResetPadForTests();
    ResetFingerCaptureForTests();
    ResetCommandsForTests();
    const vpad::Usage usage = vpad::GetUsage();
    if (usage.openHandles != 0 || usage.readersNow != 0) abort();
    vpad::Reset();
    // The log of one input at a time: it would otherwise grow for the whole
    // run. The folder stays (removing a folder is slow on some disks).
    std::error_code error;
    for (const auto& file : std::filesystem::directory_iterator(Folder + "/log", error))
        std::filesystem::remove(file.path(), error);
    return 0;
}
