// Image port capacity: how many colour streams one image server thread carries at 20 fps.
// First the encoder alone: one thread encoding in turn for 1 to 10 clients (each its own encoder,
// as on the server), in milliseconds per image and the clients that rate serves at 20 fps. Then
// the real server thread of one port with raw loopback clients (by default its full cap; those
// beyond the cap are refused and receive nothing): each client's colour and disparity rates and
// the thread's processor use.
//   port_capacity [SECONDS] [CLIENTS]   (default 10 s of streaming, kStipMaxClientsPerPort clients)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pelarin/proxy.h"
#include "pelarin/stip.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kWidth = kStipColorWidth, kHeight = kStipColorHeight;
constexpr uint32_t kDisparityWidth = 240, kDisparityHeight = 320;
constexpr uint32_t kFps = 20;
constexpr int kDefaultSeconds = 10;
constexpr int kMaxEncoders = 10;
constexpr int kEncodeRounds = 40;
constexpr uint32_t kDistinctFrames = 20;
constexpr double kMillisPerSecond = 1000.0;
constexpr char kLoopback[] = "127.0.0.1";
constexpr char kServerThread[] = "YRDImageProxy";
constexpr size_t kReadChunk = 1 << 16;
constexpr uint32_t kValueOffset = kPacketHeadBytes + kElementHeadBytes;

int Quiet(const char*, const char*, ...) { return 0; }

// A moving scene with texture at several scales, as a camera sees it.
std::vector<uint8_t> Scene(uint32_t frame) {
  std::vector<uint8_t> image(kWidth * kHeight * 3 / 2, 128);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      const uint32_t u = x + 3 * frame, v = y + frame;
      image[y * kWidth + x] = static_cast<uint8_t>(40 + (u * 150 / kWidth) + (((u / 16) ^ (v / 16)) & 1) * 30 +
                                                   ((u ^ v) & 7));
    }
  }
  return image;
}

double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Milliseconds per colour image when one thread encodes for `clients` clients in turn.
double EncodeMillis(int clients, const std::vector<std::vector<uint8_t>>& frames) {
  std::vector<StipEncoder*> encoders(clients, nullptr);
  for (StipEncoder*& e : encoders) {
    if (STIPInitEncode(kStipEncoderCoding, kWidth, kHeight, kFps, kStipColorGop, 0, &e) != kQeltOk) return -1;
  }
  std::vector<uint8_t> out(kStipCodecBufferBytes);
  const auto start = Clock::now();
  for (int round = 0; round < kEncodeRounds; ++round) {
    for (StipEncoder* e : encoders) {
      unsigned long length = out.size();
      const std::vector<uint8_t>& image = frames[round % frames.size()];
      STIPMPPEncode(e, image.data(), image.size(), out.data(), &length, 0);
    }
  }
  const double per_image = Millis(Clock::now() - start) / (kEncodeRounds * clients);
  for (StipEncoder*& e : encoders) STIPDeinitEncode(&e);
  return per_image;
}

// Processor ticks (user + system) of this process's thread named `name`; 0 when there is none.
long ThreadTicks(const char* name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string thread_name;
    std::getline(comm, thread_name);
    if (thread_name != name) continue;
    std::ifstream stat(task.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
      if (i == 14) utime = atol(field.c_str());
      if (i == 15) {
        stime = atol(field.c_str());
        break;
      }
    }
    return utime + stime;
  }
  return 0;
}

// One raw loopback client: its socket, the bytes not yet parsed and the images counted.
struct RawClient {
  int fd = -1;
  std::vector<uint8_t> pending;
  uint32_t colour = 0, disparity = 0;

