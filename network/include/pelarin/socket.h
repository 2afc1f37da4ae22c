// Socket layer: server tables of accepted clients, client session lists, socket set-up, sending
// in pieces and the server receive and send steps, dispatched by server type.
#pragma once

#include <poll.h>
#include <sys/select.h>
#include <netinet/in.h>
#include <cstdint>

#include "pelarin/foundation.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Server types: the first argument of every dispatch.
enum ServerType : uint32_t {
  kServerYrdImage = 1,
  kServerNorbImage = 2,
  kServerControl = 3,
  kServerObject = 4,
};
constexpr uint32_t kFirstServerType = kServerYrdImage;
constexpr uint32_t kLastServerType = kServerObject;

constexpr uint32_t kMaxClientsPerServer = 1024;
constexpr uint32_t kNoSlot = 65535;
constexpr uint32_t kClientReceiveBufferBytes = 76800;
constexpr uint32_t kSendPieceBytes = 1600000;
constexpr int kListenBacklog = 1024;
constexpr int kSocketBufferBytes = 4096000;

// Upkeep of accepted connections, so that vanished or broken peers never hold a server's places
// while quiet clients keep theirs: a request must be complete within kRequestCompleteMillis of its
// first byte; a client that is owed data and whose peer has taken none of it for kSendStallMillis
// (counted from its last request at the latest) is dropped; a connection that has made no request
// at all is closed after kFirstRequestMillis; the kernel gives up on a peer that acknowledges
// nothing for kPeerSilenceMillis (TCP_USER_TIMEOUT), and keep-alive finds a peer that is gone while
// the connection is quiet. A connection that has made its requests and is quiet stays until room
// is needed for a newcomer (SocketMakeRoom).
constexpr int64_t kFirstRequestMillis = 30 * 60 * 1000;
constexpr int64_t kRequestCompleteMillis = 5000;
constexpr int64_t kSendStallMillis = 10000;
constexpr unsigned kPeerSilenceMillis = 10000;
// A request is under way, and its connection never gives way to a newcomer, for this long from
// its first byte; a request that takes longer has stalled.
constexpr int64_t kRequestUnderWayMillis = 1000;
// Requests within this time of the first request of a use belong to that use (a burst, or a
// start and a stop sent together), so only uses apart in time make a history.
constexpr int64_t kSameUseMillis = 1000;

// The descriptors the servers may hold. The library raises the process's soft limit towards the
// hard one, up to kDescriptorLimitWanted (every table full with room to spare). Of the limit, a
// reserve (an eighth, at least kDescriptorReserveMin) stays for everything else the process opens:
// files, pipes, the encoder, client connections. The rest is shared evenly between the servers
// that run, so each server thread enforces its own share and a flood on one port leaves the
// others their places.
constexpr uint64_t kDescriptorLimitWanted = 8192;
constexpr uint64_t kDescriptorReserveMin = 32;
constexpr uint64_t kDescriptorReserveFraction = 8;

// TCPServerInit flags.
constexpr int kServerFlagBlocking = 2;
constexpr int kServerFlagKeepAlive = 4;

struct ClientSlot {
  int32_t fd;
  uint32_t buffer_capacity;
  uint8_t* buffer;
  void* protocol_data;
  uint32_t used_length;
  uint32_t state;  // 1 in use, 0 free
  uint32_t next;
  uint32_t prev;
  // Upkeep, in steady-clock milliseconds (0: none).
  int64_t accepted_ms;
  int64_t last_request_ms;       // the last complete packet handed to the protocol (accept before)
  int64_t partial_since_ms;      // the first byte of an incomplete packet held in the buffer
  int64_t last_taken_ms;         // when the peer last took bytes of what the server sends it
  uint64_t bytes_taken;          // bytes the peer has acknowledged, as the kernel last told
  uint32_t peer_measured;        // 1 once the kernel tells what the peer acknowledged (TCP)
  uint32_t requests;             // complete packets handed to the protocol
  int64_t use_started_ms;        // the first request of the connection's latest use
  int64_t previous_use_ms;       // the first request of the use before that (0: none)
  uint32_t unheard;              // 1 from the accept until a pass has polled the connection
};

// Where a client stands with its server, for the upkeep of the table.
enum ClientStanding : int {
  kClientNew = 0,        // has not made the request its server is for
  kClientIdle = 1,       // has, and is served nothing now: a newcomer may take its place
  kClientStreaming = 2,  // is being served a stream
};

