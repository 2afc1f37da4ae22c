// The heartbeat listener: the process table, the wait loop and the start of restart actions.
#include "daemon_server.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "daemon_log.h"
#include "platform/memory_manager.h"
#include "platform/thread.h"
#include "restart_action.h"

namespace {

constexpr std::chrono::milliseconds kStopPollInterval(10);
constexpr std::int32_t kReuseAddressOn = 1;
constexpr int kMaxWaitMilliseconds = INT_MAX;
constexpr unsigned kHighestPort = 65535;

std::atomic<int> g_actions_in_flight{0};

// The wait time-out in milliseconds for poll, bounded to what it accepts.
int WaitMilliseconds(std::uint32_t seconds) {
  const std::uint64_t milliseconds = static_cast<std::uint64_t>(seconds) * kMillisecondsPerSecond;
  return static_cast<int>(std::min<std::uint64_t>(milliseconds, kMaxWaitMilliseconds));
}

}  // namespace

std::string HeartbeatName(const char* bytes, std::size_t received) {
  if (bytes == nullptr || received <= kHeartbeatNameOffset) return std::string();
  const char* name = bytes + kHeartbeatNameOffset;
  const std::size_t available = received - kHeartbeatNameOffset;
  const void* terminator = std::memchr(name, '\0', available);
  const std::size_t length =
      terminator == nullptr ? available : static_cast<std::size_t>(static_cast<const char*>(terminator) - name);
  return std::string(name, length);
}

DaemonServer::DaemonServer(DaemonClock* clock)
    : wait_timeout_s_(1), running_(false), stop_(false), clock_(clock != nullptr ? clock : DefaultDaemonClock()) {}

DaemonServer::~DaemonServer() = default;

