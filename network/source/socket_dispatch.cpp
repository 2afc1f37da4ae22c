// Server steps of the socket layer: the send walk over a server's clients, and the dispatch by
// server type to the protocol that owns the type.
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "pelarin/socket.h"

namespace {

constexpr int kBroadcastWaitMillis = 10005;
constexpr char kBroadcastInterface[] = "eth0";

std::atomic<const ServerProtocolOps*> g_protocols[kLastServerType + 1];

bool ValidType(uint32_t type) { return type >= kFirstServerType && type <= kLastServerType; }

}  // namespace

extern "C" {

pollfd* ServerPollSetEntry(ServerPollSet* ready, uint32_t slot) {
  if (ready == nullptr || slot >= kMaxClientsPerServer) return nullptr;
  const uint16_t position = ready->position_of_slot[slot];
  return position == kNoSlot || position >= ready->count ? nullptr : &ready->fds[position];
}

int ServerProtocolRegister(uint32_t server_type, const ServerProtocolOps* ops) {
  if (!ValidType(server_type)) return kQeltUnknownServerType;
  g_protocols[server_type].store(ops, std::memory_order_release);
  return kQeltOk;
}

const ServerProtocolOps* ServerProtocolFind(uint32_t server_type) {
  return ValidType(server_type) ? g_protocols[server_type].load(std::memory_order_acquire) : nullptr;
}

ServerSocketTable* GetServerSocketInfo(uint32_t server_type) {
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  return ops != nullptr && ops->get_table != nullptr ? ops->get_table() : nullptr;
}

int ServerRemoveClient(int server_fd, int fd, uint32_t server_type) {
  if (!ValidType(server_type)) return kQeltUnknownServerType;
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  if (ops == nullptr || ops->remove_client == nullptr) return kQeltNoServerSocket;
  return ops->remove_client(server_fd, fd);
}

int SendProcess(int /*server_fd*/, uint32_t server_type, ServerPollSet* ready) {
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  if (table == nullptr || ops == nullptr || ops->send_step == nullptr || ready == nullptr) return kQeltOk;
  uint32_t index = table->first_used;
  while (index != kNoSlot) {
    ClientSlot& slot = table->slots[index];
    const uint32_t next = slot.next;
    pollfd* entry = ServerPollSetEntry(ready, index);
    if (entry != nullptr && entry->fd == slot.fd && (entry->revents & POLLOUT) != 0) {
      const int rc = ops->send_step(&slot);
      if (rc != kQeltOk) return rc;
    }
    index = next;
  }
  return kQeltOk;
}

int BroadCastReceiveProcess(int fd, uint32_t port, uint8_t* buffer, uint32_t length) {
  if (buffer == nullptr) return kQeltNullArgument;
  ifreq request{};
  strncpy(request.ifr_name, kBroadcastInterface, IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFBRDADDR, &request) != 0) {
    Socketlog(2, "[Receive_packet]Get Ifr failed, Socket fd is %d, port is %d\n", fd, port);
    return kQeltOutOfMemory;
  }
  pollfd p{fd, POLLIN, 0};
  const int n = poll(&p, 1, kBroadcastWaitMillis);
  if (n < 0) {
    Socketlog(2, "[Receive_packet] BroadCastReceiveProcess Select failed, socket fd: %d, errno=%d\n", fd, errno);
    return kQeltSelectFailed;
  }
  if (n == 0) return kQeltSelectTimeout;
  Socketlog(0, "[Receive_packet]Client Broadcast begind receive data, socket fd: %d\n", fd);
  const ssize_t received = recvfrom(fd, buffer, length, 0, nullptr, nullptr);
  if (received < 0) return SocketGetErrorCode();
  Socketlog(0, "[Receive_packet]Receive ack, data length: %d\n", static_cast<int>(received));
  return kQeltOk;
}

}  // extern "C"
