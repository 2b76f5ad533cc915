// The socket-policy responder on port 843.
#pragma once

constexpr unsigned short PolicyPort = 843;

// The body of the policy thread: answers policy requests forever.
void AnswerPolicyRequests();
