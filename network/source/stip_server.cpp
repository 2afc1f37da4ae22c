// Image stream server: set-up and tear-down, server tables and rings of the two image server
// types, clients joining and leaving, the ring locks and the capture side's image write.
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "log_limit.h"
#include "stip_internal.h"

namespace pelarin {

StipServerState g_stip;
std::shared_mutex g_stip_life;

namespace {

constexpr double kBitsPerMegabit = 1024.0 * 1024.0;
constexpr double kNanosPerMilli = 1e6;

uint32_t SlotCountOf(unsigned type) { return type == kServerNorbImage ? kRingSlotsNorb : kRingSlotsYrd; }

ServerSocketTable* TableOf(unsigned type) { return StipImageServerType(type) ? g_stip.tables[type] : nullptr; }

ServerSocketTable* NorbTable() { return g_stip.tables[kServerNorbImage]; }
ServerSocketTable* YrdTable() { return g_stip.tables[kServerYrdImage]; }

template <unsigned kType>
struct Ops {
  static int Add(int server_fd, int fd) { return STIPServerAddClient(server_fd, fd, kType); }
  static int Remove(int server_fd, int fd) { return STIPServerRemoveClient(server_fd, fd, kType); }
  static int Analysis(int server_fd, int fd, const uint8_t* data, uint32_t length) {
    return STIPAnalysisPacket(server_fd, fd, kType, data, length, 0);
  }
  static int Send(ClientSlot* slot) { return STIPServerSendProcess(slot, kType); }
  static int Show() { return STIPServerShowClient(kType); }
  // A streaming client is owed its packet not yet sent whole, or any image written after the one
  // it took last (read under the ring lock; a lock not had in time owes nothing this time).
  static int Owed(const ClientSlot* slot) {
    const StipClientState* client = static_cast<const StipClientState*>(slot->protocol_data);
    if (client == nullptr || client->state != kStipStreaming) return 0;
    if (client->sent < client->packet_length) return 1;
    if (StipLockRing(kType, kRingLockMillis) != kQeltOk) return 0;
    const ImageRing* ring = STIPServerGetServerData(kType);
    const bool owed = ring != nullptr && ring->last_sequence > client->last_sequence;
    StipUnlockRing(kType);
    return owed ? 1 : 0;
  }
};

// Streaming clients are served; a connection that never asked for the stream is new; one that
// stopped its stream is idle.
int Standing(const ClientSlot* slot) {
  const StipClientState* client = static_cast<const StipClientState*>(slot->protocol_data);
  if (client == nullptr || client->state == kStipConnected) return kClientNew;
  return client->state == kStipStreaming ? kClientStreaming : kClientIdle;
}

const ServerProtocolOps kYrdOps = {YrdTable, Ops<kServerYrdImage>::Add, Ops<kServerYrdImage>::Remove,
                                   Ops<kServerYrdImage>::Analysis, Ops<kServerYrdImage>::Send,
                                   Ops<kServerYrdImage>::Show, kStipCtrlRequestBytes, Standing,
                                   Ops<kServerYrdImage>::Owed};
const ServerProtocolOps kNorbOps = {NorbTable, Ops<kServerNorbImage>::Add, Ops<kServerNorbImage>::Remove,
                                    Ops<kServerNorbImage>::Analysis, Ops<kServerNorbImage>::Send,
                                    Ops<kServerNorbImage>::Show, kStipCtrlRequestBytes, Standing,
                                    Ops<kServerNorbImage>::Owed};

void LogUnsupported(unsigned type) { Qeltmlog(2, "[STIP]ServerType %d is not support\n", type); }

void FreeTable(unsigned type) {
  ServerSocketTable* table = g_stip.tables[type];
  if (table == nullptr) return;
  g_stip.tables[type] = nullptr;
  SocketFDUnInit(table);
  if (g_stip.lock_made[type] && ThreadMutexLock(&g_stip.locks[type], kRingLockMillis) != kQeltOk) {
    Qeltmlog(2, "[STIP]Lock %s data failed, return code:%d\n", StipRingName(type), kQeltMutexBusy);
  }
  STIPFreeServerData(table);
  if (g_stip.lock_made[type]) {
    if (ThreadMutexUnLock(&g_stip.locks[type]) != kQeltOk) {
      Qeltmlog(2, "[STIP]UnLock %s data failed, return code:%d\n", StipRingName(type), kQeltMutexUnlock);
    }
    ThreadMutexDestory(&g_stip.locks[type]);
    g_stip.lock_made[type] = false;
  }
  free(table);
}

// Everything of the server half, under the exclusive life lock.
void LogWriteLockWaits() {
  const uint64_t writes = g_stip.writes.exchange(0);
  const int64_t longest = g_stip.longest_lock_wait_ns.exchange(0);
  if (writes == 0) return;
  Qeltmlog(1, "[STIP] %llu images written, longest ring lock wait %.3f ms\n", static_cast<unsigned long long>(writes),
           static_cast<double>(longest) / kNanosPerMilli);
}

void NoteLockWait(std::chrono::steady_clock::duration waited) {
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count();
  int64_t longest = g_stip.longest_lock_wait_ns.load(std::memory_order_relaxed);
  while (ns > longest && !g_stip.longest_lock_wait_ns.compare_exchange_weak(longest, ns)) {
  }
}

void ServerUnInitLocked() {
  LogWriteLockWaits();
  ServerProtocolRegister(kServerYrdImage, nullptr);
  ServerProtocolRegister(kServerNorbImage, nullptr);
  FreeTable(kServerNorbImage);
  FreeTable(kServerYrdImage);
  g_stip.up = false;
}

int ServerInitLocked(double color_bit_rate) {
  for (unsigned type : {kServerYrdImage, kServerNorbImage}) {
    ServerSocketTable* table = static_cast<ServerSocketTable*>(malloc(sizeof(ServerSocketTable)));
    if (table == nullptr) {
      ServerUnInitLocked();
      return kQeltOutOfMemory;
    }
    SocketFDInit(table);
    table->free_data_callback = STIPFreeProtocolData;
    g_stip.tables[type] = table;
    STIPMallocServerData(table, SlotCountOf(type));
    g_stip.lock_made[type] = ThreadMutexCreate(&g_stip.locks[type], StipRingName(type)) == kQeltOk;
  }
  g_stip.color_bit_rate = STIPColorBitRate(color_bit_rate);
  Qeltmlog(0, "STIPInit(mode=%d), mpp encoder, rgb image bit rate:%lf Mb/s\n", kStipServerMode, color_bit_rate);
  // Each streaming client gets its own encoder later; one is made here so that a media library
  // that cannot encode fails the start as a whole.
  StipEncoder* probe = nullptr;
  if (STIPInitEncode(kStipEncoderCoding, kStipColorWidth, kStipColorHeight, kStipColorFps, kStipColorGop,
                     g_stip.color_bit_rate, &probe) != kQeltOk) {
    Qeltmlog(2, "<---> STIPInit(mode=%d), STIPInitEncode color image failed\n", kStipServerMode);
    ServerUnInitLocked();
    return kQeltOutOfMemory;
  }
  STIPDeinitEncode(&probe);
  g_stip.up = true;
  ServerProtocolRegister(kServerYrdImage, &kYrdOps);
  ServerProtocolRegister(kServerNorbImage, &kNorbOps);
  return kQeltOk;
}

}  // namespace

bool StipPortStreamsToItsCap(unsigned type) {
  const ImageRing* ring = STIPServerGetServerData(type);
  return ring != nullptr && ring->reader_count >= kStipMaxClientsPerPort;
}

bool StipImageServerType(unsigned type) { return type == kServerYrdImage || type == kServerNorbImage; }

const char* StipRingName(unsigned type) { return type == kServerNorbImage ? "NORB" : "YRD"; }

// The ring mutex, taken as every lock of the library is, with the same bounded wait.
int StipLockRing(unsigned type, int timeout_ms) {
  if (!StipImageServerType(type) || !g_stip.lock_made[type]) return kQeltMutexInvalid;
  return ThreadMutexLock(&g_stip.locks[type], timeout_ms);
}

int StipUnlockRing(unsigned type) {
  if (!StipImageServerType(type) || !g_stip.lock_made[type]) return kQeltMutexInvalid;
  return ThreadMutexUnLock(&g_stip.locks[type]);
}

}  // namespace pelarin

