// Init and uninit of the library's three roles: camera, passage unit and image client.
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "pelarin/proxy.h"
#include "pelarin/qeltm.h"
#include "qeltm_internal.h"

namespace {

std::mutex g_life;        // serialises init and uninit
bool g_role_up = false;   // a role started and not yet uninitialised

constexpr int kStipServerRole = 1;
constexpr int kStipClientRole = 2;
constexpr int kSddpServerRole = 1;
constexpr int kSddpClientRole = 2;

// Stops threads and frees every module, in the fixed order; safe after a partial start.
void UndoAll() {
  qeltm::SignalWatcherStop();  // first: it must not close sessions while they are undone
  StopAllProxyProcess();
  STIPUnInit();
  SCDPUnInit();
  SDDPUnInit();
  STOPUnInit();
  qeltm::ApiMutexDestroy();
}

int StartThread(uint32_t thread, const char* failure_line) {
  const int rc = ProxyThreadStart(thread);
  if (rc != kQeltOk) Qeltmlog(2, failure_line, rc);
  return rc;
}

int ZUQInit(const tagNetworkInitPara& p) {
  STIPInit(kStipServerRole, p.color_bit_rate);
  SCDPInit(kScdpServerMode);
  SDDPInit(kSddpServerRole);
  int rc = STIPServerCreateSession(p.server_ip, p.norb_image_port, kServerNorbImage);
  if (rc == kQeltOk) rc = STIPServerCreateSession(p.server_ip, p.yrd_image_port, kServerYrdImage);
  if (rc == kQeltOk) rc = SCDPServerCreateSession(p.server_ip, p.ctrl_port);
  if (rc == kQeltOk) rc = SDDPCreateSession(p.broadcast_port);
  if (rc == kQeltOk) rc = StartThread(kProxyNorbImage, "Create norb image server proxy failed.Ret %d\n");
  if (rc == kQeltOk) rc = StartThread(kProxyYrdImage, "Create YRD image server proxy failed.Ret %d\n");
  if (rc == kQeltOk) {
    rc = StartThread(kProxyCtrlAndBroadcast, "Create YRD ctrl and broadcast server proxy failed.Ret %d\n");
  }
  if (rc != kQeltOk) UndoAll();
  return rc;
}

int NORBInit(const tagNetworkInitPara& p) {
  if (p.skip_init != 0) return kQeltOk;
  STIPInit(kStipClientRole, p.color_bit_rate);
  SCDPInit(kScdpClientMode);
  SCDPInit(kScdpServerMode);
  SDDPInit(kSddpServerRole);
  STOPInit(kStopServerMode);
  int rc = SCDPServerCreateSession(p.server_ip, p.ctrl_port);
  if (rc == kQeltOk) rc = SDDPCreateSession(p.broadcast_port);
  if (rc == kQeltOk) rc = STOPServerCreateSession(p.server_ip, p.stop_port, kServerObject);
  if (rc == kQeltOk) rc = StartThread(kProxyCtrlAndBroadcast, "Create broadcast server proxy failed.Ret %d\n");
  if (rc == kQeltOk) rc = StartThread(kProxyStopServer, "Create STOP server proxy failed.Ret %d\n");
  if (rc != kQeltOk) UndoAll();
  return rc;
}

int YRDInit(const tagNetworkInitPara& p) {
  if (p.skip_init != 0) return kQeltOk;
  STIPInit(kStipClientRole, p.color_bit_rate);
  SCDPInit(kScdpClientMode);
  SDDPInit(kSddpClientRole);
  STOPInit(kStopClientMode);
  const int rc = SDDPConnectSession(p.broadcast_port);
  if (rc != kQeltOk) UndoAll();
  return rc;
}

bool Terminated(const char* text, size_t size) { return strnlen(text, size) < size; }

}  // namespace

extern "C" {

int QELTMInit(const tagNetworkInitPara* para) {
  if (para == nullptr) return kQeltNullArgument;
  std::lock_guard<std::mutex> life(g_life);
  if (g_role_up) {
    Qeltmlog(2, "[QELTM]QELTMInit refused: a role is running, QELTMUnInit first\n");
    return kQeltAlready;
  }
  // The caller's record may be changed by another thread: work on one copy throughout.
  const tagNetworkInitPara p = *para;
  if (!Terminated(p.server_ip, sizeof(p.server_ip)) || !Terminated(p.local_ip, sizeof(p.local_ip))) {
    Qeltmlog(2, "[QELTM]QELTMInit refused: address text without terminator\n");
    return kQeltBadAddress;
  }
  qeltm::ApiMutexCreate();
  Qeltmlog(0,
           "[QELTM]QELTMInit para, Device type %d, server ip address %s,local ip address %s, NORB port %d,YRD "
           "port %d,Ctrl Port %d, Broad cast port %d, STOP port %d\n",
           p.device_type, p.server_ip, p.local_ip, p.norb_image_port, p.yrd_image_port, p.ctrl_port,
           p.broadcast_port, p.stop_port);
  // Copied before the role starts, so its first discovery answers carry this record.
  QeltmParaCfg = p;
  // The servers' places follow the descriptors the process may have: as many as the hard limit
  // allows. The image-client role runs no server and leaves its host's limit as it is.
  if (p.device_type != kDeviceYrd && SocketRaiseDescriptorLimit() != kQeltOk)
    Qeltmlog(1, "[QELTM]Descriptor limit not raised, errno=%d\n", errno);
  int rc;
  switch (p.device_type) {
    case kDeviceZuq: rc = ZUQInit(p); break;
    case kDeviceNorb: rc = NORBInit(p); break;
    case kDeviceYrd: rc = YRDInit(p); break;
    default:
      rc = kQeltUnknownDevice;
      qeltm::ApiMutexDestroy();
      break;
  }
  if (rc != kQeltOk) Qeltmlog(2, "[QELTM]NetWork init failed, Device type %d,return code : %d\n", p.device_type, rc);
  g_role_up = rc == kQeltOk;
  if (g_role_up && SocketServersRunning() > 0) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    Qeltmlog(0, "[QELTM]Descriptor limit %llu: each of %u servers holds up to %u connections\n",
             static_cast<unsigned long long>(limit.rlim_cur), SocketServersRunning(), SocketServerShare());
  }
  Qeltmlog(0, "[QELTM]QELTM finish init\n");
  return rc;
}

int QELTMUnInit(void) {
  std::lock_guard<std::mutex> life(g_life);
  UndoAll();
  g_role_up = false;
  return kQeltOk;
}

const char* QELTMGetVersion(void) { return QELTMVersion; }

}  // extern "C"
