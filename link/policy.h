// The socket-policy responder on port 843.
#pragma once

#include <cstddef>

#include "platform/platform.h"

constexpr unsigned short PolicyPort = 843;

// The one policy the responder gives: every domain may reach every port. It is
// sent with its terminating NUL, PolicyAnswerSize (90) bytes in all.
extern const char PolicyText[];
constexpr size_t PolicyAnswerSize = 90;

// The body of the policy thread: answers policy requests on the PolicyListener
// for the life of the process; never returns. When the listener could not be
// opened, the thread waits idle.
[[noreturn]] void AnswerPolicyRequests();

// Serves policy connections on `listener` (already listening) forever: reads
// one request from each connection, answers it when it holds
// "<policy-file-request/>", and closes the connection after that receive or
// after a few seconds of silence. Many connections are served at once, so a
// silent one never holds up the next. Returns at once for kInvalidSocket.
void ServePolicyConnections(platform::Socket listener);