struct ServerSocketTable {
  int32_t server_fd;
  int32_t max_fd;
  void* server_data;
  uint32_t in_use;
  uint32_t port;
  uint32_t client_count;
  uint32_t first_free;
  uint32_t last_free;
  uint32_t first_used;
  uint32_t last_used;
  ClientSlot slots[kMaxClientsPerServer];
  void (*free_data_callback)(ClientSlot* slot);
};

// One connection of a client role, keyed by the peer's address text.
struct ClientSession {
  char ip_address[kAddressTextBytes];
  int32_t fd;
  void* header;  // protocol fields, owned by the node
  uint8_t* data;
  uint32_t data_capacity;
  uint32_t received;
  ClientSession* prev;
  ClientSession* next;
};

struct ClientSessionList {
  uint32_t count;
  ClientSession* last;
  ClientSession* first;
};

// Readiness of a server socket and its clients from one poll: the server socket first, then
// the clients in used-chain order. A slot's entry is found through position_of_slot.
struct ServerPollSet {
  struct pollfd fds[1 + kMaxClientsPerServer];
  uint32_t count;
  uint16_t position_of_slot[kMaxClientsPerServer];
};

// What a protocol plugs into the socket layer for its server type.
struct ServerProtocolOps {
  ServerSocketTable* (*get_table)(void);
  int (*add_client)(int server_fd, int fd);
  int (*remove_client)(int server_fd, int fd);
  int (*analysis)(int server_fd, int fd, const uint8_t* data, uint32_t length);
  int (*send_step)(ClientSlot* slot);  // null: the protocol sends nothing in the send step
  int (*show_clients)(void);
  // Longest packet the server takes; 0: the receive buffer. A packet declaring more is never valid.
  uint32_t max_packet_bytes;
  // Where a client stands; null: new until its first complete packet, then idle.
  int (*standing)(const ClientSlot* slot);
  // Non-zero while data waits for a streaming client: a packet not sent whole, or something in
  // the ring it has not taken. Null: never.
  int (*owed_data)(const ClientSlot* slot);
};

int ServerProtocolRegister(uint32_t server_type, const ServerProtocolOps* ops);
const ServerProtocolOps* ServerProtocolFind(uint32_t server_type);

// ---- server table ----
int SocketFDInit(ServerSocketTable* table);
int AddServerSocket(ServerSocketTable* table, int server_fd, uint32_t port);
ClientSlot* AddClientSocket(ServerSocketTable* table, int fd);
int RemoveClientSocket(ServerSocketTable* table, int fd);
int ClientSocketFDInit(ServerSocketTable* table, int close_sockets);
int RemoveServerSocket(ServerSocketTable* table);
int SocketFDUnInit(ServerSocketTable* table);
// Adds every client below FD_SETSIZE to the sets given; larger descriptors are left out and logged.
int GetFdSetByServerSocket(ServerSocketTable* table, fd_set* read_set, fd_set* write_set);
int GetMaxFdByServerSocket(ServerSocketTable* table, int* out);
int SocketGetServerSocketFD(ServerSocketTable* table);
ClientSlot* SocketGetClientFDInfo(ServerSocketTable* table, int fd);
uint32_t SearchSocketIndex(ServerSocketTable* table, int fd);
int ShowClientFreeSocket(ServerSocketTable* table);
int ShowClientUseSocket(ServerSocketTable* table);
int ShowServerSocket(ServerSocketTable* table);
// Fills a poll set with the server socket and every client of the table.
int SocketPollSetBuild(ServerSocketTable* table, ServerPollSet* set, short events);
// The poll entry of a table slot, or null when the slot was not in the set.
struct pollfd* ServerPollSetEntry(ServerPollSet* ready, uint32_t slot);

// ---- upkeep of accepted connections ----
// Records a send to the client for the stall bound: `taken` bytes went into its socket. Where the
// kernel tells what the peer acknowledged (TCP), that measure is used instead.
void SocketNoteSend(ClientSlot* slot, uint32_t taken);
// True when the peer of `fd` has closed its side with nothing left unread, or the socket failed.
bool SocketPeerHungUp(int fd);
// Closes the clients that broke an upkeep bound at `now_ms`; returns how many.
int SocketCloseOverdueClients(int server_fd, uint32_t server_type, int64_t now_ms);
// Removes the streaming clients whose peer has hung up (before a pass has seen it); returns how
// many. Only those count against an image port's cap, and there are few of them.
int SocketRemoveHungUpClients(int server_fd, uint32_t server_type);
// Makes a place for a newcomer in a table that holds its share: while it does, the client that
// gives way first goes (see SocketGiveWay). True when a place is free.
bool SocketMakeRoom(int server_fd, uint32_t server_type, int64_t now_ms);
// Closes the one client of the server that gives way first to a newcomer, `why` naming the need
// in the log; false when none may. Streaming clients and requests under way never give way; the
// order of the others is explained at the ranking (socket_upkeep.cpp).
bool SocketGiveWay(int server_fd, uint32_t server_type, int64_t now_ms, const char* why);
// Records a complete request of the client at `now_ms`: its count, its time and its uses.
void SocketNoteRequest(ClientSlot* slot, int64_t now_ms);
// A client's standing through its protocol.
int SocketClientStanding(uint32_t server_type, const ClientSlot* slot);
// Marks memory freed by clients that left, for SocketReturnFreedMemory.
void SocketNoteFreedMemory(void);
// Hands the memory of clients that left back to the system, at most every 100 ms; called by
// the server passes.
void SocketReturnFreedMemory(int64_t now_ms);

