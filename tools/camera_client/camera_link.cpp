// The client's side of the library: role, connection and stream switch.
#include "camera_link.h"

#include <cstring>

namespace camera_client {
namespace {

// The camera serves the passage unit's images on the base port, then the image client's, the
// control connection and discovery on the next three.
constexpr uint32_t kImagePortOffset = 1;
constexpr uint32_t kControlPortOffset = 2;
constexpr uint32_t kDiscoveryPortOffset = 3;
// The receive thread of the image client serves channels 1 and 2.
constexpr int kStreamChannel = 1;
constexpr const char* kAnyAddress = "0.0.0.0";
// What the start request asks for: the colour stream's size and rate (the camera sends its
// disparity images on the same stream).
constexpr uint16_t kStreamWidth = kStipColorWidth;
constexpr uint16_t kStreamHeight = kStipColorHeight;
constexpr uint8_t kStreamFrameRate = kStipColorFps;

}  // namespace

CameraPorts PortsFromBase(uint32_t base_port) {
  return {base_port + kImagePortOffset, base_port + kControlPortOffset, base_port + kDiscoveryPortOffset};
}

int StartClientRole(const CameraPorts& ports) {
  tagNetworkInitPara record{};
  record.device_type = kDeviceYrd;
  std::strcpy(record.server_ip, kAnyAddress);
  std::strcpy(record.local_ip, kAnyAddress);
  record.yrd_image_port = ports.image;
  record.ctrl_port = ports.control;
  record.broadcast_port = ports.discovery;
  return QELTMInit(&record);
}

void StopClientRole() { QELTMUnInit(); }

CameraLink::CameraLink(const std::string& address, const CameraPorts& ports) {
  std::strncpy(peer_.ip, address.c_str(), sizeof(peer_.ip) - 1);
  peer_.port_a = ports.image;
  peer_.port_b = ports.control;
  peer_.channel = kStreamChannel;
}

CameraLink::~CameraLink() { Disconnect(); }

int CameraLink::Connect() {
  const int rc = QELTMConnectZUQ(&peer_);
  connected_ = rc == kQeltOk;
  return rc;
}

void CameraLink::Disconnect() {
  if (!connected_) return;
  QELTMDisconnectZUQ(&peer_);
  connected_ = false;
}

int CameraLink::SendStreamRequest(uint16_t command) {
  const CtrlImageRequest request{kStipRequest, command, 0, kStipImageTypeColor, kStreamWidth, kStreamHeight,
                                 kStreamFrameRate};
  return QELTMSendCtrlImageMsg(peer_.ip, &request, peer_.channel);
}

int CameraLink::StartStream() { return SendStreamRequest(kStipStart); }
int CameraLink::StopStream() { return SendStreamRequest(kStipStop); }

bool CameraLink::StreamConnected() const {
  return STIPClientExist(peer_.ip, peer_.channel) == kQeltSessionExists;
}

}  // namespace camera_client
