// port_probe: a peer of the camera's ports, for the figures of tools/port_pressure/run.sh.
//   port_probe hold ADDRESS PORT COUNT idle|partial|request|startstop SECONDS   COUNT connections
//       that send nothing, five bytes of a packet head, one version request (its reply left unread)
//       or a stream start and stop, held for SECONDS (or until killed)
//   port_probe stream ADDRESS PORT SECONDS   asks an image port for its stream and reads it for
//       SECONDS: when the first colour and disparity images came, and whether the camera ended it
//   port_probe version ADDRESS PORT [DELAY]   one version request on the control port, DELAY seconds
//       after connecting (default 0): its answer time from the request
//   port_probe session ADDRESS PORT PERIOD SECONDS   one control connection asking for the version
//       every PERIOD seconds for SECONDS: requests answered and the longest answer time
//   port_probe zuq ADDRESS BASE_PORT DELAY   the library's own image client: QELTMConnectZUQ, then
//       DELAY seconds later its first control request and its stream start (3 s for images)
//   port_probe flood ADDRESS PORT SECONDS   start and stop requests on an image port, back to back
//   port_probe zero-window ADDRESS PORT SECONDS   asks for the stream and never reads
//   port_probe discovery ADDRESS PORT SECONDS   discovery datagrams of an image client to the
//       discovery port, one after another as fast as they go, the answers read as they come
// Each mode prints one line of figures; the exit status is 0 when the mode did what it measures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pelarin/ctrlmsg.h"
#include "pelarin/packet.h"
#include "pelarin/sddp.h"
#include "pelarin/qeltm.h"
#include "pelarin/stip.h"
#include "raw_peer.h"

namespace {

using probe::Connect;
using probe::SendAll;

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kElementOffset = kPacketHeadBytes;
constexpr uint32_t kImageTypeOffset = kPacketHeadBytes + kElementHeadBytes;  // ImagePara value byte 0
constexpr uint32_t kDataSizeOffset = kImageTypeOffset + 12;
constexpr uint32_t kPartialHeadBytes = 5;
constexpr int kZeroWindowBuffer = 4096;
constexpr int kAnswerWaitMillis = 10000;
constexpr size_t kReadChunk = 1 << 16;
constexpr rlim_t kWantedDescriptors = 8192;
constexpr int kZuqStreamSeconds = 3;
constexpr int kZuqChannel = 1;
constexpr uint32_t kYrdPortOffset = 1, kControlPortOffset = 2, kDiscoveryPortOffset = 3;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

uint32_t Word(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

void PutWord(Bytes* out, uint32_t w) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(w >> shift));
}

Bytes Packet(uint8_t type, const Bytes& value) {
  Bytes p(kDefaultPacketHead, kDefaultPacketHead + kPacketHeadBytes);
  p.push_back(type);
  PutWord(&p, static_cast<uint32_t>(value.size()));
  p.insert(p.end(), value.begin(), value.end());
  return p;
}

// A stream request: start (1) or stop (2) of the colour stream, 640 x 480 at 20 fps.
Bytes StreamRequest(uint8_t command) {
  Bytes value = {kStipRequest, command, 0, static_cast<uint8_t>(kStipColorFps)};
  PutWord(&value, kStipImageTypeColor);
  for (uint32_t size : {kStipColorWidth, kStipColorHeight}) {
    value.push_back(static_cast<uint8_t>(size >> 8));
    value.push_back(static_cast<uint8_t>(size));
  }
  return Packet(kElementCtrlImage, value);
}

// Waits up to `millis` for bytes or the end of the stream: > 0 bytes read, 0 ended, -1 nothing.
ssize_t ReadSome(int fd, uint8_t* buffer, size_t size, int millis) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, millis) <= 0) return -1;
  const ssize_t n = recv(fd, buffer, size, 0);
  return n < 0 ? 0 : n;
}

Bytes VersionRequest() {
  Bytes request;
  for (uint32_t w : {1u, 1u, 0u}) PutWord(&request, w);
  return Packet(kElementKeyValue, request);
}

