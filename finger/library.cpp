// Loading of the fingerprint reader's library and resolution of its entry
// points by name, and the process-wide slot that holds the loaded library.
#include "finger/library.h"

#include <atomic>
#include <mutex>

#include "commands/messages.h"
#include "platform/platform.h"
#include "shell/log.h"

namespace {

// Guards only the slot: never held across a load or a call into the library.
std::mutex SlotLock;
FingerLibraryRef ReaderLibrary;
std::atomic<int> Held{0};

template <typename Function>
bool Resolve(void* module, const char* name, Function& slot) {
    slot = reinterpret_cast<Function>(platform::FindSymbol(module, name));
    return slot != nullptr;
}

void Store(FingerLibraryRef library) {
    FingerLibraryRef previous;
    {
        std::lock_guard<std::mutex> hold(SlotLock);
        previous.swap(ReaderLibrary);
        ReaderLibrary = std::move(library);
    }
    // A module whose last reference this was is released outside the lock.
}

}  // namespace

FingerLibrary::~FingerLibrary() {
    if (module != nullptr) {
        platform::FreeLibrary(module);
        Held.fetch_sub(1);
    }
}

int LoadFingerLibrary(FingerLibraryRef* loaded) {
    // The library of an earlier load stays with whoever still uses it.
    Store(nullptr);
    void* module = platform::LoadLibrary(platform::kFingerLibraryPath);
    if (module == nullptr) return -1;

    auto bound = std::make_shared<FingerLibrary>();
    bound->module = module;
    Held.fetch_add(1);
    bool complete = Resolve(module, "ZAZOpenDeviceEx", bound->ZAZOpenDeviceEx);
    complete = Resolve(module, "ZAZCloseDeviceEx", bound->ZAZCloseDeviceEx) && complete;
    complete = Resolve(module, "ZAZUpImage", bound->ZAZUpImage) && complete;
    complete = Resolve(module, "ZAZGetImage", bound->ZAZGetImage) && complete;
    complete = Resolve(module, "ZAZImgData2BMP", bound->ZAZImgData2BMP) && complete;
    complete = Resolve(module, "ZAZErr2Str", bound->ZAZErr2Str) && complete;
    complete = Resolve(module, "ZAZShowFingerData", bound->ZAZShowFingerData) && complete;
    if (!complete) {
        WriteLog("error", msg::kLogFingerSymbolsMissing);
        // Nothing can use an incomplete library; holding it would only leak
        // it: it goes with `bound`.
        return -1;
    }
    if (loaded != nullptr) *loaded = bound;
    Store(std::move(bound));
    return 0;
}

FingerLibraryRef CurrentFingerLibrary() {
    std::lock_guard<std::mutex> hold(SlotLock);
    return ReaderLibrary;
}

void FreeFingerLibrary() {
    Store(nullptr);
}

void FreeFingerLibraryIfCurrent(const FingerLibraryRef& library) {
    FingerLibraryRef previous;  // released after the lock
    std::lock_guard<std::mutex> hold(SlotLock);
    if (ReaderLibrary == library) previous.swap(ReaderLibrary);
}

int FingerLibrariesHeld() {
    return Held.load();
}