  // Counts the whole packets in `pending` and keeps the rest.
  void Parse() {
    size_t at = 0;
    while (pending.size() - at >= kValueOffset) {
      const uint8_t* p = pending.data() + at;
      uint32_t length = 0;
      GetUint32Value(p + kPacketHeadBytes + 1, &length);
      uint64_t packet = kValueOffset + static_cast<uint64_t>(length);
      uint32_t type = 0;
      if (p[kPacketHeadBytes] == kElementImagePara) {
        if (pending.size() - at < kStipImagePacketHead) break;
        uint32_t data_size = 0;
        GetUint32Value(p + kValueOffset, &type);
        GetUint32Value(p + kValueOffset + 12, &data_size);
        packet += data_size;
      }
      if (pending.size() - at < packet) break;
      if (type == kStipImageTypeColor) ++colour;
      if (type == kStipImageTypeDisparity) ++disparity;
      at += packet;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
  }
};

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, kLoopback, &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  uint8_t packet[kStipCtrlPacketBytes] = {};
  uint32_t length = 0;
  const CtrlImageRequest start{kStipRequest, kStipStart, 0, kStipImageTypeColor, kWidth, kHeight, kFps};
  STIPPackageCtrlImagePacket(&start, packet, sizeof packet, &length);
  if (send(fd, packet, length, 0) != static_cast<ssize_t>(length)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads every client's stream until `end`.
void Receive(std::vector<RawClient>* clients, Clock::time_point end) {
  std::vector<pollfd> fds;
  for (const RawClient& c : *clients) fds.push_back({c.fd, POLLIN, 0});
  std::vector<uint8_t> chunk(kReadChunk);
  while (Clock::now() < end) {
    if (poll(fds.data(), fds.size(), 10) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      const ssize_t n = recv(fds[i].fd, chunk.data(), chunk.size(), 0);
      if (n <= 0) continue;
      RawClient& c = (*clients)[i];
      c.pending.insert(c.pending.end(), chunk.begin(), chunk.begin() + n);
      c.Parse();
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultSeconds;
  const int client_count = argc > 2 ? std::max(1, atoi(argv[2])) : static_cast<int>(kStipMaxClientsPerPort);
  SocketRegisterLogImageFunc(Quiet);
  std::vector<std::vector<uint8_t>> frames;
  for (uint32_t i = 0; i < kDistinctFrames; ++i) frames.push_back(Scene(i));

  for (int clients = 1; clients <= kMaxEncoders; ++clients) {
    const double ms = EncodeMillis(clients, frames);
    printf("encoder alone, %2d clients in turn: %.2f ms per colour image, %.0f images/s: %.1f clients at %u fps\n",
           clients, ms, kMillisPerSecond / ms, kMillisPerSecond / ms / kFps, kFps);
  }

  if (STIPInit(kStipServerMode, 0.0) != kQeltOk || STIPServerCreateSession(kLoopback, 0, kServerYrdImage) != kQeltOk) {
    fprintf(stderr, "image server set-up failed\n");
    return 1;
  }
  sockaddr_in addr{};
  socklen_t size = sizeof addr;
  getsockname(STIPServerGetSocketFD(kServerYrdImage), reinterpret_cast<sockaddr*>(&addr), &size);
  ProxyThreadStart(kProxyYrdImage);
  std::vector<RawClient> clients(static_cast<size_t>(client_count));
  for (RawClient& c : clients) {
    c.fd = Connect(ntohs(addr.sin_port));
    if (c.fd < 0) {
      fprintf(stderr, "connect failed\n");
      return 1;
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // every start request taken

  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::thread receiver(Receive, &clients, end + std::chrono::milliseconds(300));
  const long ticks_before = ThreadTicks(kServerThread);
  const std::vector<uint8_t> disparity(kDisparityWidth * kDisparityHeight, 42);
  uint32_t written = 0;
  for (auto next = start; Clock::now() < end; std::this_thread::sleep_until(next += std::chrono::milliseconds(1000 / kFps))) {
    ++written;
    ImagePara c{kStipImageTypeColor, written, kWidth, kHeight, 0, 0, 0, 0, {0, 0}, 1};
    ImagePara d{kStipImageTypeDisparity, written, kDisparityWidth, kDisparityHeight, 0, 0, 0, 0, {0, 0}, 1};
    const std::vector<uint8_t>& colour = frames[written % frames.size()];
    STIPServerWriteImage(&c, colour.data(), static_cast<unsigned>(colour.size()));
    STIPServerWriteImage(&d, disparity.data(), static_cast<unsigned>(disparity.size()));
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double busy = static_cast<double>(ThreadTicks(kServerThread) - ticks_before) / sysconf(_SC_CLK_TCK) / elapsed;
  receiver.join();
  printf("server thread with %d clients (cap %u) for %.1f s, %u frames written: thread busy %.0f%%\n", client_count,
         kStipMaxClientsPerPort, elapsed, written, busy * 100);
  for (size_t i = 0; i < clients.size(); ++i) {
    printf("client %zu: colour %.1f fps, disparity %.1f fps\n", i + 1, clients[i].colour / elapsed,
           clients[i].disparity / elapsed);
    close(clients[i].fd);
  }
  StopYRDImageProxyProcess();  // the server thread ends before the tables it serves
  STIPUnInit();
  return 0;
}
