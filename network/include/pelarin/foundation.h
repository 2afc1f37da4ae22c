// Foundations of libpelarin: the init record and its copy, the library log and the timed locks.
#pragma once

#include <pthread.h>
#include <cstdint>

#include "pelarin/result_codes.h"
#include "library_export.h"

LIBRARY_EXPORTS_BEGIN

extern "C" {

// Roles of the library, chosen by the init record's device type.
enum QeltDeviceType : uint8_t { kDeviceZuq = 1, kDeviceNorb = 2, kDeviceYrd = 4 };

constexpr unsigned kAddressTextBytes = 40;
constexpr unsigned kIdentityTextBytes = 32;

// Parameter record of QELTMInit (184 bytes); the library keeps a copy in QeltmParaCfg.
struct tagNetworkInitPara {
  uint8_t device_type;
  char server_ip[kAddressTextBytes];
  char local_ip[kAddressTextBytes];
  uint32_t norb_image_port;
  uint32_t yrd_image_port;
  uint32_t ctrl_port;
  uint32_t broadcast_port;
  uint32_t stop_port;
  uint32_t skip_init;
  char vendor_name[kIdentityTextBytes];
  char serial_number[kIdentityTextBytes];
  double color_bit_rate;
};

extern tagNetworkInitPara QeltmParaCfg;
extern const char QELTMVersion[];
extern const char DefaultVenderName[];
extern const char DefaultSeralNumber[];

// Log callback: called as fn("QELTM", "%s", text).
typedef int (*LogImageFunc)(const char* tag, const char* format, ...);

// Writes one log line (cut to 255 characters) through the registered callback, else to stdout.
void Qeltmlog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Socket-layer spelling of the same log.
void Socketlog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Both register the one callback slot of the library; null sends lines to stdout again.
int SocketRegisterLogImageFunc(LogImageFunc fn);
int SocketRegisterLogFunc(LogImageFunc fn);

// Blocking lock time-out of ThreadMutexLock.
constexpr int kMutexWaitForever = 0x7FFFFFFF;

int ThreadMutexCreate(pthread_mutex_t* mutex, const char* name);
int ThreadMutexDestory(pthread_mutex_t* mutex);
int ThreadMutexLock(pthread_mutex_t* mutex, int timeout_ms);
int ThreadMutexUnLock(pthread_mutex_t* mutex);

}  // extern "C"

static_assert(sizeof(tagNetworkInitPara) == 184, "init record layout");

LIBRARY_EXPORTS_END
