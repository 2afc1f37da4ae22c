// Finding cameras on the local network with the library's discovery client.
#pragma once

#include <atomic>
#include <string>
#include <vector>

namespace camera_client {

struct FoundCamera {
  std::string address;
  unsigned device_type = 0;
};

// Broadcasts discovery requests (the library sends the first about 3 s after discovery is
// switched on) and collects the cameras that answer, for up to `seconds`, or until a short while
// after the first answer. Needs the image-client role started; stops early when `stop` is set.
std::vector<FoundCamera> DiscoverCameras(int seconds, const std::atomic<bool>& stop);

}  // namespace camera_client
