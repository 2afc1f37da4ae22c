// Proxy threads: CPU pinning, the start and stop protocol, threads that end on their own, and
// no thread left behind after many start/stop cycles.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/socket.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "net_helpers.h"
#include "pelarin/proxy.h"

namespace {

// The process's threads: kernel id and name.
std::vector<std::pair<pid_t, std::string>> Threads() {
  std::vector<std::pair<pid_t, std::string>> threads;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    threads.emplace_back(static_cast<pid_t>(std::stoi(entry->d_name)), name);
  }
  closedir(dir);
  return threads;
}

int CountThreads() { return static_cast<int>(Threads().size()); }

bool CpuAvailable(int cpu) {
  cpu_set_t set;
  sched_getaffinity(0, sizeof set, &set);
  return CPU_ISSET(cpu, &set);
}

// Waits until the named thread runs pinned to exactly `cpu`.
bool WaitPinned(const std::string& name, int cpu) {
  return nettest::WaitUntil([&] {
    for (const auto& [tid, thread_name] : Threads()) {
      cpu_set_t set;
      if (thread_name == name && sched_getaffinity(tid, sizeof set, &set) == 0 && CPU_COUNT(&set) == 1 &&
          CPU_ISSET(cpu, &set)) {
        return true;
      }
    }
    return false;
  });
}

TEST(ProxyThreads, ServerThreadsRunPinnedToTheirCpus) {
  for (int cpu : {0, 1, 2}) {
    if (!CpuAvailable(cpu)) GTEST_SKIP() << "CPU " << cpu << " is not available to this process";
  }
  nettest::LogCapture log;  // the image servers have no protocol here: their passes only log
  nettest::ControlServer server(nullptr);
  ASSERT_TRUE(server.ok());
  ASSERT_EQ(kQeltOk, ProxyThreadStart(kProxyNorbImage));
  ASSERT_EQ(kQeltOk, ProxyThreadStart(kProxyYrdImage));
  EXPECT_TRUE(WaitPinned("NORBImageProxy", 2));
  EXPECT_TRUE(WaitPinned("YRDImageProxy", 1));
  EXPECT_TRUE(WaitPinned("CtrlBcastProxy", 0));
  StopAllProxyProcess();
  EXPECT_EQ(kProxyExited, ProxyThreadGetState(kProxyNorbImage));
}

TEST(ProxyThreads, ServerPassWithoutAServerLogsAndReturns) {
  nettest::LogCapture log;
  ServerProxyProcess(kServerNorbImage);
  EXPECT_EQ(1u, log.Count("[Proxy]Socket server no exist,server type: 2, return code:35"));
}

TEST(ProxyThreads, ThousandStartStopCyclesLeaveNoThread) {
  nettest::LogCapture log;
  nettest::ControlServer server(nullptr);
  ASSERT_TRUE(server.ok());
  StopAllProxyProcess();
  const std::set<int> before = nettest::ThreadIds();
  const uint32_t threads[] = {kProxyCtrlAndBroadcast, kProxyNorbImage, kProxyStopClient};
  for (int cycle = 0; cycle < 1000; ++cycle) {
    const uint32_t id = threads[cycle % 3];
    ASSERT_EQ(kQeltOk, ProxyThreadStart(id));
    if (cycle % 2 == 0) std::this_thread::yield();  // sometimes stop before the thread ran at all
    switch (id) {
      case kProxyCtrlAndBroadcast: StopCtrlAndBroadCastProxyProcess(); break;
      case kProxyNorbImage: StopNORBImageProxyProcess(); break;
      default: ExitSTOPClientProxyProcess(); break;
    }
    ASSERT_EQ(kProxyExited, ProxyThreadGetState(id)) << "cycle " << cycle;
  }
  EXPECT_TRUE(nettest::NoThreadBeyond(before));
}

