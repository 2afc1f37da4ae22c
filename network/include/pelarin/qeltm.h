// The library's exported service interface: init and uninit of a role, callbacks, sends, and
// the client-side connect, disconnect and control calls.
#pragma once

#include <cstdint>

#include "pelarin/ctrlmsg.h"
#include "pelarin/foundation.h"
#include "pelarin/packet.h"
#include "pelarin/sddp.h"
#include "pelarin/stip.h"
#include "pelarin/stop.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Peer of the client connect functions; what the ports mean depends on the function.
struct PeerRecord {
  char ip[kAddressTextBytes];
  uint32_t port_a;
  uint32_t port_b;
  int32_t channel;  // image stream channel 0..2
};

constexpr int kApiLockMillis = 2000;

// Starts the role the record names. 38 null record, 39 unknown device type, 24 while a role
// is up (uninit first), 1 an address text without its terminator; else the role's result.
int QELTMInit(const tagNetworkInitPara* para);
// Stops every thread and closes every socket of the library; safe after a partial start. 0.
int QELTMUnInit(void);
const char* QELTMGetVersion(void);

int QELTMRegisterLogImageFunc(LogImageFunc fn);
int QELTMRegisterRecvCtrlMsg(RecvCtrlMsgFunc fn, void* ctx);
int QELTMRegisterRecvImageFunc(RecvImageFunc fn, int channel, void* ctx);
int QELTMRegisterRecvObjectFunc(RecvObjectFunc fn, void* ctx);
int QELTMRegisterNotifyDeviceFunc(NotifyDeviceFunc fn);
int QELTMStartDiscoveryDevice(void);
int QELTMStopDiscoveryDevice(void);

int QELTMSendImage(const ImagePara* header, const void* data, unsigned size);
int QELTMSendCtrlImageMsg(const char* ip, const CtrlImageRequest* record, int channel);
int QELTMSendCtrlObjectMsg(const char* ip, const CtrlObject* record);

int QELTMConnectZUQ(const PeerRecord* peer);
int QELTMConnectZUQExist(const PeerRecord* peer);
void QELTMDisconnectZUQ(const PeerRecord* peer);
int QELTMConnectSTIP(const PeerRecord* peer);
void QELTMDisconnectSTIP(const PeerRecord* peer);
int QELTMConnectSTOP(const PeerRecord* peer);
void QELTMDisconnectSTOP(const PeerRecord* peer);
int QELTMConnectNORB(const PeerRecord* peer);
void QELTMDisconnectNORB(const PeerRecord* peer);

// Installs the SIGINT handler. The handler only records the signal; a watcher thread logs
// "Caught signal %d", stops the library's threads and closes the image and control connections.
int QELTMSignalInit(void);
void QELTMHandler(int signal);

}  // extern "C"

LIBRARY_EXPORTS_END
