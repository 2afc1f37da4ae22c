// Test client of the control server: sends one request of big-endian words and prints the reply.
//   control_probe ADDRESS PORT WORD...     e.g. control_probe 127.0.0.1 7000 1 1 4 4080
// With --joined N the request goes N times joined into one write, on one connection of its own,
// and with --writes W that write is made W times back to back; every reply is read and one line of
// figures is printed: the replies, their results, whether they came in order, and when the first
// and the last came. With --sequence K, word K of each request carries its number (from 0) and its
// reply must echo it as word K + 1 (set-time, command 6, echoes its first data word so).
//   control_probe --joined 2000 --writes 3 --sequence 3 127.0.0.1 7002 1 6 12 0 946684800 0
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pelarin/packet.h"
#include "pelarin/scdp.h"
#include "raw_peer.h"

namespace {

using probe::Connect;
using probe::SendAll;

using Clock = std::chrono::steady_clock;
using Words = std::vector<uint32_t>;

constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kResultWord = 2;
// A joined run gives up when no reply has come for this long.
constexpr int kSilenceMillis = 60000;
constexpr size_t kReadChunk = 1 << 16;

int Usage() {
  fprintf(stderr, "usage: control_probe [--joined N [--writes W] [--sequence K]] ADDRESS PORT WORD...\n");
  return 2;
}

uint32_t Word(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

std::vector<uint8_t> Payload(const Words& words) {
  std::vector<uint8_t> payload;
  for (uint32_t w : words) {
    uint8_t word[kWordBytes];
    SetUint32(w, word);
    payload.insert(payload.end(), word, word + kWordBytes);
  }
  return payload;
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// One request through the library's client: the reply's bytes printed word by word.
int SendOne(const char* address, uint32_t port, const Words& words) {
  const std::vector<uint8_t> payload = Payload(words);
  SCDPInit(kScdpClientMode);
  int rc = SCDPClientConnectSession(address, port);
  if (rc == kQeltOk) {
    ScdpRequest request{};
    memcpy(request.ip, address, strlen(address) + 1);
    request.payload = payload.data();
    request.length = static_cast<uint32_t>(payload.size());
    ScdpReplyView reply{};
    rc = SCDPClientSendCtrl(&request, &reply);
    if (rc == kQeltOk) {
      printf("reply of %u bytes:", reply.length);
      for (uint32_t i = 0; i < reply.length; ++i) printf("%s%02x", i % kWordBytes == 0 ? " " : "", reply.payload[i]);
      printf("\n");
    }
  }
  if (rc != kQeltOk) fprintf(stderr, "control request failed with code %d\n", rc);
  SCDPUnInit();
  return rc == kQeltOk ? 0 : 1;
}

struct JoinedRun {
  int joined = 0;
  int writes = 1;
  int sequence_word = -1;  // none
};

// W writes of N joined requests on one connection, the replies read as they come.
int SendJoined(const char* address, uint32_t port, Words words, const JoinedRun& run) {
  if (run.sequence_word >= 0 && static_cast<size_t>(run.sequence_word) >= words.size()) return Usage();
  const int fd = Connect(address, port);
  if (fd < 0) {
    printf("joined: port %u refused the connection\n", port);
    return 1;
  }
  const uint64_t total = static_cast<uint64_t>(run.joined) * static_cast<uint64_t>(run.writes);
  std::vector<std::vector<uint8_t>> writes(static_cast<size_t>(run.writes));
  uint32_t number = 0;
  for (auto& bytes : writes) {
    for (int i = 0; i < run.joined; ++i, ++number) {
      if (run.sequence_word >= 0) words[static_cast<size_t>(run.sequence_word)] = number;
      const std::vector<uint8_t> payload = Payload(words);
      std::vector<uint8_t> packet(payload.size() + kPacketHeadBytes + kElementHeadBytes);
      uint32_t length = 0;
      if (SCDPPackageKeyValuePacket(payload.data(), static_cast<uint32_t>(payload.size()), packet.data(),
                                    static_cast<uint32_t>(packet.size()), &length) != kQeltOk) {
        printf("joined: request %u could not be packed\n", number);
        close(fd);
        return 1;
      }
      bytes.insert(bytes.end(), packet.begin(), packet.begin() + length);
    }
  }
  const auto start = Clock::now();
  bool written = true;
  std::thread writer([&] {
    for (const auto& bytes : writes) written = written && SendAll(fd, bytes);
  });
  uint64_t replies = 0, failed_results = 0, out_of_order = 0;
  double first_s = -1, last_s = -1;
  std::vector<uint8_t> pending;
  uint8_t chunk[kReadChunk];
  bool ended = false;
  while (replies < total && !ended) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kSilenceMillis) <= 0) break;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
      ended = true;
      break;
    }
    pending.insert(pending.end(), chunk, chunk + n);
    size_t at = 0;
    while (pending.size() - at >= kPacketHeadBytes + kElementHeadBytes) {
      const uint32_t value = Word(&pending[at + kPacketHeadBytes + 1]);
      const size_t size = kPacketHeadBytes + kElementHeadBytes + value;
      if (pending.size() - at < size) break;
      const uint8_t* reply = &pending[at + kPacketHeadBytes + kElementHeadBytes];
      const uint32_t reply_words = value / kWordBytes;
      if (reply_words <= kResultWord || Word(reply + kResultWord * kWordBytes) != 0) ++failed_results;
      const uint32_t echo = static_cast<uint32_t>(run.sequence_word + 1);
      if (run.sequence_word >= 0 && (reply_words <= echo || Word(reply + echo * kWordBytes) != replies)) ++out_of_order;
      if (replies++ == 0) first_s = SecondsSince(start);
      last_s = SecondsSince(start);
      at += size;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
  }
  shutdown(fd, SHUT_RDWR);
  writer.join();
  close(fd);
  printf("joined: %d writes of %d requests: replies=%llu of %llu failed_results=%llu%s first_s=%.3f last_s=%.3f%s%s\n",
         run.writes, run.joined, static_cast<unsigned long long>(replies), static_cast<unsigned long long>(total),
         static_cast<unsigned long long>(failed_results),
         run.sequence_word >= 0 ? (out_of_order == 0 ? " in_order" : " OUT_OF_ORDER") : "", first_s, last_s,
         written ? "" : " (a write failed)", ended ? " (closed by the server)" : "");
  return replies == total && failed_results == 0 && out_of_order == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  JoinedRun run;
  int at = 1;
  for (; at + 1 < argc && strncmp(argv[at], "--", 2) == 0; at += 2) {
    const std::string option = argv[at];
    const int value = atoi(argv[at + 1]);
    if (option == "--joined" && value > 0) {
      run.joined = value;
    } else if (option == "--writes" && value > 0) {
      run.writes = value;
    } else if (option == "--sequence" && value >= 0) {
      run.sequence_word = value;
    } else {
      return Usage();
    }
  }
  if (argc - at < 3 || strlen(argv[at]) >= kAddressTextBytes) return Usage();
  const char* address = argv[at];
  const uint32_t port = static_cast<uint32_t>(strtoul(argv[at + 1], nullptr, 0));
  Words words;
  for (int i = at + 2; i < argc; ++i) words.push_back(static_cast<uint32_t>(strtoul(argv[i], nullptr, 0)));
  if (run.joined > 0) return SendJoined(address, port, words, run);
  return SendOne(address, port, words);
}