int Hold(const char* address, int port, int count, const std::string& kind, int seconds) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min(kWantedDescriptors, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
  const Bytes head = StreamRequest(kStipStart);
  Bytes start_stop = head;
  const Bytes stop = StreamRequest(kStipStop);
  start_stop.insert(start_stop.end(), stop.begin(), stop.end());
  const Bytes sent = kind == "partial"     ? Bytes(head.begin(), head.begin() + kPartialHeadBytes)
                     : kind == "request"   ? VersionRequest()
                     : kind == "startstop" ? start_stop
                                           : Bytes();
  std::vector<int> held;
  for (int i = 0; i < count; ++i) {
    const int fd = Connect(address, port);
    if (fd < 0) continue;
    if (!sent.empty()) SendAll(fd, sent);
    held.push_back(fd);
  }
  printf("hold: %zu of %d connections (%s) held\n", held.size(), count, kind.c_str());
  fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  for (int fd : held) close(fd);
  return held.size() == static_cast<size_t>(count) ? 0 : 1;
}

int Stream(const char* address, int port, int seconds) {
  const auto start = Clock::now();
  const int fd = Connect(address, port);
  if (fd < 0 || !SendAll(fd, StreamRequest(kStipStart))) {
    printf("stream: port %d refused the connection\n", port);
    return 1;
  }
  double colour_s = -1, disparity_s = -1;
  uint64_t colour = 0, disparity = 0;
  bool ended = false;
  Bytes pending;
  uint8_t chunk[kReadChunk];
  while (SecondsSince(start) < seconds) {
    const ssize_t n = ReadSome(fd, chunk, sizeof chunk, 100);
    if (n == 0) {
      ended = true;
      break;
    }
    if (n < 0) continue;
    pending.insert(pending.end(), chunk, chunk + n);
    // Whole packets off the front: acknowledgements and images.
    size_t at = 0;
    while (pending.size() - at >= kImageTypeOffset) {
      const uint8_t type = pending[at + kElementOffset];
      const uint64_t value = Word(&pending[at + kElementOffset + 1]);
      uint64_t size = kImageTypeOffset + value;
      if (type == kElementImagePara) {
        if (pending.size() - at < kDataSizeOffset + 4) break;
        size += Word(&pending[at + kDataSizeOffset]);
      }
      if (pending.size() - at < size) break;
      if (type == kElementImagePara) {
        const uint32_t image_type = Word(&pending[at + kImageTypeOffset]);
        if (image_type == kStipImageTypeColor && colour++ == 0) colour_s = SecondsSince(start);
        if (image_type == kStipImageTypeDisparity && disparity++ == 0) disparity_s = SecondsSince(start);
      }
      at += size;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
  }
  printf("stream: port %d first_colour_s=%.3f first_disparity_s=%.3f colour=%llu disparity=%llu %s after %.1f s\n", port,
         colour_s, disparity_s, static_cast<unsigned long long>(colour), static_cast<unsigned long long>(disparity),
         ended ? "ended_by_camera" : "still_open", SecondsSince(start));
  close(fd);
  return colour > 0 && disparity > 0 ? 0 : 1;
}

int Version(const char* address, int port, int delay_seconds) {
  const auto connecting = Clock::now();
  const int fd = Connect(address, port);
  if (fd < 0) {
    printf("version: port %d refused the connection\n", port);
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(delay_seconds));
  const auto start = Clock::now();
  uint8_t reply[kReadChunk];
  const ssize_t n = SendAll(fd, VersionRequest()) ? ReadSome(fd, reply, sizeof reply, kAnswerWaitMillis) : 0;
  close(fd);
  const bool answered = n > static_cast<ssize_t>(kElementOffset) && reply[kElementOffset] == kElementKeyValueACK;
  printf("version: %s %.3f s after the request, %.3f s after connecting (request sent %d s after connecting)\n",
         answered ? "answered" : "not answered", SecondsSince(start), SecondsSince(connecting), delay_seconds);
  return answered ? 0 : 1;
}

int Session(const char* address, int port, int period_seconds, int seconds) {
  if (period_seconds <= 0) {
    printf("session: PERIOD must be at least 1 second\n");
    return 2;
  }
  const auto start = Clock::now();
  const int fd = Connect(address, port);
  if (fd < 0) {
    printf("session: port %d refused the connection\n", port);
    return 1;
  }
  int asked = 0, answered = 0;
  double longest = 0;
  const Bytes request = VersionRequest();
  for (auto next = start; SecondsSince(start) < seconds; next += std::chrono::seconds(period_seconds)) {
    std::this_thread::sleep_until(next);
    const auto sent = Clock::now();
    ++asked;
    uint8_t reply[kReadChunk];
    const ssize_t n = SendAll(fd, request) ? ReadSome(fd, reply, sizeof reply, kAnswerWaitMillis) : 0;
    if (n <= static_cast<ssize_t>(kElementOffset) || reply[kElementOffset] != kElementKeyValueACK) {
      printf("session: request %d at %.1f s not answered (%s)\n", asked, SecondsSince(start),
             n == 0 ? "closed by the camera" : "no reply");
      break;
    }
    ++answered;
    longest = std::max(longest, SecondsSince(sent));
  }
  close(fd);
  printf("session: %d of %d requests answered, one every %d s for %.0f s, longest answer %.3f s\n", answered, asked,
         period_seconds, SecondsSince(start), longest);
  return answered == asked ? 0 : 1;
}

// Images the library's image client received, by type, with the time of the first of each.
struct ZuqImages {
  std::atomic<Clock::rep> since{0};  // ticks of the steady clock when the stream was asked for
  std::atomic<double> first_colour_s{-1}, first_disparity_s{-1};
};

int OnZuqImage(const ImagePara* header, const uint8_t*, uint32_t, void* context, int) {
  ZuqImages* images = static_cast<ZuqImages*>(context);
  std::atomic<double>& first =
      header->image_type == kStipImageTypeColor ? images->first_colour_s : images->first_disparity_s;
  double none = -1;
  first.compare_exchange_strong(none, SecondsSince(Clock::time_point(Clock::duration(images->since.load()))));
  return 0;
}

int Quiet(const char*, const char*, ...) { return 0; }

int Zuq(const char* address, int base_port, int delay_seconds) {
  tagNetworkInitPara record{};
  record.device_type = kDeviceYrd;
  strcpy(record.server_ip, "0.0.0.0");
  strcpy(record.local_ip, "0.0.0.0");
  record.yrd_image_port = base_port + kYrdPortOffset;
  record.ctrl_port = base_port + kControlPortOffset;
  record.broadcast_port = base_port + kDiscoveryPortOffset;
  QELTMRegisterLogImageFunc(Quiet);
  if (QELTMInit(&record) != kQeltOk) {
    printf("zuq: the image client role did not start\n");
    return 1;
  }
  ZuqImages images;
  QELTMRegisterRecvImageFunc(OnZuqImage, kZuqChannel, &images);
  PeerRecord peer{};
  snprintf(peer.ip, sizeof peer.ip, "%s", address);
  peer.port_a = record.yrd_image_port;
  peer.port_b = record.ctrl_port;
  peer.channel = kZuqChannel;
  const int connect_rc = QELTMConnectZUQ(&peer);
  std::this_thread::sleep_for(std::chrono::seconds(delay_seconds));
  const auto asked = Clock::now();
  char version[128] = {};  // a text that fills the capacity comes unterminated: one byte stays for the end
  const int version_rc = QeltGetVersion(address, version, sizeof version - 1);
  const double version_s = SecondsSince(asked);
  std::replace(version, version + sizeof version, '\n', ' ');
  const CtrlImageRequest start{kStipRequest, kStipStart, 0, kStipImageTypeColor, kStipColorWidth, kStipColorHeight,
                               kStipColorFps};
  const auto asked_stream = Clock::now();
  images.since = asked_stream.time_since_epoch().count();
  const int start_rc = QELTMSendCtrlImageMsg(address, &start, kZuqChannel);
  while (SecondsSince(asked_stream) < kZuqStreamSeconds &&
         (images.first_colour_s.load() < 0 || images.first_disparity_s.load() < 0)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  printf("zuq: connect rc=%d; %d s later: version rc=%d \"%s\" after %.3f s, stream start rc=%d, first colour %.3f s, "
         "first disparity %.3f s\n",
         connect_rc, delay_seconds, version_rc, version, version_s, start_rc, images.first_colour_s.load(),
         images.first_disparity_s.load());
  QELTMDisconnectZUQ(&peer);
  QELTMUnInit();
  return connect_rc == kQeltOk && version_rc == kQeltOk && start_rc == kQeltOk && images.first_colour_s.load() >= 0 &&
                 images.first_disparity_s.load() >= 0
             ? 0
             : 1;
}

int Flood(const char* address, int port, int seconds) {
  const int fd = Connect(address, port);
  if (fd < 0) return 1;
  Bytes pair = StreamRequest(kStipStart);
  const Bytes stop = StreamRequest(kStipStop);
  pair.insert(pair.end(), stop.begin(), stop.end());
  Bytes burst;
  for (int i = 0; i < 100; ++i) burst.insert(burst.end(), pair.begin(), pair.end());
  const auto start = Clock::now();
  uint64_t pairs = 0;
  uint8_t drain[kReadChunk];
  while (SecondsSince(start) < seconds && SendAll(fd, burst)) {
    pairs += 100;
    while (recv(fd, drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
  }
  printf("flood: %llu start/stop pairs in %.1f s\n", static_cast<unsigned long long>(pairs), SecondsSince(start));
  close(fd);
  return 0;
}

int ZeroWindow(const char* address, int port, int seconds) {
  const auto start = Clock::now();
  const int fd = Connect(address, port, kZeroWindowBuffer);
  if (fd < 0 || !SendAll(fd, StreamRequest(kStipStart))) return 1;
  // Never reads: the camera's ring overwrites what this client does not take.
  bool ended = false;
  while (!ended && SecondsSince(start) < seconds) {
    pollfd p{fd, POLLRDHUP, 0};
    ended = poll(&p, 1, 100) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }
  printf("zero-window: %s after %.1f s\n", ended ? "closed by the camera" : "still open", SecondsSince(start));
  close(fd);
  return 0;
}

int Discovery(const char* address, int port, int seconds) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (fd < 0) return 1;
  if (inet_pton(AF_INET, address, &to.sin_addr) != 1) {
    close(fd);
    return 1;
  }
  QeltmParaCfg.device_type = kDeviceYrd;  // the datagram names this device as an image client
  uint8_t datagram[kSddpDatagramBufferBytes];
  uint32_t length = 0;
  if (SDDPPackageDiscoveryPacket(datagram, sizeof datagram, &length) != kQeltOk) return 1;
  const auto start = Clock::now();
  uint64_t sent = 0, answers = 0;
  uint8_t answer[kSddpDatagramBufferBytes];
  while (SecondsSince(start) < seconds) {
    if (sendto(fd, datagram, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(length)) {
      ++sent;
    }
    while (recv(fd, answer, sizeof answer, MSG_DONTWAIT) > 0) ++answers;
  }
  const double elapsed = SecondsSince(start);
  while (ReadSome(fd, answer, sizeof answer, 100) > 0) ++answers;  // answers still on their way
  printf("discovery: %llu datagrams sent in %.1f s, %llu answered\n", static_cast<unsigned long long>(sent), elapsed,
         static_cast<unsigned long long>(answers));
  close(fd);
  return answers > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const char* address = argc > 2 ? argv[2] : "127.0.0.1";
  const int port = argc > 3 ? atoi(argv[3]) : 0;
  if (mode == "hold" && argc == 7) return Hold(address, port, atoi(argv[4]), argv[5], atoi(argv[6]));
  if (mode == "stream" && argc == 5) return Stream(address, port, atoi(argv[4]));
  if (mode == "version" && (argc == 4 || argc == 5)) return Version(address, port, argc == 5 ? atoi(argv[4]) : 0);
  if (mode == "session" && argc == 6) return Session(address, port, atoi(argv[4]), atoi(argv[5]));
  if (mode == "zuq" && argc == 5) return Zuq(address, port, atoi(argv[4]));
  if (mode == "flood" && argc == 5) return Flood(address, port, atoi(argv[4]));
  if (mode == "zero-window" && argc == 5) return ZeroWindow(address, port, atoi(argv[4]));
  if (mode == "discovery" && argc == 5) return Discovery(address, port, atoi(argv[4]));
  fprintf(stderr, "usage: port_probe hold|stream|version|session|zuq|flood|zero-window|discovery ADDRESS PORT ... (see the source)\n");
  return 2;
}
