// The listening sockets, the accept thread with its handshakes, and the
// ActiveClient, to which every message from the pad or the reader goes: the
// connection that completed its handshake last, and when that one closes, the
// newest connection that is still open.
#pragma once

#include <cstdint>

#include "link/connection.h"
#include "platform/platform.h"

constexpr uint16_t ClientPort = 10001;

// Opens the listener for `port` with a backlog of 255: the PolicyListener for
// the policy port, the ClientListener for any other. It listens on loopback
// (127.0.0.1), or on every interface (0.0.0.0) when IT's list of allowed
// hosts names any. True when it listens.
bool OpenListener(uint16_t port);

enum class ListenerKind { Client, Policy };
// The same on a chosen address (tests use "127.0.0.1" and port 0 for a free
// port). Replaces the listener of that kind, which is never closed.
bool OpenListenerOn(ListenerKind kind, const char* address, uint16_t port);

// Gives a connection its facts (who `peer` is, the Origin of `request`, the
// connection's first receive) and its verdict under the lists as they are now.
void JudgeConnection(Connection& connection, const platform::PeerIdentity& peer,
                     const std::string& request);
// Judges a connection again under the lists as they are now (the person at
// the desk may have answered for its site). Once trusted, it takes the device
// messages as if it had been trusted from its handshake.
void RejudgeConnection(const ConnectionPtr& connection);
// Trusts a connection from now on (the person allowed its site), with the
// same effect.
void TrustConnection(const ConnectionPtr& connection);

platform::Socket ClientListenerSocket();
platform::Socket PolicyListenerSocket();

// The body of the accept thread: serves the ClientListener for the life of
// the process, or returns at once when it could not be opened. The thread
// itself waits for the requests of up to 16 new connections at once (each has
// a time limit, so a silent peer holds up nobody; one more gives up the
// oldest), answers each, makes it the ActiveClient and starts its
// ClientSession on a thread of its own. At most 256 page connections stay
// open: one more closes the one idle longest that is not the ActiveClient.
void AcceptClients();

// The current ActiveClient, or null before the first handshake. When the
// ActiveClient has closed (its page went, "TavoCloseSocket", a stall, the
// connection cap), the newest open connection becomes the ActiveClient here;
// a closed connection is never chosen. With no connection open it stays the
// closed one, which drops what is sent to it.
ConnectionPtr ActiveClient();

// Tests: forget the ActiveClient, as before the first handshake.
void ResetActiveClientForTests();
