// The heartbeat client: one UDP datagram to the watchdog proving that the pipeline is alive.
#include "heartbeat_client.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/process.h"
#include "qelt_log.h"

namespace {

constexpr int kReuseAddressOn = 1;
constexpr int kBitsPerByte = 8;
constexpr unsigned kMaxPort = 65535;

// Fills an IPv4 socket address from dotted text and a port; false when the text is not an address.
bool MakeAddress(const char* text, unsigned port, sockaddr_in* address) {
  std::memset(address, 0, sizeof(*address));
  address->sin_family = static_cast<sa_family_t>(BaseSocket::ToAddressFamily(kSocketFamilyIPv4));
  address->sin_port = htons(static_cast<std::uint16_t>(port));
  return text != nullptr && port <= kMaxPort && inet_pton(AF_INET, text, &address->sin_addr) == 1;
}

}  // namespace

HeartbeatClient::HeartbeatClient() : destination_length_(0) { std::memset(&destination_, 0, sizeof(destination_)); }

HeartbeatClient::~HeartbeatClient() = default;

Result HeartbeatClient::Open(const char* local_address, unsigned local_port, const char* destination_address,
                             unsigned destination_port, const char* application_name) {
  sockaddr_in local;
  sockaddr_in destination;
  if (!MakeAddress(local_address, local_port, &local) ||
      !MakeAddress(destination_address, destination_port, &destination)) {
    PrintLog("main", "HeartbeatClient::Open, bad address %s:%u or %s:%u\n", local_address ? local_address : "",
             local_port, destination_address ? destination_address : "", destination_port);
    return RESULT_INVALID_ARGUMENT;
  }
  Result result = socket_.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault);
  if (result != RESULT_OK) return result;
  const std::int32_t reuse = kReuseAddressOn;
  result = socket_.SetOption(kSocketLevelSocket, kSocketOptionReuseAddress, &reuse, sizeof(reuse));
  if (result == RESULT_OK) result = socket_.Bind(reinterpret_cast<const sockaddr*>(&local), sizeof(local));
  if (result != RESULT_OK) {
    socket_.Close();
    return result;
  }
  destination_ = destination;
  destination_length_ = sizeof(destination_);
  application_name_ = application_name == nullptr ? std::string() : std::string(application_name);
  return RESULT_OK;
}

void HeartbeatClient::BuildDatagram(int process_id, const std::string& application_name, unsigned char* datagram) {
  std::memset(datagram, 0, kHeartbeatDatagramBytes);
  const std::uint32_t id = static_cast<std::uint32_t>(process_id);
  for (std::size_t byte = 0; byte < sizeof(id); ++byte) {
    datagram[kHeartbeatProcessIdOffset + byte] = static_cast<unsigned char>(id >> (kBitsPerByte * byte));
  }
  const std::size_t name_length = std::min(application_name.size(), kHeartbeatProcessNameBytes);
  std::memcpy(datagram + kHeartbeatProcessNameOffset, application_name.data(), name_length);
}

Result HeartbeatClient::Send() {
  std::vector<unsigned char> datagram(kHeartbeatDatagramBytes);
  BuildDatagram(static_cast<int>(LinuxProcess::GetCurrentProcessId()), application_name_, datagram.data());
  std::size_t sent = 0;
  return socket_.SendTo(datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&destination_),
                        destination_length_, &sent);
}

Result HeartbeatClient::Close() { return socket_.Close(); }
