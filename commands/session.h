// The receive loop of one WebSocket connection.
#pragma once

#include "link/connection.h"

// Receives one frame at a time, logs each command text and dispatches it,
// until the page closes, the connection ends or a frame does not fit the
// receive buffer. Runs on the connection's own thread.
void ClientSession(ConnectionPtr connection);
