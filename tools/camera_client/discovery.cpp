// Discovery of cameras: the library's discovery client loop on a thread of this program, its
// notify callback collecting the answers.
#include "discovery.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "pelarin/qeltm.h"

namespace camera_client {
namespace {

constexpr int kPassWaitMillis = 100;       // one pass's wait for an answer
constexpr uint32_t kReceiveBytes = 1024;   // room for one discovery datagram and more
// Other cameras answer the same broadcast within this time of the first.
constexpr auto kMoreAnswersWait = std::chrono::milliseconds(500);
constexpr auto kStopPoll = std::chrono::milliseconds(50);

struct Found {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<FoundCamera> cameras;
};
Found g_found;  // the notify callback has no context: the one discovery of this process

void OnDevice(unsigned event, void* node, int) {
  if (event != kSddpDeviceFound || node == nullptr) return;
  const DiscoveredDevice& device = static_cast<const DeviceListNode*>(node)->device;
  std::lock_guard<std::mutex> lock(g_found.mutex);
  g_found.cameras.push_back({std::string(device.ip_address, strnlen(device.ip_address, sizeof(device.ip_address))),
                             device.device_type});
  g_found.changed.notify_all();
}

}  // namespace

std::vector<FoundCamera> DiscoverCameras(int seconds, const std::atomic<bool>& stop) {
  {
    std::lock_guard<std::mutex> lock(g_found.mutex);
    g_found.cameras.clear();
  }
  QELTMRegisterNotifyDeviceFunc(OnDevice);
  QELTMStartDiscoveryDevice();
  std::atomic<bool> done{false};
  std::thread client([&done] {
    std::vector<uint8_t> buffer(kReceiveBytes);
    while (!done.load()) SDDPClientDiscoveryPass(buffer.data(), kReceiveBytes, kPassWaitMillis);
  });

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool first_seen = false;
  std::unique_lock<std::mutex> lock(g_found.mutex);
  while (!stop.load() && std::chrono::steady_clock::now() < deadline) {
    g_found.changed.wait_for(lock, kStopPoll);
    if (!first_seen && !g_found.cameras.empty()) {
      first_seen = true;
      deadline = std::min(deadline, std::chrono::steady_clock::now() + kMoreAnswersWait);
    }
  }
  std::vector<FoundCamera> cameras = g_found.cameras;
  lock.unlock();

  done.store(true);
  client.join();
  QELTMStopDiscoveryDevice();
  return cameras;
}

}  // namespace camera_client
