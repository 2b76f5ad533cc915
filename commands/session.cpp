// The receive loop of one WebSocket connection: one frame per receive, its
// text logged, parsed and dispatched.
#include "commands/session.h"

#include <cstring>
#include <vector>

#include "commands/dispatch.h"
#include "commands/json.h"
#include "link/frame.h"
#include "link/text.h"
#include "shell/log.h"

void ClientSession(ConnectionPtr connection) {
    std::vector<uint8_t> payload;
    for (;;) {
        uint8_t buffer[kReceiveBufferSize] = {};
        // What a receive does not fill reads as zero: a frame cut short is
        // decoded with zero bytes in place of the missing ones.
        platform::Receive(connection->socket, buffer, sizeof buffer);
        const int result = DecodeFrame(buffer, payload);
        if (result < 0 || payload.empty()) {
            if (result == -1) WriteLog("recv message: ", "Disconnected");
            break;
        }
        // The payload is a C text: a NUL byte ends it.
        const char* bytes = reinterpret_cast<const char*>(payload.data());
        std::string text = FromUtf8(std::string(bytes, strnlen(bytes, payload.size())));
        const size_t lastBrace = text.rfind('}');
        text.resize(lastBrace == std::string::npos ? 0 : lastBrace + 1);
        WriteLog("recv message: ", text);

        const JsonDocument document = ParseJson(text);
        DispatchCommand(GetMemberText(document, "typeName"), PrintMember(document, "message"));
    }
    // The session lets go of the connection here. While it is still the
    // ActiveClient it stays open for the device messages; otherwise this was
    // the last holder and the descriptor is released.
}
