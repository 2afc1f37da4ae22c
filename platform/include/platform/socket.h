// Socket classes: abstract communication and socket bases, and a Linux implementation over BSD sockets.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "platform/result.h"

// The system's own enumerations, mapped to Linux values by BaseSocket.
constexpr int kSocketFamilyIPv4 = 0;
constexpr int kSocketFamilyIPv6 = 1;
constexpr int kSocketFamilyUnix = 2;
constexpr int kSocketTypeStream = 0;
constexpr int kSocketTypeDatagram = 1;
constexpr int kSocketProtocolDefault = 0;
constexpr int kSocketProtocolTcp = 1;
constexpr int kSocketProtocolUdp = 2;
// Shutdown directions; anything else shuts both.
constexpr int kSocketShutdownReceive = 0;
constexpr int kSocketShutdownSend = 1;
// SetOption levels and options.
constexpr int kSocketLevelSocket = 1;
constexpr int kSocketLevelTcp = 2;
constexpr int kSocketOptionNonBlocking = 1;
constexpr int kSocketOptionSendTimeout = 2;
constexpr int kSocketOptionReceiveTimeout = 3;
constexpr int kSocketOptionSendBuffer = 4;
constexpr int kSocketOptionReceiveBuffer = 5;
constexpr int kSocketOptionReuseAddress = 6;
constexpr int kSocketOptionLinger = 7;
constexpr int kSocketOptionBroadcast = 8;
constexpr int kSocketOptionNoDelay = 100;

class BaseCommunication {
 public:
  virtual ~BaseCommunication();
  virtual Result Close();
  virtual Result Send(const void* data, std::size_t length, int flags, std::size_t* bytes_sent);
  virtual Result Recv(void* buffer, std::size_t size, int flags, std::size_t* bytes_received);
  virtual Result SendTo(const void* data, std::size_t length, int flags, const sockaddr* address,
                        socklen_t address_length, std::size_t* bytes_sent);
  virtual Result RecvFrom(void* buffer, std::size_t size, int flags, sockaddr* address,
                          socklen_t* address_length, std::size_t* bytes_received);
  virtual int GetHandle();
};

class BaseSocket : public BaseCommunication {
 public:
  ~BaseSocket() override;
  virtual Result Shutdown(int direction);
  virtual Result Create(int family, int type, int protocol);
  virtual Result Bind(const sockaddr* address, socklen_t address_length);
  virtual Result SetHandle(int descriptor);
  virtual Result Listen(int backlog);
  virtual Result Accept(BaseSocket* peer);
  virtual Result Connect(const sockaddr* address, socklen_t address_length);
  virtual Result SetOption(int level, int option, const void* value, socklen_t length);
  virtual Result GetOption(int level, int option, void* value, socklen_t* length);

  static int ToAddressFamily(int family);
  static int ToSocketType(int type);
  static int ToProtocol(int protocol);
};

class LinuxSocket : public BaseSocket {
 public:
  LinuxSocket();
  // Does not close the descriptor: the owner calls Close first.
  ~LinuxSocket() override;

  // Closes the descriptor; it is forgotten after any attempt, successful or not.
  Result Close() override;
  Result Send(const void* data, std::size_t length, int flags, std::size_t* bytes_sent) override;
  Result Recv(void* buffer, std::size_t size, int flags, std::size_t* bytes_received) override;
  Result SendTo(const void* data, std::size_t length, int flags, const sockaddr* address,
                socklen_t address_length, std::size_t* bytes_sent) override;
  Result RecvFrom(void* buffer, std::size_t size, int flags, sockaddr* address, socklen_t* address_length,
                  std::size_t* bytes_received) override;
  int GetHandle() override;
  Result Shutdown(int direction) override;
  Result Create(int family, int type, int protocol) override;
  Result Bind(const sockaddr* address, socklen_t address_length) override;
  Result SetHandle(int descriptor) override;
  Result Listen(int backlog) override;
  // Accepts one connection, keeps the peer's address here and hands the descriptor to peer.
  Result Accept(BaseSocket* peer) override;
  Result Connect(const sockaddr* address, socklen_t address_length) override;
  Result SetOption(int level, int option, const void* value, socklen_t length) override;
  Result GetOption(int level, int option, void* value, socklen_t* length) override;

 private:
  int descriptor_;
  sockaddr_in peer_address_;
};
