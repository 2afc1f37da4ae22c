// The test camera role of the client tests.
#include "camera_role.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <random>

#include "test_support/loopback.h"

namespace camera_client_test {
namespace {

using test_support::PortFree;

constexpr int kLowestPort = 20000;
constexpr int kHighestPort = 30000;
constexpr int kStartAttempts = 10;
constexpr uint32_t kDiscoveryPortOffset = 3;
constexpr int kNotHandled = 11;
constexpr uint32_t kRequestHeadBytes = 12;
constexpr uint32_t kShiftReplyScale = 10;

// A base port whose next three ports are free too (tests run in parallel: chosen at random).
uint16_t FreeBasePort(const char* address) {
  std::mt19937 random(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
  std::uniform_int_distribution<int> pick(kLowestPort, kHighestPort);
  for (;;) {
    const uint16_t base = static_cast<uint16_t>(pick(random));
    bool free = PortFree(SOCK_DGRAM, base + kDiscoveryPortOffset, address);
    for (uint16_t p = base; free && p < base + kDiscoveryPortOffset; ++p) free = PortFree(SOCK_STREAM, p, address);
    if (free) return base;
  }
}

}  // namespace

uint16_t StartCameraRole(const char* bind_address, const char* own_address) {
  tagNetworkInitPara p{};
  p.device_type = kDeviceZuq;
  strcpy(p.server_ip, bind_address);
  strcpy(p.local_ip, own_address);
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    const uint16_t base = FreeBasePort(bind_address);
    p.norb_image_port = base;
    p.yrd_image_port = base + 1u;
    p.ctrl_port = base + 2u;
    p.broadcast_port = base + kDiscoveryPortOffset;
    if (QELTMInit(&p) == kQeltOk) {
      QELTMRegisterRecvCtrlMsg(CameraControl, nullptr);
      return base;
    }
    QELTMUnInit();
  }
  return 0;
}

int CameraControl(const char* payload, int length, void*, tagACKMsgPara* reply) {
  if (length < static_cast<int>(kRequestHeadBytes)) return kNotHandled;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(payload);
  uint32_t command = 0, first = 0, second = 0;
  GetUint32Value(bytes + 4, &command);
  if (length >= 16) GetUint32Value(bytes + 12, &first);
  if (length >= 20) GetUint32Value(bytes + 16, &second);
  switch (command) {
    case kCmdGetVersion: return QeltReplyVersion(reply, 0, kVersionText, strlen(kVersionText));
    case kCmdSetSystemTime: return QeltReplySetSystemTime(reply, 0, first, second, kTimeMicros);
    case kCmdUpgradeControl: return QeltReplyUpgradeControlCommand(reply, 0, "", 0);
    case kCmdGetMacAddress: return QeltReplyMacAddress(reply, 0, kMacText, strlen(kMacText));
    case kCmdGetZuqDirection: return QeltReplyGetZuqDirection(reply, 0, kDirection);
    case kCmdAdjustZuqDisparityShift: {
      const int32_t step = static_cast<int32_t>(first);
      if (step == kRefusedShiftStep) return QeltReplyAdjustZuqDisparityShift(reply, kQeltUnsupported, 0);
      return QeltReplyAdjustZuqDisparityShift(reply, 0, static_cast<uint32_t>(step) * kShiftReplyScale);
    }
    default: return kNotHandled;
  }
}

int DropLog(const char*, const char*, ...) { return 0; }

bool HasLine(const std::string& output, const std::string& line) {
  return ("\n" + output).find("\n" + line + "\n") != std::string::npos;
}

}  // namespace camera_client_test
