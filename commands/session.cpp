// The receive loop of one WebSocket connection: each frame's text is logged,
// parsed and dispatched, in the order the page sent them.
//
// The connection is a byte stream: frames that arrive in one receive are each
// handled, and a frame split across receives is completed from the next ones
// before it is decoded, so no command is lost or read with bytes missing.
// A frame never exceeds the 1024-byte receive buffer; a larger one ends the
// session.
#include "commands/session.h"

#include <cstring>
#include <vector>

#include "commands/dispatch.h"
#include "commands/json.h"
#include "link/consent.h"
#include "link/frame.h"
#include "link/text.h"
#include "shell/log.h"

namespace {

// Receives until the buffer starts with a whole frame, or with the header of
// one too large for it. False when the connection ended first.
bool ReceiveFrame(Connection& connection, uint8_t* buffer, size_t* filled) {
    for (;;) {
        const uint64_t size = FrameSize(buffer, *filled);
        if (size != 0 && (size > kReceiveBufferSize || size <= *filled)) return true;
        const long n =
            platform::Receive(connection.socket, buffer + *filled, kReceiveBufferSize - *filled);
        if (n <= 0) return false;
        connection.NoteActivity();
        *filled += static_cast<size_t>(n);
    }
}

}  // namespace

void ClientSession(ConnectionPtr connection) {
    uint8_t buffer[kReceiveBufferSize] = {};
    size_t filled = 0;
    std::vector<uint8_t> payload;
    for (;;) {
        // A connection that the peer closed or reset ends without a log line.
        // It is closed here too, so that it no longer takes the device
        // messages: the newest page still open does.
        if (!ReceiveFrame(*connection, buffer, &filled)) {
            CloseConnection(*connection);
            break;
        }
        const int result = DecodeFrame(buffer, payload);
        if (result < 0 || payload.empty()) {
            if (result == -1) {
                WriteLog("recv message: ", "Disconnected");
                // The page is closing and reads nothing more; ending the
                // connection now spares it waiting for a close reply that
                // never comes. The next newest open connection takes the
                // device messages from now on.
                CloseConnection(*connection);
            }
            break;
        }
        // The next frame, or the part of it already received, moves to the
        // start; the rest of the buffer is zero as before a fresh receive.
        const size_t used = static_cast<size_t>(FrameSize(buffer, filled));
        memmove(buffer, buffer + used, filled - used);
        filled -= used;
        memset(buffer + filled, 0, kReceiveBufferSize - filled);

        // The payload is a C text: a NUL byte ends it.
        const char* bytes = reinterpret_cast<const char*>(payload.data());
        const std::string utf8Text(bytes, strnlen(bytes, payload.size()));
        std::string text = FromUtf8(utf8Text);
        const size_t lastBrace = text.rfind('}');
        text.resize(lastBrace == std::string::npos ? 0 : lastBrace + 1);
        WriteLog("recv message: ", text);

        // A connection that is not trusted is told so, and its command does
        // nothing, unless the person at the desk allows its site now.
        if (!AdmitCommand(connection)) continue;
        const JsonDocument document = ParseJson(text);
        DispatchCommand(GetMemberText(document, "typeName"), PrintMember(document, "message"),
                        utf8Text);
    }
    // The session lets go of the connection here. While it is still the
    // ActiveClient it stays open for the device messages; otherwise this was
    // the last holder and the descriptor is released.
}
