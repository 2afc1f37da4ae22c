// Stand-in for a monitored program: sends heartbeat datagrams to the watchdog until SIGUSR1.
//   heartbeat_sender ADDRESS PORT NAME INTERVAL_MS
// Writes its process id to "NAME.pid" in the working folder, then sends one 4116-byte heartbeat
// (process id at bytes 16-19, little-endian; NAME from byte 20, the rest zero) every INTERVAL_MS.
// After SIGUSR1 it keeps running but sends nothing more, as a hung program would.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kDatagramBytes = 4116;
constexpr std::size_t kProcessIdOffset = 16;
constexpr std::size_t kNameOffset = 20;
constexpr std::size_t kNameBytes = kDatagramBytes - kNameOffset;
constexpr int kArgumentCount = 5;

volatile sig_atomic_t g_silenced = 0;

void Silence(int) { g_silenced = 1; }

std::vector<unsigned char> Heartbeat(const std::string& name) {
  std::vector<unsigned char> datagram(kDatagramBytes, 0);
  const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
  for (std::size_t byte = 0; byte < sizeof pid; ++byte) {
    datagram[kProcessIdOffset + byte] = static_cast<unsigned char>(pid >> (8 * byte));
  }
  std::memcpy(datagram.data() + kNameOffset, name.data(), std::min(name.size(), kNameBytes));
  return datagram;
}

bool WritePidFile(const std::string& name) {
  const std::string path = name + ".pid";
  const std::string partial = path + ".partial";
  FILE* file = std::fopen(partial.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "%d\n", static_cast<int>(getpid()));
  if (std::fclose(file) != 0) return false;
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != kArgumentCount) {
    std::fprintf(stderr, "usage: heartbeat_sender ADDRESS PORT NAME INTERVAL_MS\n");
    return 2;
  }
  const std::string name = argv[3];
  const std::chrono::milliseconds interval(std::atol(argv[4]));
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
  if (inet_pton(AF_INET, argv[1], &destination.sin_addr) != 1) {
    std::fprintf(stderr, "heartbeat_sender: not an IPv4 address: %s\n", argv[1]);
    return 2;
  }
  signal(SIGUSR1, Silence);
  const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sender < 0 || !WritePidFile(name)) {
    std::perror("heartbeat_sender");
    return 1;
  }
  const std::vector<unsigned char> datagram = Heartbeat(name);
  for (;;) {
    if (!g_silenced) {
      sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
             sizeof destination);
    }
    std::this_thread::sleep_for(interval);
  }
}
