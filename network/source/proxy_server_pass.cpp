// The server pass shared by every server thread: wait for readiness, accept one client, receive
// from the readable clients, run the protocol's send step for the writable ones.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "log_limit.h"
#include "pelarin/proxy.h"
#include "receive_backlog.h"

namespace {

constexpr int kPassWaitMillis = 1;
constexpr useconds_t kPassPauseMicros = 3 * 1000;
// Connections taken from the listener in one pass: a flood of connections waits its turn
// instead of keeping the pass from the clients already served. The control thread's pass also
// waits up to 10 ms for discovery datagrams, so its 70 or so passes a second must take
// a flood of a thousand connections a second or more, or the listen queue fills and a real
// client waits behind the whole queue (8 a pass left a control request 1.5 s in the queue).
constexpr int kAcceptsPerPass = 64;
// How long the listener rests when no connection can give way to a newcomer, or an accept failed
// for want of descriptors or memory: the pending connections stay queued meanwhile.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);
// Accept failures and client-list dumps are written at most once a second.
constexpr uint32_t kListenerLinesPerWindow = 1;
// How often a server pass runs the upkeep of its clients and of the log's counts.
constexpr int64_t kUpkeepIntervalMillis = 100;

using Clock = std::chrono::steady_clock;

bool ValidType(uint32_t type) { return type >= kFirstServerType && type <= kLastServerType; }

// Listener state of one server type, touched only by that type's thread.
struct ListenerState {
  Clock::time_point resting_until{};
  pelarin::LogLimit failure_lines{kListenerLinesPerWindow};
  pelarin::LogLimit client_dumps{kListenerLinesPerWindow};
  bool client_dump_owed = false;
  int64_t next_upkeep_ms = 0;
};

// One readiness set per server type: each type has exactly one thread running its passes.
ServerPollSet g_ready[kLastServerType + 1];
ListenerState g_listener[kLastServerType + 1];

ListenerState* ListenerOf(uint32_t type) { return ValidType(type) ? &g_listener[type] : nullptr; }

bool OutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }
bool OutOfResources(int error) { return OutOfDescriptors(error) || error == ENOBUFS || error == ENOMEM; }

// Writes the type's client list at most once a second; a change in between is written with the
// next dump that falls due.
void ShowClientsNowAndThen(ListenerState* state, uint32_t server_type) {
  uint64_t unused = 0;
  if (state != nullptr && !state->client_dumps.Allow(pelarin::SteadyMillis(), false, &unused)) {
    state->client_dump_owed = true;
    return;
  }
  ServerProxyShowClient(server_type);
  if (state != nullptr) state->client_dump_owed = false;
}

// The kernel gives up on a peer that acknowledges nothing for the bound (a link gone down
// without FIN or RST), and the receive step then removes the client.
void BoundPeerSilence(int fd) {
  const unsigned timeout = kPeerSilenceMillis;
  if (setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout) != 0) {
    QELTM_LOG_LIMITED(2, "[Proxy]Set user time-out failed, client socket fd %d, errno=%d\n", fd, errno);
  }
}

// Closes the clients that broke an upkeep bound, reports the log lines left out, and returns
// the memory of clients that left; at most every kUpkeepIntervalMillis.
void Upkeep(int server_fd, uint32_t server_type, ListenerState& listener) {
  const int64_t now_ms = pelarin::SteadyMillis();
  if (now_ms < listener.next_upkeep_ms) return;
  listener.next_upkeep_ms = now_ms + kUpkeepIntervalMillis;
  SocketCloseOverdueClients(server_fd, server_type, now_ms);
  pelarin::FlushLeftOutLines(now_ms);
  SocketReturnFreedMemory(now_ms);
}

