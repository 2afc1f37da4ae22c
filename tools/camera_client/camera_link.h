// The client's side of the library: the image-client role, the connection to one camera, and
// its image stream switched on and off.
#pragma once

#include <cstdint>
#include <string>

#include "pelarin/qeltm.h"

namespace camera_client {

// Ports a camera serves, from the base port in the order the camera assigns them.
struct CameraPorts {
  uint32_t image;      // the image client's stream
  uint32_t control;
  uint32_t discovery;
};
CameraPorts PortsFromBase(uint32_t base_port);

// Starts the library as an image client whose discovery talks to `ports.discovery`; 0 or its code.
int StartClientRole(const CameraPorts& ports);
void StopClientRole();

class CameraLink {
 public:
  CameraLink(const std::string& address, const CameraPorts& ports);
  ~CameraLink();
  CameraLink(const CameraLink&) = delete;
  CameraLink& operator=(const CameraLink&) = delete;

  // Connects the image stream and the control connection; 0 or the library's code.
  int Connect();
  void Disconnect();
  // Asks the camera to start or stop sending colour and disparity images; 0 or the send's code.
  int StartStream();
  int StopStream();
  // False once the camera has closed the image stream connection.
  bool StreamConnected() const;
  int channel() const { return peer_.channel; }
  const char* address() const { return peer_.ip; }

 private:
  int SendStreamRequest(uint16_t command);
  PeerRecord peer_{};
  bool connected_ = false;
};

}  // namespace camera_client
