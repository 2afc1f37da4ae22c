// Client-side calls of the service interface: connect and disconnect peers, callbacks, sends.
#include <cstring>

#include "pelarin/proxy.h"
#include "pelarin/qeltm.h"
#include "qeltm_internal.h"

namespace {

pthread_mutex_t g_api_mutex;
bool g_api_mutex_made = false;

bool ValidPeer(const PeerRecord* peer) {
  return peer != nullptr && strnlen(peer->ip, sizeof(peer->ip)) < sizeof(peer->ip);
}

int CheckPeer(const PeerRecord* peer) {
  if (peer == nullptr) return kQeltNullArgument;
  return ValidPeer(peer) ? kQeltOk : kQeltBadAddress;
}

// Holds the API mutex for one scope; `rc` says whether it was taken.
class ApiLock {
 public:
  ApiLock() : rc_(ThreadMutexLock(&g_api_mutex, kApiLockMillis)) {
    if (rc_ != kQeltOk) Qeltmlog(2, "[STIP]Lock QELTM data failed, return code:%d\n", rc_);
  }
  ~ApiLock() {
    if (rc_ == kQeltOk) ThreadMutexUnLock(&g_api_mutex);
  }
  int rc() const { return rc_; }

 private:
  int rc_;
};

}  // namespace

namespace qeltm {

pthread_mutex_t* ApiMutex() { return &g_api_mutex; }

void ApiMutexCreate() {
  if (g_api_mutex_made) return;
  g_api_mutex_made = ThreadMutexCreate(&g_api_mutex, "QELTM") == kQeltOk;
}

void ApiMutexDestroy() {
  if (!g_api_mutex_made) return;
  ThreadMutexDestory(&g_api_mutex);
  g_api_mutex_made = false;
}

}  // namespace qeltm

