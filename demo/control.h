// The demo's control endpoint: on one loopback port it serves the demo page
// over HTTP and speaks WebSocket with JSON text frames to control clients,
// which script the virtual pad and the virtual reader and hear what the
// service does with them.
#pragma once

#include <cstdint>
#include <string>

#include "demo/control_protocol.h"

namespace demo {

constexpr uint16_t kControlPort = 10002;

// The virtual reader's control functions, found in the library the service
// loads (the same handle, so the same reader). Missing ones are nullptr.
struct ReaderControls {
    void (*setFinger)(int placed) = nullptr;
    void (*setOpenFails)(int fails) = nullptr;
    void (*setObserver)(void (*onOpenChanged)(int open, void* context), void* context) = nullptr;
};

// Listens on address:port (port 0: any free one), hooks the device events and
// starts the accept thread. Page files are read from `webDirectory` on each
// request. Returns the port, or 0 when it cannot listen. Once per process.
uint16_t StartControlEndpoint(const char* address, uint16_t port, const std::string& webDirectory,
                              const ReaderControls& reader);

// Applies one control action to the virtual devices. False, with `error`
// set, when it cannot be carried out (the reader library is missing).
bool ApplyControlAction(const ControlAction& action, std::string& error);

}  // namespace demo