using namespace pelarin;

extern "C" {

uint32_t STIPColorBitRate(double mbps) {
  if (!std::isfinite(mbps) || mbps <= 0.0) return 0;
  const double bits = mbps * kBitsPerMegabit;
  if (bits >= static_cast<double>(UINT32_MAX)) return 0;
  return static_cast<uint32_t>(bits);
}

int STIPInit(int mode, double color_bit_rate) {
  STIPRecvImageFuncInit();
  if (mode == kStipServerMode) {
    std::unique_lock<std::shared_mutex> life(g_stip_life);
    if (g_stip.up) return kQeltOk;
    return ServerInitLocked(color_bit_rate);
  }
  if (mode == kStipClientMode) return StipClientInit();
  return kQeltOk;
}

int STIPUnInit(void) {
  STIPCloseAllSession();
  {
    std::unique_lock<std::shared_mutex> life(g_stip_life);
    ServerUnInitLocked();
  }
  StipClientUnInit();
  STIPRecvImageFuncInit();
  return kQeltOk;
}

int STIPServerCreateSession(const char* ip, unsigned port, unsigned server_type) {
  if (ip == nullptr) return kQeltNullArgument;
  if (!StipImageServerType(server_type)) {
    LogUnsupported(server_type);
    return kQeltUnknownServerType;
  }
  int fd = -1;
  int rc = TCPServerInit(ip, port, &fd, kServerFlagKeepAlive);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STIP]Create session failed, server init failed,ServerIP %s, port %d, return code %d\n", ip, port, rc);
    return rc;
  }
  std::shared_lock<std::shared_mutex> life(g_stip_life);
  ServerSocketTable* table = TableOf(server_type);
  if (table == nullptr) {
    Qeltmlog(2, "[STIP]Create session failed, get socket fd info,ServerIP %s, port %d\n", ip, port);
    CloseSocket(fd);
    return kQeltNoServerSocket;
  }
  rc = AddServerSocket(table, fd, port);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STIP]Create session failed,add server port failed,ServerIP %s, port %d, return code %d\n", ip, port,
             rc);
    CloseSocket(fd);
  }
  return rc;
}

