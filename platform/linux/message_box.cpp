// Linux: the message box of a service without a desktop. The text goes to
// standard error and the call returns at once, so a headless service is never
// left waiting for a button nobody can press.
#include <cstdio>
#include <mutex>

#include "platform/platform.h"

namespace platform {

void ShowMessageBox(const std::string& utf8Text) {
    // Two threads may report at once; keep each text whole on the stream.
    static std::mutex streamLock;
    std::lock_guard<std::mutex> hold(streamLock);
    std::fprintf(stderr, "%s\n", utf8Text.c_str());
    std::fflush(stderr);
}

}  // namespace platform
