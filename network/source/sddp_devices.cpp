// The discovery client's list of found devices: add, refresh, remove, time-outs and getters,
// all under one lock so that the API thread can read while the discovery thread changes it.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <atomic>

#include "log_limit.h"
#include "pelarin/foundation.h"
#include "pelarin/sddp.h"
#include "sddp_internal.h"

namespace {

constexpr uint64_t kMicrosPerSecond = 1000000;
constexpr uint64_t kMicrosPerMilli = 1000;

// Guards g_list and every node; recursive so that a notify callback may call the getters.
std::recursive_mutex g_list_lock;
DeviceList* g_list = nullptr;
std::atomic<NotifyDeviceFunc> g_SDDPNotifyDevice{nullptr};
std::atomic<SddpClockFunc> g_clock{nullptr};

uint64_t RealClockMicros() {
  timeval now{};
  gettimeofday(&now, nullptr);
  return static_cast<uint64_t>(now.tv_sec) * kMicrosPerSecond + static_cast<uint64_t>(now.tv_usec);
}

uint64_t NowMicros() {
  SddpClockFunc clock = g_clock.load(std::memory_order_acquire);
  return clock != nullptr ? clock() : RealClockMicros();
}

timeval ToTimeval(uint64_t micros) {
  timeval t{};
  t.tv_sec = static_cast<time_t>(micros / kMicrosPerSecond);
  t.tv_usec = static_cast<suseconds_t>(micros % kMicrosPerSecond);
  return t;
}

uint64_t Millis(const timeval& t) {
  return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_usec) / kMicrosPerMilli;
}

DeviceListNode* Find(const char* address) {
  if (g_list == nullptr || address == nullptr) return nullptr;
  for (DeviceListNode* n = g_list->first; n != nullptr; n = n->next) {
    if (strncmp(n->device.ip_address, address, kAddressTextBytes) == 0) return n;
  }
  return nullptr;
}

void Notify(uint32_t event, DeviceListNode* node) {
  NotifyDeviceFunc fn = g_SDDPNotifyDevice.load(std::memory_order_acquire);
  if (fn != nullptr) fn(event, node, 0);
}

void FreeAll() {
  DeviceListNode* node = g_list->first;
  while (node != nullptr) {
    DeviceListNode* next = node->next;
    free(node);
    node = next;
  }
  *g_list = DeviceList{};
}

}  // namespace

uint64_t pelarin::SddpNowMillis() { return NowMicros() / kMicrosPerMilli; }

extern "C" {

void SDDPSetClock(SddpClockFunc clock) { g_clock.store(clock, std::memory_order_release); }

int SDDPRegisterNotifyDeviceFunc(NotifyDeviceFunc fn) {
  g_SDDPNotifyDevice.store(fn, std::memory_order_release);
  return kQeltOk;
}

int SDDPManageDeviceInit(void) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  if (g_list != nullptr) {
    FreeAll();
    return kQeltOk;
  }
  g_list = static_cast<DeviceList*>(calloc(1, sizeof(DeviceList)));
  return g_list != nullptr ? kQeltOk : kQeltOutOfMemory;
}

int SDDPManageDeviceUnInit(void) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  if (g_list == nullptr) return kQeltNullArgument;
  FreeAll();
  free(g_list);
  g_list = nullptr;
  return kQeltOk;
}

int SDDPISSameDevice(const DiscoveredDevice* record) {
  if (record == nullptr) return kQeltNullArgument;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  return Find(record->ip_address) != nullptr ? kQeltSameDevice : kQeltOk;
}

int SDDPAddDevice(const DiscoveredDevice* record) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  if (record == nullptr || g_list == nullptr) return kQeltNullArgument;
  if (Find(record->ip_address) != nullptr) return kQeltOk;
  DeviceListNode* node = static_cast<DeviceListNode*>(calloc(1, sizeof(DeviceListNode)));
  if (node == nullptr) return kQeltOutOfMemory;
  node->device = *record;
  node->device.ip_address[kAddressTextBytes - 1] = '\0';
  node->last_seen = ToTimeval(NowMicros());
  node->prev = g_list->last;
  if (g_list->last != nullptr) g_list->last->next = node; else g_list->first = node;
  g_list->last = node;
  QELTM_LOG_LIMITED(0, "[SDDP]Discovery new device %s\n", node->device.ip_address);
  Notify(kSddpDeviceFound, node);
  ++g_list->count;
  return kQeltOk;
}

int SDDPRemoveDevice(const char* address) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  if (g_list == nullptr || address == nullptr) return kQeltNullArgument;
  DeviceListNode* node = Find(address);
  if (node == nullptr) {
    QELTM_LOG_LIMITED(0, "[SDDP]Can not find ip address %s is time out\n", address);
    return kQeltOk;
  }
  if (node->prev != nullptr) node->prev->next = node->next; else g_list->first = node->next;
  if (node->next != nullptr) node->next->prev = node->prev; else g_list->last = node->prev;
  node->prev = node->next = nullptr;
  QELTM_LOG_LIMITED(0, "[SDDP]Delete device %s\n", node->device.ip_address);
  Notify(kSddpDeviceLost, node);
  --g_list->count;
  free(node);
  return kQeltOk;
}

int SDDPUpdateDeviceTime(const DiscoveredDevice* record) {
  if (record == nullptr) return kQeltNullArgument;
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  DeviceListNode* node = Find(record->ip_address);
  if (node != nullptr) node->last_seen = ToTimeval(NowMicros());
  return kQeltOk;
}

uint32_t SDDPGetDeviceNumber(void) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  return g_list != nullptr ? g_list->count : 0;
}

int SDDPGetDeviceInfo(DiscoveredDevice* array, uint32_t maximum) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  if (g_list == nullptr || array == nullptr) return kQeltNullArgument;
  if (g_list->count == 0) return kQeltOk;
  const uint32_t wanted = maximum < g_list->count ? maximum : g_list->count;
  memset(array, 0, sizeof(DiscoveredDevice) * wanted);
  uint32_t i = 0;
  for (DeviceListNode* n = g_list->first; n != nullptr && i < wanted; n = n->next) array[i++] = n->device;
  return kQeltOk;
}

int SDDPDeviceTimeOutProcess(void) {
  std::lock_guard<std::recursive_mutex> guard(g_list_lock);
  if (g_list == nullptr) return kQeltNullArgument;
  const uint64_t now = NowMicros() / kMicrosPerMilli;
  DeviceListNode* node = g_list->first;
  while (node != nullptr) {
    DeviceListNode* next = node->next;
    const uint64_t seen = Millis(node->last_seen);
    // A device seen "in the future" (the clock went back) stays listed.
    if (now > seen && now - seen >= kSddpDeviceTimeoutMillis) {
      QELTM_LOG_LIMITED(0, "[SDDP]Device ip address %s is time out\n", node->device.ip_address);
      char address[kAddressTextBytes];
      memcpy(address, node->device.ip_address, sizeof address);
      SDDPRemoveDevice(address);
    }
    node = next;
  }
  return kQeltOk;
}

}  // extern "C"
