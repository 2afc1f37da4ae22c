// Test helpers: log capture, loopback control server, raw loopback clients.
#include "net_helpers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "log_limit.h"

namespace nettest {
namespace {

std::mutex g_lines_lock;
std::vector<std::string> g_lines;

int CaptureLine(const char*, const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> guard(g_lines_lock);
  g_lines.emplace_back(text);
  return 0;
}

}  // namespace

LogCapture::LogCapture() {
  Clear();
  SocketRegisterLogImageFunc(CaptureLine);
}
LogCapture::~LogCapture() { SocketRegisterLogImageFunc(nullptr); }

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(g_lines_lock);
  return g_lines;
}

size_t LogCapture::Count(const std::string& prefix) const {
  std::lock_guard<std::mutex> guard(g_lines_lock);
  size_t n = 0;
  for (const auto& line : g_lines) n += line.compare(0, prefix.size(), prefix) == 0;
  return n;
}

bool LogCapture::WaitFor(const std::string& prefix, size_t count, std::chrono::milliseconds deadline) const {
  return WaitUntil([&] { return Count(prefix) >= count; }, deadline);
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> guard(g_lines_lock);
  g_lines.clear();
  pelarin::RestartLogWindows();  // each kind of line may be written again from now on
}

ControlServer::ControlServer(RecvCtrlMsgFunc callback, void* context) {
  if (SCDPInit(kScdpServerMode) != kQeltOk || SCDPInit(kScdpClientMode) != kQeltOk) return;
  if (SCDPServerCreateSession("127.0.0.1", 0) != kQeltOk) return;
  int fd = 0;
  SCDPServerGetSocketFD(&fd);
  port_ = PortOf(fd);
  SCDPRegisterRecvCtrlMsg(callback, context);
  ok_ = ProxyThreadStart(kProxyCtrlAndBroadcast) == kQeltOk;
}

ControlServer::~ControlServer() {
  StopAllProxyProcess();
  SCDPUnInit();
}

void ControlServer::WithThreadStopped(const std::function<void(ServerSocketTable*)>& inspect) {
  StopCtrlAndBroadCastProxyProcess();
  inspect(SCDPServerGetSocketFDInfo());
  ProxyThreadStart(kProxyCtrlAndBroadcast);
}

std::set<int> ThreadIds() {
  std::set<int> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
    closedir(dir);
  }
  return ids;
}

bool NoThreadBeyond(const std::set<int>& before) {
  return WaitUntil([&] {
    const std::set<int> now = ThreadIds();
    return std::includes(before.begin(), before.end(), now.begin(), now.end());
  });
}

bool SendAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadExactly(int fd, size_t n, std::vector<uint8_t>* out, std::chrono::milliseconds deadline) {
  out->assign(n, 0);
  size_t have = 0;
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (have < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t got = recv(fd, out->data() + have, n - have, 0);
    if (got <= 0) return false;
    have += static_cast<size_t>(got);
  }
  return true;
}

bool WaitClosedByPeer(int fd, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    uint8_t byte = 0;
    const ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return true;
    if (got > 0) return false;
  }
}

std::vector<uint8_t> Packet(uint8_t type, const std::vector<uint8_t>& value) {
  std::vector<uint8_t> p = {0x81, 0x42, 0x24, 0x18, 0x7E, 0xBD, 0xDB, 0xE7, type};
  const std::vector<uint8_t> length = Words({static_cast<uint32_t>(value.size())});
  p.insert(p.end(), length.begin(), length.end());
  p.insert(p.end(), value.begin(), value.end());
  return p;
}

}  // namespace nettest
