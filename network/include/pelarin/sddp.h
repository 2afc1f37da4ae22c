// Device discovery over UDP broadcast: the answerer of a serving device, the periodic discovery
// broadcast of a client, and the client's list of found devices with its time-out.
#pragma once

#include <sys/time.h>
#include <cstdint>

#include "pelarin/packet.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

constexpr int kSddpClientMode = 2;
constexpr uint32_t kSddpDatagramBufferBytes = 100;
constexpr uint32_t kSddpDatagramBytes = 72;
constexpr uint32_t kSddpBroadcastPeriodMillis = 3001;  // a broadcast goes out once this much has passed
constexpr uint64_t kSddpDeviceTimeoutMillis = 9001;    // a device this long silent is dropped
constexpr int kSddpClientWaitMillis = 10000;           // discovery-client thread's wait for a datagram

// Events handed to the notify callback.
enum SddpDeviceEvent : uint32_t { kSddpDeviceFound = 1, kSddpDeviceLost = 2 };

// One listed device; the callback receives the node, valid during the call only.
struct DeviceListNode {
  DiscoveredDevice device;
  struct timeval last_seen;
  DeviceListNode* prev;
  DeviceListNode* next;
};

struct DeviceList {
  uint32_t count;
  DeviceListNode* last;
  DeviceListNode* first;
};

// Device found (1) or lost (2); the third argument is always 0.
typedef void (*NotifyDeviceFunc)(unsigned int event, void* node, int zero);
// Registers the callback (null: none).
int SDDPRegisterNotifyDeviceFunc(NotifyDeviceFunc fn);

int SDDPInit(int mode);
int SDDPUnInit(void);
int SDDPCreateSession(uint32_t port);
int SDDPConnectSession(uint32_t port);
int SDDPCloseSession(void);
int SDDPClientStartDiscoveryDevice(void);
int SDDPClientStopDiscoveryDevice(void);

int SDDPPackageDiscoveryPacket(uint8_t* buffer, uint32_t capacity, uint32_t* length);
int SDDPPackageDiscoveryAckPacket(uint8_t* buffer, uint32_t capacity, uint32_t* length);
int SDDPAnalysisPacket(const uint8_t* data, uint32_t length);

int SDDPReceiveDiscoveryPacketProcess(void);
int SDDPCheckReplyAck(void);
int SDDPClearReplyAck(void);
int SDDPReceiveDiscoveryAckPacketProcess(uint8_t sender_type, const uint8_t* data, uint32_t length);

// ---- device list (locked: any thread may read it) ----
int SDDPManageDeviceInit(void);
int SDDPManageDeviceUnInit(void);
int SDDPISSameDevice(const DiscoveredDevice* record);
int SDDPAddDevice(const DiscoveredDevice* record);
int SDDPRemoveDevice(const char* address);
int SDDPUpdateDeviceTime(const DiscoveredDevice* record);
uint32_t SDDPGetDeviceNumber(void);
// Copies at most `maximum` records, in order of discovery; never touches more than that.
int SDDPGetDeviceInfo(DiscoveredDevice* array, uint32_t maximum);
int SDDPDeviceTimeOutProcess(void);

// Sends a discovery broadcast when one is due; always 0.
int SDDPClientDiscoveryDeviceProcess(void);
// One pass of the discovery client: broadcast when due, wait up to `wait_millis` for an answer,
// analyse it, drop devices that timed out. Non-zero when the wait itself failed.
int SDDPClientDiscoveryPass(uint8_t* buffer, uint32_t capacity, int wait_millis);

// The discovery answerer: mode 2 loops until its wait fails, any other mode runs one pass.
int BroadCastServerProxyProcess(int mode);
// The looping answerer on the calling thread.
void* BroadCastProxyProcess(void* arg);

// Wall clock of the device list in microseconds; tests may replace it (null: the real clock).
typedef uint64_t (*SddpClockFunc)(void);
void SDDPSetClock(SddpClockFunc clock);

}  // extern "C"

LIBRARY_EXPORTS_END
