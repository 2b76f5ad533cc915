// Loading of the fingerprint reader's library and resolution of its entry
// points by name.
#include "finger/library.h"

#include "commands/messages.h"
#include "platform/platform.h"
#include "shell/log.h"

FingerLibrary ReaderLibrary;
std::mutex ReaderLibraryLock;

namespace {

template <typename Function>
bool Resolve(void* module, const char* name, Function& slot) {
    slot = reinterpret_cast<Function>(platform::FindSymbol(module, name));
    return slot != nullptr;
}

}  // namespace

int LoadFingerLibrary() {
    // A module still held would only add a reference that nobody drops.
    FreeFingerLibrary();
    void* module = platform::LoadLibrary(platform::kFingerLibraryPath);
    if (module == nullptr) return -1;

    FingerLibrary bound;
    bound.module = module;
    bool complete = Resolve(module, "ZAZOpenDeviceEx", bound.ZAZOpenDeviceEx);
    complete = Resolve(module, "ZAZCloseDeviceEx", bound.ZAZCloseDeviceEx) && complete;
    complete = Resolve(module, "ZAZUpImage", bound.ZAZUpImage) && complete;
    complete = Resolve(module, "ZAZGetImage", bound.ZAZGetImage) && complete;
    complete = Resolve(module, "ZAZImgData2BMP", bound.ZAZImgData2BMP) && complete;
    complete = Resolve(module, "ZAZErr2Str", bound.ZAZErr2Str) && complete;
    complete = Resolve(module, "ZAZShowFingerData", bound.ZAZShowFingerData) && complete;
    if (!complete) {
        WriteLog("error", msg::kLogFingerSymbolsMissing);
        // Nothing can use an incomplete library; holding it would only leak it.
        platform::FreeLibrary(module);
        return -1;
    }
    ReaderLibrary = bound;
    return 0;
}

void FreeFingerLibrary() {
    if (ReaderLibrary.module != nullptr) platform::FreeLibrary(ReaderLibrary.module);
    ReaderLibrary = FingerLibrary{};
}
