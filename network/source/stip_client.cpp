// Image stream client: three channels of server connections, the receive thread that serves
// them, control requests to a server and the received-image callbacks.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "packet_head_log.h"
#include "pelarin/proxy.h"
#include "stip_internal.h"
#include "stip_reassembler.h"

namespace pelarin {

namespace {

enum ThreadState : int { kThreadStopRequested = 0, kThreadRunning = 1, kThreadExited = 2 };
enum ChannelFlag : int { kChannelOff = 0, kChannelOn = 1, kChannelStopRequested = 2 };

constexpr useconds_t kPassPauseMicros = 1000;
constexpr useconds_t kWaitLogMicros = 5000;

struct Callback {
  RecvImageFunc fn;
  void* context;
};

// The lists are shared by the receive thread and the callers of connect, close and send; the
// receive pass holds the lock while it reads, so a connection never vanishes under it.
std::recursive_mutex g_list_lock;
ClientSessionList g_channels[kStipChannelCount];
std::mutex g_callback_lock;
Callback g_callbacks[kStipChannelCount];
std::atomic<int> g_thread_state{kThreadStopRequested};
std::atomic<int> g_channel_flags[kStipChannelCount];
std::atomic<bool> g_thread_started{false};
pthread_t g_thread;

bool ValidChannel(long channel) { return channel >= 0 && channel < static_cast<long>(kStipChannelCount); }

void DeliverImage(const ImagePara* header, const uint8_t* data, uint32_t size, int resync, void* context) {
  const int channel = static_cast<int>(reinterpret_cast<intptr_t>(context));
  Callback cb;
  {
    std::lock_guard<std::mutex> guard(g_callback_lock);
    cb = g_callbacks[channel];
  }
  if (cb.fn != nullptr) cb.fn(header, data, size, cb.context, resync);
}

ClientSession* FindByFd(int fd, int channel) {
  for (ClientSession* n = g_channels[channel].first; n != nullptr; n = n->next) {
    if (n->fd == fd) return n;
  }
  return nullptr;
}

// Bytes of one connection from the socket layer's receive step; the channel is found by fd.
int StreamAnalysis(int fd, const uint8_t* data, uint32_t length, int /*resync*/) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  for (int channel = 0; channel < static_cast<int>(kStipChannelCount); ++channel) {
    if (FindByFd(fd, channel) != nullptr) return StipClientAnalysis(fd, channel, data, length);
  }
  return StipClientAnalysis(fd, 0, data, length);
}

void* ReceiveThread(void*) {
  uint8_t* buffer = static_cast<uint8_t*>(malloc(kStipClientReceiveBytes));
  if (buffer == nullptr) {
    Qeltmlog(2, "[STIP Proxy]Malloc failed\n");
    g_thread_state.store(kThreadExited);
    return nullptr;
  }
  while (g_thread_state.load() == kThreadRunning) {
    // Every channel is served, channel 0 included.
    for (int channel = 0; channel < static_cast<int>(kStipChannelCount); ++channel) {
      int expected = kChannelStopRequested;
      if (g_channel_flags[channel].compare_exchange_strong(expected, kChannelOff)) continue;
      if (expected == kChannelOn) STIPClientReceivePacketProcess(buffer, kStipClientReceiveBytes, channel);
    }
    usleep(kPassPauseMicros);
  }
  free(buffer);
  g_thread_state.store(kThreadExited);
  return nullptr;
}

}  // namespace

int StipClientAnalysis(int fd, int channel, const uint8_t* buffer, uint32_t length) {
  if (!ValidChannel(channel)) return kQeltUnsupported;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  ClientSession* node = FindByFd(fd, channel);
  if (node == nullptr || node->header == nullptr) {
    LogPacketHead("[STIP]", buffer, length);
    return kQeltNoSession;
  }
  return StipReassemble(node, buffer, length, DeliverImage, reinterpret_cast<void*>(static_cast<intptr_t>(channel)));
}

int StipClientInit(void) {
  {
    std::lock_guard<std::recursive_mutex> guard(g_list_lock);
    for (ClientSessionList& list : g_channels) SocketInitClientHead(&list);
  }
  ProxyRegisterClientStreamAnalysis(StreamAnalysis);
  return STIPProxyInit();
}

void StipClientCloseAll(void) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  for (ClientSessionList& list : g_channels) SockeRemoveAllClientFromList(&list);
}

void StipClientUnInit(void) {
  STIPProxyUnInit();
  StipClientCloseAll();
}

}  // namespace pelarin

using namespace pelarin;