extern "C" {

int QELTMRegisterLogImageFunc(LogImageFunc fn) { return SocketRegisterLogImageFunc(fn); }

int QELTMRegisterRecvCtrlMsg(RecvCtrlMsgFunc fn, void* ctx) {
  if (fn == nullptr) return kQeltNullArgument;
  SCDPRegisterRecvCtrlMsg(fn, ctx);
  return kQeltOk;
}

int QELTMRegisterRecvImageFunc(RecvImageFunc fn, int channel, void* ctx) {
  if (fn == nullptr) return kQeltNullArgument;
  if (channel < 0) return kQeltUnsupported;
  return STIPRegisterRecvImageFunc(fn, static_cast<unsigned>(channel), ctx);
}

int QELTMRegisterRecvObjectFunc(RecvObjectFunc fn, void* ctx) {
  if (fn == nullptr) return kQeltNullArgument;
  STOPRegisterRecvImageFunc(fn, ctx);
  return kQeltOk;
}

int QELTMRegisterNotifyDeviceFunc(NotifyDeviceFunc fn) {
  if (fn == nullptr) return kQeltNullArgument;
  return SDDPRegisterNotifyDeviceFunc(fn);
}

int QELTMStartDiscoveryDevice(void) { return SDDPClientStartDiscoveryDevice(); }
int QELTMStopDiscoveryDevice(void) { return SDDPClientStopDiscoveryDevice(); }

int QELTMSendImage(const ImagePara* header, const void* data, unsigned size) {
  if (header == nullptr || data == nullptr) return kQeltNullArgument;
  return STIPServerWriteImage(header, data, size);
}

int QELTMSendCtrlImageMsg(const char* ip, const CtrlImageRequest* record, int channel) {
  if (ip == nullptr || record == nullptr) return kQeltNullArgument;
  return STIPClientSendCtrlImageMsg(ip, record, channel);
}

int QELTMSendCtrlObjectMsg(const char* ip, const CtrlObject* record) {
  if (ip == nullptr || record == nullptr) return kQeltNullArgument;
  return STOPClientSendCtrlImageMsg(ip, record);
}

int QELTMConnectZUQ(const PeerRecord* peer) {
  int rc = CheckPeer(peer);
  if (rc != kQeltOk) return rc;
  ApiLock lock;
  if (lock.rc() != kQeltOk) return lock.rc();
  rc = STIPClientConnectSession(peer->ip, peer->port_a, peer->channel);
  if (rc != kQeltOk) {
    STIPClientCloseSession(peer->ip, peer->channel);
    return rc;
  }
  rc = SCDPClientConnectSession(peer->ip, peer->port_b);
  if (rc != kQeltOk) {
    STIPClientCloseSession(peer->ip, peer->channel);
    SCDPClientCloseSession(peer->ip);
    return rc;
  }
  return STIPProxyStreamChannelStart(static_cast<unsigned>(peer->channel));
}

int QELTMConnectZUQExist(const PeerRecord* peer) {
  const int rc = CheckPeer(peer);
  if (rc != kQeltOk) return rc;
  if (STIPClientExist(peer->ip, peer->channel) == kQeltSessionExists) return kQeltSessionExists;
  return SCDPClientExist(peer->ip);
}

void QELTMDisconnectZUQ(const PeerRecord* peer) {
  if (!ValidPeer(peer)) return;
  // The channel is stopped before the API lock is taken: the stop waits for the receive
  // thread, whose image callback may itself call into this interface.
  STIPProxyStreamChannelStop(static_cast<unsigned>(peer->channel));
  ApiLock lock;
  if (lock.rc() != kQeltOk) return;
  STIPClientCloseSession(peer->ip, peer->channel);
  SCDPClientCloseSession(peer->ip);
}

int QELTMConnectSTIP(const PeerRecord* peer) {
  int rc = CheckPeer(peer);
  if (rc != kQeltOk) return rc;
  rc = STIPClientConnectSession(peer->ip, peer->port_a, peer->channel);
  if (rc != kQeltOk) {
    STIPClientCloseSession(peer->ip, peer->channel);
    return rc;
  }
  return STIPProxyStreamChannelStart(static_cast<unsigned>(peer->channel));
}

void QELTMDisconnectSTIP(const PeerRecord* peer) {
  if (!ValidPeer(peer)) return;
  STIPProxyStreamChannelStop(static_cast<unsigned>(peer->channel));
  STIPClientCloseSession(peer->ip, peer->channel);
}

// One receive thread serves every object-stream connection; starting it again does nothing.
int QELTMConnectSTOP(const PeerRecord* peer) {
  int rc = CheckPeer(peer);
  if (rc != kQeltOk) return rc;
  rc = STOPClientConnectSession(peer->ip, peer->port_b);
  if (rc == kQeltOk) {
    rc = ProxyThreadStart(kProxyStopClient);
    if (rc != kQeltOk) Qeltmlog(2, "[QELTM]Create STOP client proxy failed.Ret %d\n", rc);
  }
  if (rc != kQeltOk) STOPClientCloseSession(peer->ip);
  return rc;
}

void QELTMDisconnectSTOP(const PeerRecord* peer) {
  if (!ValidPeer(peer)) return;
  STOPClientCloseSession(peer->ip);
}

int QELTMConnectNORB(const PeerRecord* peer) {
  int rc = CheckPeer(peer);
  if (rc != kQeltOk) return rc;
  rc = STOPClientConnectSession(peer->ip, peer->port_b);
  if (rc != kQeltOk) {
    STOPClientCloseSession(peer->ip);
    Qeltmlog(2, "[QELTM]Connect STOP failed. Ret %d\n", rc);
    return rc;
  }
  rc = ProxyThreadStart(kProxyStopClient);
  if (rc != kQeltOk) {
    Qeltmlog(2, "[QELTM]Create STOP client proxy failed.Ret %d\n", rc);
    STOPClientCloseSession(peer->ip);
    Qeltmlog(2, "[QELTM]Connect STOP failed. Ret %d\n", rc);
    return rc;
  }
  rc = SCDPClientConnectSession(peer->ip, peer->port_a);
  if (rc != kQeltOk) {
    STOPClientCloseSession(peer->ip);
    Qeltmlog(2, "[QELTM]Connect SCDP failed. Ret %d\n", rc);
    return rc;
  }
  return kQeltOk;
}

void QELTMDisconnectNORB(const PeerRecord* peer) {
  if (!ValidPeer(peer)) return;
  STOPClientCloseSession(peer->ip);
  SCDPClientCloseSession(peer->ip);
}

}  // extern "C"
