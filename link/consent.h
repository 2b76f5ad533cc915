// The commands of connections that are not trusted: refused with
// "TavoDenied", or, for a site nobody has answered for yet, held while the
// person at the desk is asked once whether it may use the devices.
#pragma once

#include "link/connection.h"

// How long the person has to answer before the site is blocked for now.
constexpr int kSiteQuestionTimeoutMs = 60000;

// Called by a connection's session for each command when the connection is
// not trusted. True when the command may go ahead after all: the person at
// the desk has just allowed its site (the connection is trusted from now on).
// Otherwise the connection has been sent "TavoDenied" and the refusal is
// logged, once per connection. While the person is asked, only the calling
// session waits; every connection of the same site waits for the one
// question.
bool AdmitCommand(const ConnectionPtr& connection);

// Tests: the question's time limit (kSiteQuestionTimeoutMs by default).
void SetSiteQuestionTimeoutForTests(int milliseconds);
