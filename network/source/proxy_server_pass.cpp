// The server pass shared by every server thread: wait for readiness, accept one client, receive
// from the readable clients, run the protocol's send step for the writable ones.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "pelarin/proxy.h"

namespace {

constexpr int kPassWaitMillis = 1;
constexpr useconds_t kPassPauseMicros = 3 * 1000;

bool ValidType(uint32_t type) { return type >= kFirstServerType && type <= kLastServerType; }

// One readiness set per server type: each type has exactly one thread running its passes.
ServerPollSet g_ready[kLastServerType + 1];

}  // namespace

extern "C" {

int NewClientProcess(int server_fd, uint32_t server_type, int* max_fd) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  const int fd = accept4(server_fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) {
    Qeltmlog(2, "[Proxy]Accept failed, socket fd: %d\n", server_fd);
    return SocketGetErrorCode();
  }
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  Qeltmlog(0, "Receive new client, client address: %s, port: %d\n", address, ntohs(peer.sin_port));
  const int rc = ServerProxyAddClient(server_fd, fd, server_type);
  if (rc == kQeltOk) {
    Qeltmlog(0, "[Proxy]Receive new connect, server socket fd: %d, client socket fd %d, ServerType %d\n", server_fd,
             fd, server_type);
    if (max_fd != nullptr && fd > *max_fd) *max_fd = fd;
  } else {
    if (rc == kQeltNoServerSocket) {
      Qeltmlog(2, "[Proxy]Server socket is no exist, server socket is %d, ServerType %d\n", server_fd, server_type);
    } else if (rc == kQeltServerFull) {
      Qeltmlog(2, "[Proxy]Reach max connect: server socket fd: %d, client sock fd is %d, ServerType %d\n", server_fd,
               fd, server_type);
    }
    close(fd);  // a socket the table refused is served by nobody
  }
  ServerProxyShowClient(server_type);
  return rc;
}

void ServerProxyProcess(uint32_t server_type) {
  if (!ValidType(server_type)) return;
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  const int server_fd = SocketGetServerSocketFD(table);
  if (table == nullptr || server_fd == 0) {
    Qeltmlog(2, "[Proxy]Socket server no exist,server type: %d, return code:%d\n", server_type, kQeltNoServerSocket);
    usleep(kPassWaitMillis * 1000);  // a pass never spins: it waits as long as its poll would
    return;
  }
  int max_fd = table->max_fd;
  // Descriptors of any size: poll, not select. Clients are watched for writing only when the
  // protocol has something to send.
  ServerPollSet* ready = &g_ready[server_type];
  const short events = ops->send_step != nullptr ? (POLLIN | POLLOUT) : POLLIN;
  SocketPollSetBuild(table, ready, events);
  const int n = poll(ready->fds, ready->count, kPassWaitMillis);
  if (n < 0) {
    if (errno != EINTR) Qeltmlog(2, "[Proxy] ServerProxyProcess Select failed, socket fd: %d, errno=%d\n", server_fd, errno);
    return;
  }
  if (n == 0) return;
  if ((ready->fds[0].revents & POLLIN) != 0) {
    NewClientProcess(server_fd, server_type, &max_fd);
    if (max_fd > table->max_fd) table->max_fd = max_fd;
    return;  // the clients are served in the next pass
  }
  RecvProcess(server_fd, server_type, ready);
  if (SendProcess(server_fd, server_type, ready) != kQeltOk) return;
  usleep(kPassPauseMicros);
}

int ServerProxyAddClient(int server_fd, int fd, uint32_t server_type) {
  if (!ValidType(server_type)) return kQeltUnknownServerType;
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  if (ops == nullptr || ops->add_client == nullptr) return kQeltNoServerSocket;
  return ops->add_client(server_fd, fd);
}

int ServerProxyShowClient(uint32_t server_type) {
  if (!ValidType(server_type)) return kQeltUnknownServerType;
  const ServerProtocolOps* ops = ServerProtocolFind(server_type);
  return ops != nullptr && ops->show_clients != nullptr ? ops->show_clients() : kQeltOk;
}

int ServerProxyGetServerSocketFD(uint32_t server_type, int* fd) {
  if (!ValidType(server_type)) return kQeltUnknownServerType;
  ServerSocketTable* table = GetServerSocketInfo(server_type);
  if (table == nullptr) return kQeltNoServerSocket;
  if (fd != nullptr) *fd = table->server_fd;
  return kQeltOk;
}

int ServerProxyGetMaxFd(uint32_t server_type, int* fd) {
  if (!ValidType(server_type)) return kQeltUnknownServerType;
  return GetMaxFdByServerSocket(GetServerSocketInfo(server_type), fd);
}

int ServerProxyGetFdSet(uint32_t server_type, fd_set* read_set, fd_set* write_set) {
  if (!ValidType(server_type)) return kQeltUnknownServerType;
  return GetFdSetByServerSocket(GetServerSocketInfo(server_type), read_set, write_set);
}

}  // extern "C"
