// The control endpoint of the demo: accepts connections on a loopback port,
// answers plain HTTP requests with the page files and turns WebSocket
// connections into control clients. Each control client has a reader thread
// (its messages, applied in order) and a writer thread fed by a queue, so the
// service's threads that raise device events never wait for a slow client.
#include "demo/control.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "devices/virtual_pad/virtual_pad.h"
#include "link/frame.h"
#include "link/handshake.h"
#include "platform/platform.h"

namespace demo {

namespace {

constexpr size_t kMaxRequestHeader = 8192;
constexpr size_t kMaxMessage = 64 * 1024;
// A client that lets this much pile up unread is dropped rather than let the
// demo's memory grow.
constexpr size_t kMaxQueuedBytes = 8 * 1024 * 1024;
constexpr int kMaxConnections = 64;
constexpr int kRequestTimeoutMs = 10000;
constexpr int kSendTimeoutMs = 10000;

enum Opcode : uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
    // Not a frame: bytes sent as they are (the handshake's answer).
    kRawBytes = 0xFF,
};

// Payloads of the close frames the endpoint sends: status 1002 (protocol
// error) and 1009 (message too big), big-endian.
const std::string kProtocolError("\x03\xea", 2);
const std::string kMessageTooBig("\x03\xf1", 2);

struct OutgoingFrame {
    uint8_t opcode;
    std::string payload;
};

struct ControlClient {
    explicit ControlClient(platform::Socket s) : socket(s) {}
    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    const platform::Socket socket;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<OutgoingFrame> outgoing;  // guarded by lock
    size_t queuedBytes = 0;              // guarded by lock
    bool closing = false;                // guarded by lock: nothing more is queued
    bool writerDone = false;             // guarded by lock
};
using ClientPtr = std::shared_ptr<ControlClient>;

std::string gWebDirectory;  // written once before the accept thread starts
ReaderControls gReader;     // likewise
std::atomic<int> gConnections{0};

std::mutex gClientsLock;
std::vector<ClientPtr> gClients;  // guarded by gClientsLock

// ---- Sending ---------------------------------------------------------------

void Enqueue(const ClientPtr& client, uint8_t opcode, std::string payload) {
    std::lock_guard<std::mutex> hold(client->lock);
    if (client->closing) return;
    if (client->queuedBytes + payload.size() > kMaxQueuedBytes) {
        client->closing = true;
        client->outgoing.clear();
        platform::Shutdown(client->socket);
    } else {
        client->queuedBytes += payload.size();
        client->outgoing.push_back(OutgoingFrame{opcode, std::move(payload)});
    }
    client->wake.notify_all();
}

void Broadcast(const std::string& text) {
    std::vector<ClientPtr> clients;
    {
        std::lock_guard<std::mutex> hold(gClientsLock);
        clients = gClients;
    }
    for (const ClientPtr& client : clients) Enqueue(client, kText, text);
}

// Close and pong frames: at most 125 bytes of payload, so a two-byte header.
bool SendControlFrame(platform::Socket socket, uint8_t opcode, const std::string& payload) {
    std::string frame;
    frame += static_cast<char>(0x80 | opcode);
    frame += static_cast<char>(std::min<size_t>(payload.size(), 125));
    frame.append(payload, 0, 125);
    return platform::SendAll(socket, frame.data(), frame.size());
}

void WriterThread(const ClientPtr& client) {
    std::unique_lock<std::mutex> hold(client->lock);
    for (;;) {
        client->wake.wait(hold, [&] { return client->closing || !client->outgoing.empty(); });
        if (client->outgoing.empty()) break;  // closing, and everything went out
        OutgoingFrame frame = std::move(client->outgoing.front());
        client->outgoing.pop_front();
        client->queuedBytes -= frame.payload.size();
        hold.unlock();
        bool sent;
        if (frame.opcode == kRawBytes) {
            sent = platform::SendAll(client->socket, frame.payload.data(), frame.payload.size());
        } else if (frame.opcode == kText) {
            sent = SendTextFrame(client->socket, frame.payload);
        } else {
            sent = SendControlFrame(client->socket, frame.opcode, frame.payload);
        }
        hold.lock();
        if (!sent) {
            // The stream is broken part-way: nothing more can be sent, and the
            // reader wakes from its receive and ends the connection.
            client->closing = true;
            client->outgoing.clear();
            client->queuedBytes = 0;
            platform::Shutdown(client->socket);
            break;
        }
    }
    client->writerDone = true;
    client->wake.notify_all();
}

// ---- Device events -------------------------------------------------------

void OnReaderOpenChanged(int open, void*) {
    Broadcast(ReaderEvent(open != 0));
}

void HookDeviceEvents() {
    vpad::Observer observer;
    observer.onFeature = [](const vpad::FeatureReport& report) {
        Broadcast(FeatureEvent(report.bytes, report.accepted));
    };
    observer.onOpenChanged = [](bool open) { Broadcast(PadEvent(open)); };
    vpad::SetObserver(observer);
    if (gReader.setObserver) gReader.setObserver(OnReaderOpenChanged, nullptr);
}

// ---- WebSocket session -----------------------------------------------------

void HandleControlText(const ClientPtr& client, const std::string& text) {
    ControlAction action;
    std::string error;
    if (!ParseControlMessage(text, action, error) || !ApplyControlAction(action, error)) {
        Enqueue(client, kText, ErrorEvent(error));
    }
}

uint64_t BigEndian(const uint8_t* bytes, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

// Reads frames until the peer closes, the connection fails or the peer breaks
// the protocol. Messages are handled one after another, in order.
void ReadFrames(const ClientPtr& client) {
    std::vector<uint8_t> inbox;
    std::string message;  // a text message being assembled from fragments
    bool inMessage = false;
    uint8_t messageOpcode = kText;
    uint8_t chunk[4096];
    for (;;) {
        // Take every complete frame in the inbox.
        for (;;) {
            if (inbox.size() < 2) break;
            const bool fin = (inbox[0] & 0x80) != 0;
            const uint8_t opcode = inbox[0] & 0x0F;
            const bool masked = (inbox[1] & 0x80) != 0;
            uint64_t length = inbox[1] & 0x7F;
            size_t header = 2;
            if (length == 126) header = 4;
            if (length == 127) header = 10;
            if (inbox.size() < header) break;
            if (header == 4) length = BigEndian(&inbox[2], 2);
            if (header == 10) length = BigEndian(&inbox[2], 8);
            const bool control = (opcode & 0x8) != 0;
            // Clients must mask; reserved bits and oversized control frames
            // are protocol errors (close code 1002); messages have a cap (1009).
            if (!masked || (inbox[0] & 0x70) != 0 || (control && (!fin || length > 125))) {
                Enqueue(client, kClose, kProtocolError);
                return;
            }
            if (length > kMaxMessage || message.size() + length > kMaxMessage) {
                Enqueue(client, kClose, kMessageTooBig);
                return;
            }
            if (inbox.size() < header + 4 + length) break;
            const uint8_t* key = &inbox[header];
            std::string payload(static_cast<size_t>(length), '\0');
            for (size_t i = 0; i < length; ++i) {
                payload[i] = static_cast<char>(inbox[header + 4 + i] ^ key[i % 4]);
            }
            inbox.erase(inbox.begin(), inbox.begin() + static_cast<long>(header + 4 + length));

            if (opcode == kClose) {
                Enqueue(client, kClose, payload.substr(0, 2));
                return;
            }
            if (opcode == kPing) {
                Enqueue(client, kPong, payload);
                continue;
            }
            if (opcode == kPong) continue;
            if (opcode == kText || opcode == kBinary) {
                if (inMessage) {
                    Enqueue(client, kClose, kProtocolError);
                    return;
                }
                inMessage = true;
                messageOpcode = opcode;
                message = payload;
            } else if (opcode == kContinuation && inMessage) {
                message += payload;
            } else {
                Enqueue(client, kClose, kProtocolError);
                return;
            }
            if (fin) {
                inMessage = false;
                if (messageOpcode == kText) {
                    HandleControlText(client, message);
                } else {
                    Enqueue(client, kText, ErrorEvent("control messages are JSON text frames"));
                }
                message.clear();
            }
        }
        long received = platform::Receive(client->socket, chunk, sizeof chunk);
        if (received <= 0) return;
        inbox.insert(inbox.end(), chunk, chunk + received);
    }
}

// Serves a control connection whose request was accepted; `answer` is the
// handshake's answer. The client counts among those that get every event
// before the answer goes out, so one that holds its answer misses none of the
// events that follow, and every event goes out behind the answer.
void RunControlClient(platform::Socket socket, std::string answer) {
    auto client = std::make_shared<ControlClient>(socket);
    client->queuedBytes = answer.size();
    client->outgoing.push_back(OutgoingFrame{kRawBytes, std::move(answer)});
    {
        std::lock_guard<std::mutex> hold(gClientsLock);
        gClients.push_back(client);
    }
    auto forget = [&client] {
        std::lock_guard<std::mutex> hold(gClientsLock);
        gClients.erase(std::remove(gClients.begin(), gClients.end(), client), gClients.end());
    };
    if (!platform::StartDetachedThread([client] { WriterThread(client); })) {
        forget();
        platform::CloseSocket(socket);
        return;
    }
    ReadFrames(client);
    forget();
    // Let the writer send what is queued (a close frame, perhaps), then end it;
    // the send timeout bounds how long a peer that stops reading can hold it.
    std::unique_lock<std::mutex> hold(client->lock);
    client->closing = true;
    client->wake.notify_all();
    client->wake.wait(hold, [&] { return client->writerDone; });
    hold.unlock();
    platform::Shutdown(socket);
    platform::CloseSocket(socket);
}

// ---- HTTP ------------------------------------------------------------------

struct Request {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string Header(const Request& request, const std::string& name) {
    for (const auto& header : request.headers) {
        if (header.first == name) return header.second;
    }
    return "";
}

bool HasHeader(const Request& request, const std::string& name) {
    for (const auto& header : request.headers) {
        if (header.first == name) return true;
    }
    return false;
}

bool ReadRequest(platform::Socket socket, Request& request) {
    std::string text;
    char chunk[1024];
    while (text.find("\r\n\r\n") == std::string::npos) {
        if (text.size() > kMaxRequestHeader) return false;
        long received = platform::Receive(socket, chunk, sizeof chunk);
        if (received <= 0) return false;
        text.append(chunk, static_cast<size_t>(received));
    }
    text.resize(text.find("\r\n\r\n"));
    std::istringstream lines(text);
    std::string line;
    std::getline(lines, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream first(line);
    std::string version;
    first >> request.method >> request.path >> version;
    if (request.method.empty() || request.path.empty() || version.rfind("HTTP/", 0) != 0) {
        return false;
    }
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        request.headers.emplace_back(Lower(Trim(line.substr(0, colon))),
                                     Trim(line.substr(colon + 1)));
    }
    return true;
}

void SendResponse(platform::Socket socket, const std::string& status, const std::string& type,
                  const std::string& body, bool withBody, const std::string& extra = "") {
    std::string response = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                           "\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nCache-Control: no-store"
                           "\r\nX-Content-Type-Options: nosniff"
                           "\r\nConnection: close\r\n" +
                           extra + "\r\n";
    if (withBody) response += body;
    platform::SendAll(socket, response.data(), response.size());
}

void SendError(platform::Socket socket, const std::string& status, bool withBody,
               const std::string& extra = "") {
    SendResponse(socket, status, "text/plain; charset=utf-8", status + "\n", withBody, extra);
}

// The page's files: a fixed list, so no request can name anything else.
struct PageFile {
    const char* path;
    const char* file;
    const char* type;
};
constexpr PageFile kPageFiles[] = {
    {"/", "index.html", "text/html; charset=utf-8"},
    {"/index.html", "index.html", "text/html; charset=utf-8"},
    {"/penmora.js", "penmora.js", "text/javascript; charset=utf-8"},
    {"/demo.js", "demo.js", "text/javascript; charset=utf-8"},
    {"/demo.css", "demo.css", "text/css; charset=utf-8"},
};

void ServeFile(platform::Socket socket, const Request& request) {
    const bool head = request.method == "HEAD";
    if (request.method != "GET" && !head) {
        SendError(socket, "405 Method Not Allowed", true, "Allow: GET, HEAD\r\n");
        return;
    }
    const std::string path = request.path.substr(0, request.path.find('?'));
    for (const PageFile& page : kPageFiles) {
        if (path != page.path) continue;
        std::ifstream in(platform::FileSystemPath(gWebDirectory + "/" + page.file),
                         std::ios::binary);
        std::ostringstream body;
        body << in.rdbuf();
        if (!in) {
            SendError(socket, "500 Internal Server Error", !head);
            return;
        }
        SendResponse(socket, "200 OK", page.type, body.str(), !head);
        return;
    }
    SendError(socket, "404 Not Found", !head);
}

// Pages of other sites must not drive the pad: only pages served from this
// machine's loopback names may open a control connection. Clients that are
// not browsers send no Origin at all.
bool OriginAllowed(const Request& request) {
    if (!HasHeader(request, "origin")) return true;
    std::string origin = Lower(Header(request, "origin"));
    for (const char* scheme : {"http://", "https://"}) {
        if (origin.rfind(scheme, 0) != 0) continue;
        std::string host = origin.substr(std::string(scheme).size());
        for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) {
            std::string n(name);
            if (host == n || host.rfind(n + ":", 0) == 0) return true;
        }
    }
    return false;
}

bool IsUpgrade(const Request& request) {
    return Lower(Header(request, "upgrade")).find("websocket") != std::string::npos;
}

void HandleConnection(platform::Socket socket) {
    platform::SetReceiveTimeout(socket, kRequestTimeoutMs);
    platform::SetSendTimeout(socket, kSendTimeoutMs);
    Request request;
    if (!ReadRequest(socket, request)) {
        SendError(socket, "400 Bad Request", true);
    } else if (!IsUpgrade(request)) {
        ServeFile(socket, request);
    } else if (request.method != "GET" || !OriginAllowed(request)) {
        SendError(socket, "403 Forbidden", true);
    } else if (Header(request, "sec-websocket-version") != "13") {
        SendError(socket, "426 Upgrade Required", true, "Sec-WebSocket-Version: 13\r\n");
    } else {
        const std::string key = Header(request, "sec-websocket-key");
        const std::string response = BuildHandshakeResponse("Sec-WebSocket-Key: " + key);
        if (key.size() != 24 || response.empty()) {
            SendError(socket, "400 Bad Request", true);
        } else {
            platform::SetReceiveTimeout(socket, 0);
            RunControlClient(socket, response);  // closes the socket
            return;
        }
    }
    platform::Shutdown(socket);
    platform::CloseSocket(socket);
}

void AcceptLoop(platform::Socket listener) {
    for (;;) {
        platform::Socket socket = platform::Accept(listener);
        if (socket == platform::kInvalidSocket) {
            // Out of descriptors, for instance: try again a little later
            // rather than spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (gConnections.fetch_add(1) >= kMaxConnections) {
            gConnections.fetch_sub(1);
            platform::CloseSocket(socket);
            continue;
        }
        bool started = platform::StartDetachedThread([socket] {
            HandleConnection(socket);
            gConnections.fetch_sub(1);
        });
        if (!started) {
            gConnections.fetch_sub(1);
            platform::CloseSocket(socket);
        }
    }
}

}  // namespace

bool ApplyControlAction(const ControlAction& action, std::string& error) {
    switch (action.kind) {
        case ControlAction::kReport:
            vpad::QueueReport(action.report);
            return true;
        case ControlAction::kPen:
            vpad::QueuePen(action.x, action.y, action.pressure);
            return true;
        case ControlAction::kButton:
            vpad::QueueButton(action.word);
            return true;
        case ControlAction::kRefuse:
            vpad::SetRefusedCommands(action.refused);
            return true;
        case ControlAction::kPlugged:
            vpad::SetPlugged(action.plugged);
            return true;
        case ControlAction::kFinger:
            if (action.word == "place" || action.word == "lift") {
                if (gReader.setFinger == nullptr) break;
                gReader.setFinger(action.word == "place" ? 1 : 0);
            } else {
                if (gReader.setOpenFails == nullptr) break;
                gReader.setOpenFails(action.word == "absent" ? 1 : 0);
            }
            return true;
    }
    error = "the virtual reader's library is not loaded";
    return false;
}

uint16_t StartControlEndpoint(const char* address, uint16_t port, const std::string& webDirectory,
                              const ReaderControls& reader) {
    platform::Socket listener = platform::Listen(address, port, 16);
    if (listener == platform::kInvalidSocket) return 0;
    gWebDirectory = webDirectory;
    gReader = reader;
    HookDeviceEvents();
    if (!platform::StartDetachedThread([listener] { AcceptLoop(listener); })) {
        platform::CloseSocket(listener);
        return 0;
    }
    return platform::LocalPort(listener);
}

}  // namespace demo