// ---- descriptor budget ----
// Raises the soft descriptor limit towards the hard one (up to kDescriptorLimitWanted); 0, or the
// library's error code (SocketGetErrorCode) when the limit cannot be read or set.
int SocketRaiseDescriptorLimit(void);
// The clients one server may hold now: its share of the descriptor limit, at least 1 and at most
// kMaxClientsPerServer.
uint32_t SocketServerShare(void);
// Servers with a listening socket (tables in use), counted by AddServerSocket and the reset.
uint32_t SocketServersRunning(void);
void SocketNoteServerRunning(int running);

// ---- dispatch by server type ----
ServerSocketTable* GetServerSocketInfo(uint32_t server_type);
int ServerRemoveClient(int server_fd, int fd, uint32_t server_type);

// ---- client session list ----
int SocketInitClientHead(ClientSessionList* head);
int SocketUnInitClientHead(ClientSessionList* head);
int SockeRemoveAllClientFromList(ClientSessionList* head);
int SocketAddClientToList(ClientSessionList* head, const char* address, int fd,
                          int (*init)(ClientSession* node));
int SocketFindClientList(ClientSessionList* head, const char* address, ClientSession** node);
int SocketClientExist(ClientSessionList* head, const char* address);
int SockeRemoveClientFromList(ClientSessionList* head, const char* address);
int SockeRemoveClientByClientInfo(ClientSessionList* head, ClientSession* node);
int SocketShowClientList(ClientSessionList* head);

// ---- sockets ----
int TCPServerInit(const char* address, uint32_t port, int* fd, int flags);
int TCPConnectServer(const char* address, uint32_t port, int* fd);
int ProcConnectFailed(int fd, const char* address, uint32_t port);
int ConnectInProcess(int fd, const char* address, uint32_t port);
int BroadcastServerInit(uint32_t port, int* fd);
int BroadcastConnectServerInit(uint32_t port, int* fd);
int CreateSocket(int domain, int type, int protocol, int* fd);
int CreateServerSocket(const char* address, uint32_t port, int* fd, int flags);
int SetSocketNonblocking(int fd);
int CloseSocket(int fd);
int SetListenSocketReuseable(int fd);
int SocketSetKeepAlive(int fd);
int GetIpV4SockAddrInfo(const char* address, uint32_t port, struct sockaddr_in* out);
uint32_t GetLocalIPAddress(void);
int SocketGetErrorCode(void);
// Maps one errno value to the library's result code.
int SocketMapErrno(int error);

// ---- send ----
int SocketSendBuffer(int fd, const uint8_t* buffer, uint32_t length, uint32_t* sent);
int SendPacketFragment(int fd, const uint8_t* buffer, uint32_t length, uint32_t* sent);
int SendBroadCastPacket(int fd, uint32_t port, const uint8_t* buffer, uint32_t length);
int SendProcess(int server_fd, uint32_t server_type, ServerPollSet* ready);

// ---- receive ----
int RecvProcess(int server_fd, uint32_t server_type, ServerPollSet* ready);
int BroadCastReceiveProcess(int fd, uint32_t port, uint8_t* buffer, uint32_t length);

}  // extern "C"

namespace pelarin {
// One piece of a fragmented send: (fd, buffer, length, sent) -> result, as SocketSendBuffer.
using SendPieceFunc = int (*)(int fd, const uint8_t* buffer, uint32_t length, uint32_t* sent);
// SendPacketFragment's piece loop over any piece sender: stops at the first error or at a piece
// that went out only partly, and reports the bytes sent over all pieces.
int SendInPieces(int fd, const uint8_t* buffer, uint32_t length, uint32_t* sent, SendPieceFunc send_piece);
}  // namespace pelarin

LIBRARY_EXPORTS_END