bool ListenerReadable(int server_fd) {
  pollfd p{server_fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Takes up to kAcceptsPerPass pending connections; stops early when the listener runs dry or
// rests after running out of descriptors.
void AcceptPending(int server_fd, uint32_t server_type, ServerSocketTable* table) {
  int max_fd = table->max_fd;
  for (int i = 0; i < kAcceptsPerPass; ++i) {
    if (i > 0 && !ListenerReadable(server_fd)) break;
    const int rc = NewClientProcess(server_fd, server_type, &max_fd);
    if (rc == kQeltWouldBlock || (rc != kQeltOk && g_listener[server_type].resting_until > Clock::now())) break;
  }
  if (max_fd > table->max_fd) table->max_fd = max_fd;
}

// Accepts one pending connection. Out of descriptors (the rest of the process took more than
// its reserve), a connection of this server gives way to the newcomer and the accept is tried
// again.
int AcceptNewcomer(int server_fd, uint32_t server_type, sockaddr_in* peer) {
  socklen_t size = sizeof *peer;
  int fd = accept4(server_fd, reinterpret_cast<sockaddr*>(peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd >= 0 || !OutOfDescriptors(errno)) return fd;
  const int error = errno;
  if (!SocketGiveWay(server_fd, server_type, pelarin::SteadyMillis(), "Out of descriptors")) {
    errno = error;
    return -1;
  }
  size = sizeof *peer;
  return accept4(server_fd, reinterpret_cast<sockaddr*>(peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
}

}  // namespace

extern "C" {

int NewClientProcess(int server_fd, uint32_t server_type, int* max_fd) {
  ListenerState* state = ListenerOf(server_type);
  // A server that holds its share of descriptors takes a newcomer only in place of a connection
  // that gives way; when none may, the newcomer waits in the listen queue.
  if (!SocketMakeRoom(server_fd, server_type, pelarin::SteadyMillis())) {
    QELTM_LOG_LIMITED(1, "[Proxy]Server holds its share of %u connections and none gives way: new ones wait, ServerType %d\n",
                      SocketServerShare(), server_type);
    if (state != nullptr) state->resting_until = Clock::now() + kAcceptBackoff;
    return kQeltServerFull;
  }
  sockaddr_in peer{};
  const int fd = AcceptNewcomer(server_fd, server_type, &peer);
  if (fd < 0) {
    const int error = errno;
    // Nothing pending (another pass or the peer got there first) is no failure.
    if (error == EAGAIN || error == EWOULDBLOCK) return kQeltWouldBlock;
    if (state != nullptr) {
      pelarin::LogLimited(state->failure_lines, 2, "[Proxy]Accept failed, socket fd: %d\n", server_fd);
    } else {
      Qeltmlog(2, "[Proxy]Accept failed, socket fd: %d\n", server_fd);
    }
    if (state != nullptr && OutOfResources(error)) state->resting_until = Clock::now() + kAcceptBackoff;
    errno = error;
    return SocketGetErrorCode();
  }
  char address[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
  QELTM_LOG_LIMITED(0, "Receive new client, client address: %s, port: %d\n", address, ntohs(peer.sin_port));
  BoundPeerSilence(fd);
  int rc = ServerProxyAddClient(server_fd, fd, server_type);
  // A port that streams to its cap refuses a newcomer only while those clients are alive.
  if (rc == kQeltServerFull && SocketRemoveHungUpClients(server_fd, server_type) > 0) {
    rc = ServerProxyAddClient(server_fd, fd, server_type);
  }
  if (rc == kQeltOk) {
    QELTM_LOG_LIMITED(0, "[Proxy]Receive new connect, server socket fd: %d, client socket fd %d, ServerType %d\n",
                      server_fd, fd, server_type);
    if (max_fd != nullptr && fd > *max_fd) *max_fd = fd;
  } else {
    if (rc == kQeltNoServerSocket) {
      QELTM_LOG_LIMITED(2, "[Proxy]Server socket is no exist, server socket is %d, ServerType %d\n", server_fd,
                        server_type);
    } else if (rc == kQeltServerFull) {
      QELTM_LOG_LIMITED(2, "[Proxy]Reach max connect: server socket fd: %d, client sock fd is %d, ServerType %d\n",
                        server_fd, fd, server_type);
    }
    close(fd);  // a socket the table refused is served by nobody
  }
  ShowClientsNowAndThen(state, server_type);
  return rc;
}

// One pass: wait for readiness, receive from the readable clients, send to the writable ones,
// then take pending connections. The clients already served come first whatever the listener
// does; a connection accepted here is served from the next pass on.
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
  ListenerState& listener = g_listener[server_type];
  // Descriptors of any size: poll, not select. Clients are watched for writing only when the
  // protocol has something to send; a resting listener is not watched at all.
  ServerPollSet* ready = &g_ready[server_type];
  const short events = ops->send_step != nullptr ? (POLLIN | POLLOUT) : POLLIN;
  SocketPollSetBuild(table, ready, events);
  const bool listening = listener.resting_until <= Clock::now();
  if (!listening) ready->fds[0].events = 0;
  // Packets left from the last pass are served at once, readable sockets or not.
  const bool backlog = pelarin::ServerBacklogWaiting(server_type);
  const int n = poll(ready->fds, ready->count, backlog ? 0 : kPassWaitMillis);
  if (n < 0) {
    if (errno != EINTR) Qeltmlog(2, "[Proxy] ServerProxyProcess Select failed, socket fd: %d, errno=%d\n", server_fd, errno);
    return;
  }
  bool pause = false;
  // Every pass: the clients the poll watched were heard, and packets left by the last pass are served.
  RecvProcess(server_fd, server_type, ready);
  if (n > 0) {
    pause = SendProcess(server_fd, server_type, ready) == kQeltOk && ready->count > 1 &&
            !pelarin::ServerBacklogWaiting(server_type);
    if (listening && (ready->fds[0].revents & POLLIN) != 0) AcceptPending(server_fd, server_type, table);
  }
  if (listener.client_dump_owed) ShowClientsNowAndThen(&listener, server_type);
  Upkeep(server_fd, server_type, listener);
  // The pass is complete here.
  if (pause) usleep(kPassPauseMicros);
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
