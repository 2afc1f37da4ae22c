// The heartbeat client: one UDP datagram to the watchdog proving that the pipeline is alive.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

#include "platform/result.h"
#include "platform/socket.h"

// The datagram: 16 zero bytes, the sender's process id (little-endian), the application name.
constexpr std::size_t kHeartbeatDatagramBytes = 4116;
constexpr std::size_t kHeartbeatProcessIdOffset = 16;
constexpr std::size_t kHeartbeatProcessNameOffset = 20;
constexpr std::size_t kHeartbeatProcessNameBytes = 4096;

class HeartbeatClient {
 public:
  HeartbeatClient();
  ~HeartbeatClient();
  HeartbeatClient(const HeartbeatClient&) = delete;
  HeartbeatClient& operator=(const HeartbeatClient&) = delete;

  // Binds a UDP socket (address reuse on) to the local address and remembers the destination and
  // the name. An address that is not dotted IPv4 text is refused with RESULT_INVALID_ARGUMENT and
  // a log line; any failure leaves the socket closed.
  Result Open(const char* local_address, unsigned local_port, const char* destination_address,
              unsigned destination_port, const char* application_name);
  // Sends one datagram; the status of the send, nothing retried.
  Result Send();
  Result Close();

  // The datagram Send puts on the wire (kHeartbeatDatagramBytes); the name is cut to its field.
  static void BuildDatagram(int process_id, const std::string& application_name, unsigned char* datagram);

 private:
  LinuxSocket socket_;
  sockaddr_in destination_;
  socklen_t destination_length_;
  std::string application_name_;
};