int STIPServerAddClient(int server_fd, int client_fd, unsigned server_type) {
  if (!StipImageServerType(server_type)) {
    LogUnsupported(server_type);
    return kQeltUnknownServerType;
  }
  ServerSocketTable* table = TableOf(server_type);
  if (table == nullptr) return kQeltNoServerSocket;
  if (table->server_fd != server_fd) {
    Qeltmlog(2,
             "[STIP]STIP server Create session failed, server socket is not the same,old server fd:%d, new server fd "
             "%d\n",
             table->server_fd, server_fd);
    return kQeltNoServerSocket;
  }
  // Each streaming client costs its own encoder and buffers, and all of a port's encoding runs
  // on one server thread: a port streams to no more clients than that thread serves at full
  // rate. Connections that stream nothing do not count.
  if (StipPortStreamsToItsCap(server_type)) return kQeltServerFull;
  ClientSlot* slot = AddClientSocket(table, client_fd);
  if (slot == nullptr) {
    QELTM_LOG_LIMITED(2, "[STIP]STIP server add client failed\n");
    return kQeltClientFailed;
  }
  if (slot->protocol_data != nullptr) {
    QELTM_LOG_LIMITED(0, "[STIP]Client exist\n");
    return kQeltOk;
  }
  StipClientState* client = static_cast<StipClientState*>(calloc(1, sizeof(StipClientState)));
  if (client == nullptr) {
    RemoveClientSocket(table, client_fd);
    return kQeltOutOfMemory;
  }
  slot->protocol_data = client;
  QELTM_LOG_LIMITED(0, "[STIP]STIP server, receive a new client, client socket fd %d\n", client_fd);
  return kQeltOk;
}

int STIPServerRemoveClient(int server_fd, int client_fd, unsigned server_type) {
  ServerSocketTable* table = TableOf(server_type);
  ClientSlot* slot = SocketGetClientFDInfo(table, client_fd);
  if (slot == nullptr) return kQeltClientFailed;
  StipClientState* client = static_cast<StipClientState*>(slot->protocol_data);
  if (client != nullptr && client->state == kStipStreaming) {
    const int lock = StipLockRing(server_type, kMutexWaitForever);
    STIPRingRemoveReader(static_cast<ImageRing*>(table->server_data));
    if (lock == kQeltOk) StipUnlockRing(server_type);
  }
  STIPFreeProtocolData(slot);
  const int rc = RemoveClientSocket(table, client_fd);
  QELTM_LOG_LIMITED(0, "[STIP]STIP server remove client, server socket fd: %d, client socket fd: %d, return code: %d\n",
                    server_fd, client_fd, rc);
  CloseSocket(client_fd);
  // A client's encoder and buffers are megabytes: the server pass hands the freed pages back to
  // the system (SocketReturnFreedMemory) so the resident size comes down once clients leave.
  SocketNoteFreedMemory();
  return rc;
}

void STIPFreeProtocolData(ClientSlot* slot) {
  if (slot == nullptr || slot->protocol_data == nullptr) return;
  StipClientState* client = static_cast<StipClientState*>(slot->protocol_data);
  StipClientRelease(client);
  free(client);
  slot->protocol_data = nullptr;  // the slot never points at a freed record
}

