// Whole packets that a server's receive step left in its clients' buffers for the next pass.
#pragma once

#include <chrono>
#include <cstdint>

namespace pelarin {

// The protocol work one connection gets in one pass: its whole packets are handed on until this
// much time has gone (one at least), so that a peer's burst of joined requests leaves the server's
// thread to its other clients, and its passes (which the service's heartbeat counts) go on.
constexpr std::chrono::milliseconds kConnectionWorkPerPass{5};

// True when the last receive step of `server_type` left whole packets in a client's buffer (the
// connection had used its share of that pass): the next pass serves them without waiting for
// the sockets, and the thread takes no pause before it.
bool ServerBacklogWaiting(uint32_t server_type);

}  // namespace pelarin