Result DaemonServer::Init(const char* address_text, unsigned port, std::uint32_t interval_s) {
  // A larger number would wrap onto another port.
  if (port > kHighestPort) {
    DaemonPrint("DaemonServer::Init, port %u is not a port number (0 to %u)\n", port, kHighestPort);
    return RESULT_INVALID_ARGUMENT;
  }
  Result result = socket_.Create(kSocketFamilyIPv4, kSocketTypeDatagram, kSocketProtocolDefault);
  if (result != RESULT_OK) return result;
  result = socket_.SetOption(kSocketLevelSocket, kSocketOptionReuseAddress, &kReuseAddressOn, sizeof kReuseAddressOn);
  if (result != RESULT_OK) {
    socket_.Close();
    return result;
  }
  sockaddr_in address{};
  address.sin_family = static_cast<sa_family_t>(BaseSocket::ToAddressFamily(kSocketFamilyIPv4));
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  // Text that does not parse leaves the address 0.0.0.0 (any address).
  if (address_text == nullptr || inet_pton(AF_INET, address_text, &address.sin_addr) != 1) {
    address.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  result = socket_.Bind(reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (result != RESULT_OK) {
    socket_.Close();
    return result;
  }
  wait_timeout_s_ = interval_s;
  return RESULT_OK;
}

Result DaemonServer::AddProcess(const char* name, const char* command_line, const char* argument,
                                std::uint64_t check_period_ms, bool immediately_execute, bool reboot_machine) {
  if (check_period_ms < kMinimumCheckPeriodMs) return RESULT_INVALID_ARGUMENT;
  if (name == nullptr || command_line == nullptr || argument == nullptr) return RESULT_INVALID_ARGUMENT;
  ProcessItem entry;
  try {
    entry.process_name = name;
    entry.command_line = command_line;
    entry.argument = argument;
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  entry.check_period_ms = check_period_ms;
  entry.next_timeout = clock_->NowSeconds() + check_period_ms / kMillisecondsPerSecond;
  entry.enabled = 1;
  entry.immediately_execute = immediately_execute ? 1 : 0;
  entry.reboot_machine = reboot_machine ? 1 : 0;
  entry.restart_count = 0;
  if (immediately_execute) {
    RebootProcess(entry);
    entry.restart_count = 1;
  }
  try {
    table_.push_back(std::move(entry));
  } catch (const std::bad_alloc&) {
    return RESULT_OUT_OF_MEMORY;
  }
  return RESULT_OK;
}

Result DaemonServer::RemoveProcess(const char* name) {
  if (name == nullptr) return RESULT_FAILED;
  auto found = std::find_if(table_.begin(), table_.end(),
                            [&](const ProcessItem& entry) { return entry.process_name == name; });
  if (found == table_.end()) return RESULT_FAILED;
  table_.erase(found);
  return RESULT_OK;
}

Result DaemonServer::Run() {
  running_ = true;
  const int descriptor = socket_.GetHandle();
  // One byte more than is read, so the received bytes are always terminated.
  char datagram[kHeartbeatReceiveBytes + 1];
  while (!stop_) {
    pollfd waiting{descriptor, POLLIN | POLLPRI, 0};
    const int ready = poll(&waiting, 1, WaitMilliseconds(wait_timeout_s_));
    if (ready < 0) {
      DaemonPrint("DaemonServer::Run SelectResult=%d, errno=%d \n", ready, errno);
      continue;
    }
    if (ready == 0) {
      CheckProcess();
      continue;
    }
    sockaddr_in sender{};
    socklen_t sender_length = sizeof sender;
    std::size_t received = 0;
    if (socket_.RecvFrom(datagram, kHeartbeatReceiveBytes, 0, reinterpret_cast<sockaddr*>(&sender), &sender_length,
                         &received) != RESULT_OK) {
      continue;
    }
    datagram[received] = '\0';
    UpdateProcess(datagram, received);
    CheckProcess();
  }
  running_ = false;
  return RESULT_OK;
}

Result DaemonServer::UpdateProcess(const char* bytes, std::size_t received) {
  const std::string name = HeartbeatName(bytes, received);
  DaemonPrint("DaemonServer::UpdateProcess, ProcessName=%s \n", name.c_str());
  // A datagram without a name matches nothing, not even an entry with an empty name.
  if (name.empty()) return RESULT_FAILED;
  for (ProcessItem& entry : table_) {
    if (entry.process_name != name) continue;
    entry.next_timeout = clock_->NowSeconds() + entry.check_period_ms / kMillisecondsPerSecond;
    DaemonPrint("DaemonServer::UpdateProcess, ProcessName=%s, NextTimeoutTime=%lu \n", entry.process_name.c_str(),
                static_cast<unsigned long>(entry.next_timeout));
    return RESULT_OK;
  }
  return RESULT_FAILED;
}

Result DaemonServer::CheckProcess() {
  const std::uint64_t now = clock_->NowSeconds();
  for (ProcessItem& entry : table_) {
    DaemonPrint("DaemonServer::CheckProcess, ProcessName=%s, CurrentCount=%lu \n", entry.process_name.c_str(),
                static_cast<unsigned long>(entry.next_timeout));
    if (entry.next_timeout < now) {
      RebootProcess(entry);
      entry.next_timeout = now + entry.check_period_ms / kMillisecondsPerSecond;
      ++entry.restart_count;
    }
  }
  return RESULT_OK;
}

Result DaemonServer::RebootProcess(const ProcessItem& entry) {
  DaemonPrint("DaemonServer::RebootProcess, ProcessName=%s \n", entry.process_name.c_str());
  // The action thread owns this copy and frees it; the table may change meanwhile.
  ProcessItem* copy = nullptr;
  try {
    copy = NewObject<ProcessItem>(entry);
  } catch (const std::bad_alloc&) {
    copy = nullptr;
  }
  if (copy == nullptr) return RESULT_OUT_OF_MEMORY;
  ++g_actions_in_flight;
  LinuxThread thread;
  thread.Create("", 0, &DaemonServer::Reboot, copy);
  const Result started = thread.Start();
  thread.Destroy();
  if (started != RESULT_OK) {
    --g_actions_in_flight;
    DeleteObject(copy);
  }
  return RESULT_OK;
}

void* DaemonServer::Reboot(void* entry) {
  ProcessItem* copy = static_cast<ProcessItem*>(entry);
  RunRestartAction(*copy);
  DeleteObject(copy);
  --g_actions_in_flight;
  return nullptr;
}

Result DaemonServer::Stop() {
  stop_ = true;
  while (running_) std::this_thread::sleep_for(kStopPollInterval);
  return RESULT_OK;
}

Result DaemonServer::Deinit() {
  Stop();
  return socket_.Close();
}

int DaemonServer::ActionsInFlight() { return g_actions_in_flight.load(); }