extern "C" {

int STIPRegisterRecvImageFunc(RecvImageFunc fn, unsigned channel, void* context) {
  if (!ValidChannel(channel)) return kQeltUnsupported;
  std::lock_guard<std::mutex> guard(g_callback_lock);
  g_callbacks[channel] = Callback{fn, context};
  return kQeltOk;
}

int STIPRecvImageFuncInit(void) {
  std::lock_guard<std::mutex> guard(g_callback_lock);
  for (Callback& cb : g_callbacks) cb = Callback{nullptr, nullptr};
  return kQeltOk;
}

int STIPProxyInit(void) {
  if (g_thread_started.load()) return kQeltOk;
  for (auto& flag : g_channel_flags) flag.store(kChannelOff);
  g_thread_state.store(kThreadRunning);
  const int rc = pthread_create(&g_thread, nullptr, ReceiveThread, nullptr);
  if (rc != 0) {
    g_thread_state.store(kThreadStopRequested);
    Qeltmlog(2, "[STIP Proxy]Create STIP proxy failed.Ret %d\n", rc);
    return SocketMapErrno(rc);
  }
  g_thread_started.store(true);
  return kQeltOk;
}

int STIPProxyUnInit(void) {
  if (!g_thread_started.load()) return kQeltOk;
  g_thread_state.store(kThreadStopRequested);
  while (g_thread_state.load() != kThreadExited) {
    Qeltmlog(0, "[STIP Proxy]Wait STIP Proxy to exit\n");
    usleep(kWaitLogMicros);
  }
  pthread_join(g_thread, nullptr);
  g_thread_started.store(false);
  Qeltmlog(0, "[STIP Proxy]Wait STIP Proxy has been exited\n");
  for (auto& flag : g_channel_flags) flag.store(kChannelOff);
  return kQeltOk;
}

int STIPProxyStreamChannelStart(unsigned channel) {
  if (!ValidChannel(channel)) return kQeltUnsupported;
  g_channel_flags[channel].store(kChannelOn);
  return kQeltOk;
}

int STIPProxyStreamChannelStop(unsigned channel) {
  if (!ValidChannel(channel)) return kQeltUnsupported;
  g_channel_flags[channel].store(kChannelStopRequested);
  // Waits only while the thread runs: with no thread the channel is off at once.
  while (g_channel_flags[channel].load() == kChannelStopRequested) {
    if (g_thread_state.load() != kThreadRunning) {
      g_channel_flags[channel].store(kChannelOff);
      break;
    }
    Qeltmlog(0, "[STIP Proxy]Wait STIP stream channel %d to exit\n", channel);
    usleep(kWaitLogMicros);
  }
  return kQeltOk;
}

int STIPClientReceivePacketProcess(uint8_t* buffer, uint32_t capacity, int channel) {
  if (buffer == nullptr) return kQeltNullArgument;
  if (!ValidChannel(channel)) return kQeltUnsupported;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  ClientSession* node = g_channels[channel].first;
  while (node != nullptr) {
    ClientSession* next = node->next;
    const int rc = TCPClientReceiveProxyProcess(node->fd, buffer, capacity, 0);
    if (rc == kQeltPeerClosed) {
      const int removed = SockeRemoveClientByClientInfo(&g_channels[channel], node);
      Qeltmlog(0, "[STIP] Remove socket return code: %d\n", removed);
    }
    node = next;
  }
  return kQeltOk;
}

int STIPClientConnectSession(const char* ip, unsigned port, int channel) {
  if (ip == nullptr) return kQeltNullArgument;
  if (!ValidChannel(channel)) return kQeltUnsupported;
  int fd = -1;
  const int rc = TCPConnectServer(ip, port, &fd);
  if (rc != kQeltOk) return rc;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  const int added = SocketAddClientToList(&g_channels[channel], ip, fd, STIPMallocInfoHeadFunc);
  if (added != kQeltOk) close(fd);
  return added;
}

int STIPClientExist(const char* ip, int channel) {
  if (ip == nullptr) return kQeltNullArgument;
  if (!ValidChannel(channel)) return kQeltUnsupported;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  return SocketClientExist(&g_channels[channel], ip) != 0 ? kQeltSessionExists : kQeltNoSuchSession;
}

int STIPClientCloseSession(const char* ip, int channel) {
  if (ip == nullptr) return kQeltNullArgument;
  if (!ValidChannel(channel)) return kQeltUnsupported;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  return SockeRemoveClientFromList(&g_channels[channel], ip);
}

ClientSession* STIPClientGetInfoList(int fd, int channel) {
  if (!ValidChannel(channel)) return nullptr;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  return FindByFd(fd, channel);
}

int STIPGetClientSocketFD(const char* ip, int* fd, int channel) {
  if (ip == nullptr || fd == nullptr) return kQeltNullArgument;
  if (!ValidChannel(channel)) return kQeltUnsupported;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  ClientSession* node = nullptr;
  SocketFindClientList(&g_channels[channel], ip, &node);
  if (node == nullptr) return kQeltNoSession;
  *fd = node->fd;
  return kQeltOk;
}

int STIPClientSendCtrlImageMsg(const char* ip, const CtrlImageRequest* record, int channel) {
  if (ip == nullptr || record == nullptr) return kQeltNullArgument;
  int fd = -1;
  int rc = STIPGetClientSocketFD(ip, &fd, channel);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STIP] Can not get client socket, ip address %s error code: %d\n", ip, rc);
    return rc;
  }
  uint8_t packet[kStipCtrlPacketBytes];
  uint32_t length = 0;
  rc = STIPPackageCtrlImagePacket(record, packet, sizeof packet, &length);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[STIP] Package ctrl image packet failed , error code: %d\n", rc);
    return rc;
  }
  uint32_t sent = 0;
  rc = SendPacketFragment(fd, packet, length, &sent);
  if (rc == kQeltOk && sent < length) rc = kQeltSendUnexpected;
  Qeltmlog(0, "[STIP]Send ctrl Image packet, PacketSize: %d, client socket fd:%d, return code:%d\n", length, fd, rc);
  return rc;
}

}  // extern "C"
