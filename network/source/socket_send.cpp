// Sending: one buffer with bounded retries, large buffers in pieces, broadcast datagrams.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "log_limit.h"
#include "pelarin/socket.h"

namespace {

constexpr int kPartialRetries = 3;
constexpr int kZeroSendRetries = 3;
constexpr int kBroadcastSends = 4;
constexpr char kBroadcastInterface[] = "eth0";

}  // namespace

namespace pelarin {

int SendInPieces(int fd, const uint8_t* buffer, uint32_t length, uint32_t* sent, SendPieceFunc send_piece) {
  uint32_t total = 0;
  while (total < length) {
    const uint32_t piece = length - total < kSendPieceBytes ? length - total : kSendPieceBytes;
    uint32_t piece_sent = 0;
    const int rc = send_piece(fd, buffer + total, piece, &piece_sent);
    total += piece_sent;
    // A partly sent piece means the socket is full: going on would tear the stream.
    if (rc != kQeltOk || piece_sent < piece) {
      *sent = total;
      return rc;
    }
  }
  *sent = total;
  return kQeltOk;
}

}  // namespace pelarin

extern "C" {

int SocketSendBuffer(int fd, const uint8_t* buffer, uint32_t length, uint32_t* sent) {
  if (buffer == nullptr || sent == nullptr) return kQeltNullArgument;
  ssize_t n = send(fd, buffer, length, MSG_NOSIGNAL);
  if (n < 0) {
    const int rc = SocketGetErrorCode();
    QELTM_LOG_LIMITED(2, "[Send_Packet]Send buffer failed socket fd: %d, error: %d\n", fd, rc);
    *sent = 0;
    return rc;
  }
  uint32_t total = static_cast<uint32_t>(n);
  int partial_retries = 0;
  int zero_retries = 0;
  while (total > 0 && total < length && partial_retries < kPartialRetries) {
    n = send(fd, buffer + total, length - total, MSG_NOSIGNAL);
    if (n < 0) {
      const int rc = SocketGetErrorCode();
      *sent = total;
      if (rc == kQeltWouldBlock) return kQeltOk;  // socket full: the caller resumes from `sent`
      QELTM_LOG_LIMITED(2,
                        "[Send_Packet]Send buffer failed: Retry send time: %d,socket fd: %d, error: %d, SendSize:%d\n",
                        partial_retries, fd, rc, total);
      return rc;
    }
    if (n == 0) {
      if (++zero_retries > kZeroSendRetries) break;
      continue;
    }
    total += static_cast<uint32_t>(n);
    ++partial_retries;
    QELTM_LOG_LIMITED(0,
                      "[Send_Packet]Retry send buffer, already send size: %d,total buffer size:%d,remain buffer "
                      "size:%d,time:  %d,socket fd: %d,\n",
                      total, length, length - total, partial_retries, fd);
  }
  *sent = total;
  return kQeltOk;
}

int SendPacketFragment(int fd, const uint8_t* buffer, uint32_t length, uint32_t* sent) {
  if (buffer == nullptr || sent == nullptr) return kQeltNullArgument;
  if (length < kSendPieceBytes) return SocketSendBuffer(fd, buffer, length, sent);
  return pelarin::SendInPieces(fd, buffer, length, sent, SocketSendBuffer);
}

int SendBroadCastPacket(int fd, uint32_t port, const uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return kQeltNullArgument;
  ifreq request{};
  strncpy(request.ifr_name, kBroadcastInterface, IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFBRDADDR, &request) != 0) {
    Socketlog(2, "[Send_Packet]Get ifr failed, Socket fd is %d, port is %d\n", fd, port);
    return kQeltOutOfMemory;
  }
  sockaddr_in to;
  memcpy(&to, &request.ifr_broadaddr, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  for (int attempt = 0; attempt < kBroadcastSends; ++attempt) {
    const ssize_t n = sendto(fd, buffer, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    Socketlog(0, "[Send_Packet]Send broadcast, packet size : %d\n, alreay send %d\n", length, static_cast<int>(n));
    if (n == static_cast<ssize_t>(length)) return kQeltOk;
  }
  Socketlog(2, "[Send_Packet]Send broadcast failed\n");
  return kQeltHeadTooShort;
}

}  // extern "C"
