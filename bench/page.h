// The page of the benchmarks that need one: a socket-level WebSocket client on
// loopback that has completed its handshake and is the service's ActiveClient.
#pragma once

#include <chrono>
#include <thread>

#include "link/listener.h"
#include "tests/support/harness.h"
#include "tests/support/raw_client.h"

namespace bench {

// Made once per process, with the link it talks to; it is the ActiveClient
// when this returns (or after two seconds of waiting, should it never be).
inline RawWsClient* ActivePage() {
    static RawWsClient* page = [] {
        const uint16_t port = StartTestLink();
        const ConnectionPtr before = ActiveClient();
        auto* client = new RawWsClient(port);
        if (client->Handshake().empty()) return client;
        for (int i = 0; i < 2000 && ActiveClient() == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return client;
    }();
    return page;
}

}  // namespace bench