StipClientState* STIPServerGetClientData(int /*server_fd*/, int client_fd, unsigned server_type) {
  ClientSlot* slot = SocketGetClientFDInfo(TableOf(server_type), client_fd);
  if (slot == nullptr || slot->protocol_data == nullptr) {
    Qeltmlog(2, "[STIP]Client no exist\n");
    return nullptr;
  }
  return static_cast<StipClientState*>(slot->protocol_data);
}

ImageRing* STIPServerGetServerData(unsigned server_type) {
  ServerSocketTable* table = TableOf(server_type);
  return table == nullptr ? nullptr : static_cast<ImageRing*>(table->server_data);
}

int STIPServerGetSocketFD(unsigned server_type) { return SocketGetServerSocketFD(TableOf(server_type)); }

int STIPServerGetMaxSocketFD(unsigned server_type, int* fd) {
  ServerSocketTable* table = TableOf(server_type);
  return table == nullptr ? kQeltNoServerSocket : GetMaxFdByServerSocket(table, fd);
}

int STIPServeretFdSet(unsigned server_type, fd_set* read_set, fd_set* write_set) {
  ServerSocketTable* table = TableOf(server_type);
  return table == nullptr ? kQeltNoServerSocket : GetFdSetByServerSocket(table, read_set, write_set);
}

int STIPServerShowClient(unsigned server_type) {
  ServerSocketTable* table = TableOf(server_type);
  return table == nullptr ? kQeltNoServerSocket : ShowClientUseSocket(table);
}

int STIPServerCloseSession(unsigned server_type) {
  ServerSocketTable* table = TableOf(server_type);
  if (table == nullptr) return kQeltNoServerSocket;
  ImageRing* ring = static_cast<ImageRing*>(table->server_data);
  if (ring != nullptr) {
    const int lock = StipLockRing(server_type, kMutexWaitForever);
    ring->reader_count = 0;  // every client goes with the server socket
    if (lock == kQeltOk) StipUnlockRing(server_type);
  }
  return RemoveServerSocket(table);
}

int STIPServerLockNORBData(void) { return StipLockRing(kServerNorbImage, kRingLockMillis); }
int STIPServerUnlockNORBData(void) { return StipUnlockRing(kServerNorbImage); }
int STIPServerLockYRDData(void) { return StipLockRing(kServerYrdImage, kRingLockMillis); }
int STIPServerUnlockYRDData(void) { return StipUnlockRing(kServerYrdImage); }

int STIPServerWriteImage(const ImagePara* header, const void* data, unsigned size) {
  if (header == nullptr || (data == nullptr && size > 0)) return kQeltNullArgument;
  if (header->image_type != kStipImageTypeColor && header->image_type != kStipImageTypeDisparity) return kQeltOk;
  // Never waits for set-up or tear-down: a write racing them is refused like one after them.
  std::shared_lock<std::shared_mutex> life(g_stip_life, std::try_to_lock);
  if (!life.owns_lock() || !g_stip.up) return kQeltRingEmpty;
  // The NORB ring first, then the YRD ring; never both locks at once.
  for (unsigned type : {kServerNorbImage, kServerYrdImage}) {
    const auto asked = std::chrono::steady_clock::now();
    const int lock = StipLockRing(type, kRingLockMillis);
    NoteLockWait(std::chrono::steady_clock::now() - asked);
    if (lock != kQeltOk) {
      Qeltmlog(2, "[STIP]Lock %s data failed, return code:%d\n", StipRingName(type), lock);
      return lock;
    }
    const int rc = STIPWriteServerData(g_stip.tables[type], header, data, size);
    if (rc != kQeltOk && type == kServerNorbImage) {
      Qeltmlog(2, "[STIP]NORB write image buffer failed, return code: %d\n", rc);
    }
    const int unlock = StipUnlockRing(type);
    if (unlock != kQeltOk) Qeltmlog(2, "[STIP]UnLock %s data failed, return code:%d\n", StipRingName(type), unlock);
  }
  g_stip.writes.fetch_add(1, std::memory_order_relaxed);
  return kQeltOk;
}

int STIPCloseAllSession(void) {
  STIPProxyUnInit();
  StipClientCloseAll();
  std::shared_lock<std::shared_mutex> life(g_stip_life);
  for (unsigned type : {kServerYrdImage, kServerNorbImage}) {
    if (g_stip.tables[type] != nullptr) STIPServerCloseSession(type);
  }
  return kQeltOk;
}

}  // extern "C"