TEST(ProxyThreads, SecondEntryWhileRunningLogsAndReturns) {
  nettest::LogCapture log;
  nettest::ControlServer server(nullptr);
  ASSERT_TRUE(server.ok());
  const int before = CountThreads();
  EXPECT_EQ(nullptr, CtrlAndBroadCastProxyProcess(nullptr));  // returns at once on this thread
  EXPECT_EQ(1u, log.Count("[Proxy]Enter ctrl and broadcast proxy thread has been created"));
  EXPECT_EQ(kQeltOk, ProxyThreadStart(kProxyCtrlAndBroadcast));
  EXPECT_EQ(before, CountThreads());
  EXPECT_EQ(2u, log.Count("[Proxy]Enter ctrl and broadcast proxy thread has been created"));
}

TEST(ProxyThreads, StoppingThreadsThatNeverRanReturnsAtOnceWithoutLogging) {
  nettest::LogCapture log;
  StopAllProxyProcess();
  StopAllProxyProcess();
  EXPECT_TRUE(log.Lines().empty());
}

std::atomic<int> g_steps{0};
int EndAfterThreeSteps(uint8_t* buffer, uint32_t capacity) {
  EXPECT_NE(nullptr, buffer);
  EXPECT_EQ(204800u, capacity);
  return ++g_steps >= 3 ? 1 : 0;
}

TEST(ProxyThreads, ThreadThatLeavesItsLoopEndsInStateTwoAndIsJoined) {
  nettest::LogCapture log;
  g_steps = 0;
  ProxyRegisterStep(kProxyEnterZuqClient, EndAfterThreeSteps);
  std::thread([] {}).join();  // a sanitizer starts its own helper thread with the first thread
  const std::set<int> before = nettest::ThreadIds();
  ASSERT_EQ(kQeltOk, ProxyThreadStart(kProxyEnterZuqClient));
  ASSERT_TRUE(log.WaitFor("[Proxy]Enter ZUQ client proxy thread exit"));
  EXPECT_EQ(kProxyExited, ProxyThreadGetState(kProxyEnterZuqClient));
  StopEnterZUQClientProxyProcess();  // nothing to wait for, but the thread is joined
  EXPECT_TRUE(nettest::NoThreadBeyond(before));
  EXPECT_EQ(3, g_steps.load());
  ProxyRegisterStep(kProxyEnterZuqClient, nullptr);
}

TEST(ProxyThreads, DirectlyStartedBodyStopsThroughItsStopper) {
  nettest::LogCapture log;
  std::thread body([] { ExitZUQClientProxyProcess(nullptr); });
  while (ProxyThreadGetState(kProxyExitZuqClient) != kProxyRunning) std::this_thread::yield();
  StopExitZUQClientProxyProcess();
  body.join();
  EXPECT_EQ(kProxyExited, ProxyThreadGetState(kProxyExitZuqClient));
  EXPECT_EQ(1u, log.Count("[Proxy]Exit ZUQ client proxy thread has been exited"));
}

}  // namespace

namespace {

std::vector<uint8_t> g_analysed;
int g_analysed_resync = -1;
int RecordStream(int, const uint8_t* data, uint32_t length, int resync) {
  g_analysed.assign(data, data + length);
  g_analysed_resync = resync;
  return 0;
}

TEST(ClientReceiveStep, HandsBytesOnAndReportsSilenceAndClosing) {
  nettest::LogCapture log;
  ProxyRegisterClientStreamAnalysis(RecordStream);
  int pair[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
  uint8_t buffer[64];
  EXPECT_EQ(kQeltSelectTimeout, TCPClientReceiveProxyProcess(pair[0], buffer, sizeof buffer, 0));
  ASSERT_EQ(3, write(pair[1], "abc", 3));
  EXPECT_EQ(kQeltOk, TCPClientReceiveProxyProcess(pair[0], buffer, sizeof buffer, 1));
  EXPECT_EQ((std::vector<uint8_t>{'a', 'b', 'c'}), g_analysed);
  EXPECT_EQ(1, g_analysed_resync);
  close(pair[1]);
  EXPECT_EQ(kQeltPeerClosed, TCPClientReceiveProxyProcess(pair[0], buffer, sizeof buffer, 0));
  close(pair[0]);
  ProxyRegisterClientStreamAnalysis(nullptr);
}

}  // namespace
