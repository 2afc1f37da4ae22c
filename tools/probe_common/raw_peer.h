// A raw TCP peer of the camera's ports, for the probe tools: connect and send whole buffers.
#pragma once

#include <cstdint>
#include <vector>

namespace probe {

// A blocking connection to ADDRESS:PORT (receive buffer of `receive_buffer` bytes where above 0), or -1.
int Connect(const char* address, int port, int receive_buffer = 0);
// Sends every byte; false when the connection failed first.
bool SendAll(int fd, const std::vector<uint8_t>& bytes);

}  // namespace probe
