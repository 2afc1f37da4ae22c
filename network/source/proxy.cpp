// The proxy threads' start and stop protocol, their loops and CPU pinning.
#include "pelarin/proxy.h"
#include "pelarin/proxy_passes.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {

constexpr int kNotPinned = -1;
constexpr useconds_t kStopPollMicros = 5 * 1000;
constexpr useconds_t kClientPauseMicros = 2 * 1000;
constexpr uint32_t kClientReceiveBytes = 204800;
constexpr uint32_t kDiscoveryClientBytes = 1000;

enum class StepKind { kServerPass, kControlAndDiscovery, kProtocolStep };

struct ProxyThreadSpec {
  const char* thread_name;  // at most 15 characters
  int cpu;
  StepKind kind;
  uint32_t server_type;
  uint32_t buffer_bytes;
  useconds_t pause_micros;
  const char* already_text;
  const char* exit_text;
  const char* wait_text;
  const char* done_text;
};

const ProxyThreadSpec kSpecs[kProxyThreadCount] = {
    {"NORBImageProxy", 2, StepKind::kServerPass, kServerNorbImage, 0, 0,
     "[Proxy]NORB image proxy thread has been created\n", "[Proxy]NORB image proxy thread exit\n",
     "[Proxy]Wait NORB image proxy thread to exit\n", "[Proxy]NORB image proxy thread has been exited\n"},
    {"YRDImageProxy", 1, StepKind::kServerPass, kServerYrdImage, 0, 0,
     "[Proxy]YRD image proxy thread has been created\n", "[Proxy]YRD image proxy thread exit\n",
     "[Proxy]Wait YRD image proxy thread to exit\n", "[Proxy]YRD image proxy thread has been exited\n"},
    {"CtrlBcastProxy", 0, StepKind::kControlAndDiscovery, kServerControl, 0, 0,
     "[Proxy]Enter ctrl and broadcast proxy thread has been created\n", "[Proxy]Ctrl and broadcast proxy thread exit\n",
     "[Proxy]Wait ctrl and broadcast proxy thread to exit\n", "[Proxy]Ctrl and broadcast proxy thread has been exited\n"},
    {"BcastClientProx", kNotPinned, StepKind::kProtocolStep, 0, kDiscoveryClientBytes, 0,
     "[Proxy]Broad cast proxy thread has been created\n", "[Proxy]Broad cast proxy thread exit\n",
     "[Proxy]Wait boadcast client thread to exit\n", "[Proxy]Broad cast proxy thread has been exited\n"},
    {"EnterZUQClient", kNotPinned, StepKind::kProtocolStep, 0, kClientReceiveBytes, kClientPauseMicros,
     "[Proxy]Enter ZUQ client proxy thread has been created\n", "[Proxy]Enter ZUQ client proxy thread exit\n",
     "[Proxy]Wait extern client thread to exit\n", "[Proxy]Enter ZUQ client proxy thread has been exited\n"},
    {"ExitZUQClient", kNotPinned, StepKind::kProtocolStep, 0, kClientReceiveBytes, kClientPauseMicros,
     "[Proxy]Exit ZUQ client proxy thread has been created\n", "[Proxy]Exit ZUQ client proxy thread exit\n",
     "[Proxy]Wait exit client thread to exit\n", "[Proxy]Exit ZUQ client proxy thread has been exited\n"},
    {"STOPServerProxy", kNotPinned, StepKind::kServerPass, kServerObject, 0, 0,
     "[Proxy]STOP server proxy thread has been created\n", "[Proxy]STOP server proxy thread exit\n",
     "[Proxy]Wait STOP server proxy thread to exit\n", "[Proxy]STOP server proxy thread has been exited\n"},
    {"STOPClientProxy", kNotPinned, StepKind::kProtocolStep, 0, kClientReceiveBytes, kClientPauseMicros,
     "[Proxy]STOP client proxy thread has been created\n", "[Proxy]STOP client proxy thread exit\n", nullptr,
     nullptr},
};

struct ProxyThreadRecord {
  std::atomic<int> state{kProxyIdle};
  std::atomic<ProxyStepFunc> step{nullptr};
  std::mutex control;  // serialises start and stop of this thread
  pthread_t handle{};
  bool joinable = false;
};

ProxyThreadRecord g_threads[kProxyThreadCount];

void PinToCpu(const ProxyThreadSpec& spec) {
  if (spec.cpu == kNotPinned) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(spec.cpu, &set);
  const int rc = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  if (rc != 0) Qeltmlog(2, "[Proxy]%s can not be pinned to CPU %d, error %d; runs unpinned\n", spec.thread_name, spec.cpu, rc);
}

// One step of the thread's loop; non-zero leaves the loop.
int RunStep(uint32_t id, uint8_t* buffer) {
  const ProxyThreadSpec& spec = kSpecs[id];
  ProxyStepFunc step = g_threads[id].step.load(std::memory_order_acquire);
  switch (spec.kind) {
    case StepKind::kServerPass:
      ServerProxyProcess(spec.server_type);
      return 0;
    case StepKind::kControlAndDiscovery:
      ServerProxyProcess(spec.server_type);
      return step != nullptr ? step(nullptr, 0) : 0;
    case StepKind::kProtocolStep:
      if (step == nullptr) {
        usleep(kClientPauseMicros);
        return 0;
      }
      return step(buffer, spec.buffer_bytes);
  }
  return 0;
}

// The thread protocol: claim the state word, set up, loop while running, always end in state 2.
void* RunProxyThread(uint32_t id, bool started_by_starter) {
  ProxyThreadRecord& record = g_threads[id];
  const ProxyThreadSpec& spec = kSpecs[id];
  if (!started_by_starter) {
    int expected = record.state.load();
    do {
      if (expected == kProxyRunning) {
        Qeltmlog(0, "%s", spec.already_text);
        return nullptr;
      }
    } while (!record.state.compare_exchange_weak(expected, kProxyRunning));
  }
  uint8_t* buffer = nullptr;
  if (spec.buffer_bytes > 0) {
    buffer = static_cast<uint8_t*>(malloc(spec.buffer_bytes));
    if (buffer == nullptr) {
      Qeltmlog(2, "[Proxy]Malloc failed\n");
      record.state.store(kProxyExited);
      return nullptr;
    }
  }
  pthread_setname_np(pthread_self(), spec.thread_name);
  PinToCpu(spec);
  while (record.state.load() == kProxyRunning) {
    if (RunStep(id, buffer) != 0) break;
    ProxyCountPass(id);
    if (spec.pause_micros > 0) usleep(spec.pause_micros);
  }
  free(buffer);
  record.state.store(kProxyExited);
  Qeltmlog(0, "%s", spec.exit_text);
  return nullptr;
}

void StopProxyThread(uint32_t id) {
  ProxyThreadRecord& record = g_threads[id];
  const ProxyThreadSpec& spec = kSpecs[id];
  std::lock_guard<std::mutex> guard(record.control);
  int expected = kProxyRunning;
  if (record.state.compare_exchange_strong(expected, kProxyIdle)) {
    while (record.state.load() != kProxyExited) {
      if (spec.wait_text != nullptr) Qeltmlog(0, "%s", spec.wait_text);
      usleep(kStopPollMicros);
    }
    if (spec.done_text != nullptr) Qeltmlog(0, "%s", spec.done_text);
  }
  if (record.joinable) {
    pthread_join(record.handle, nullptr);
    record.joinable = false;
  }
}

template <uint32_t Id>
void* ThreadEntry(void* arg) {
  return RunProxyThread(Id, arg != nullptr);
}

using ThreadBody = void* (*)(void*);
const ThreadBody kBodies[kProxyThreadCount] = {
    ThreadEntry<kProxyNorbImage>,    ThreadEntry<kProxyYrdImage>,     ThreadEntry<kProxyCtrlAndBroadcast>,
    ThreadEntry<kProxyBroadcastClient>, ThreadEntry<kProxyEnterZuqClient>, ThreadEntry<kProxyExitZuqClient>,
    ThreadEntry<kProxyStopServer>,   ThreadEntry<kProxyStopClient>,
};

// Marks a thread that ProxyThreadStart created, so that its body skips the claim step.
int g_started_marker;

}  // namespace

extern "C" {

int ProxyRegisterStep(uint32_t thread, ProxyStepFunc step) {
  if (thread >= kProxyThreadCount) return kQeltUnsupported;
  g_threads[thread].step.store(step, std::memory_order_release);
  return kQeltOk;
}

int ProxyThreadGetState(uint32_t thread) {
  return thread < kProxyThreadCount ? g_threads[thread].state.load() : kProxyIdle;
}

int ProxyThreadStart(uint32_t thread) {
  if (thread >= kProxyThreadCount) return kQeltUnsupported;
  ProxyThreadRecord& record = g_threads[thread];
  std::lock_guard<std::mutex> guard(record.control);
  int expected = record.state.load();
  do {
    if (expected == kProxyRunning) {
      Qeltmlog(0, "%s", kSpecs[thread].already_text);
      return kQeltOk;
    }
  } while (!record.state.compare_exchange_weak(expected, kProxyRunning));
  if (record.joinable) {  // an earlier run that ended by itself
    pthread_join(record.handle, nullptr);
    record.joinable = false;
  }
  const int rc = pthread_create(&record.handle, nullptr, kBodies[thread], &g_started_marker);
  if (rc != 0) {
    record.state.store(kProxyExited);
    return SocketMapErrno(rc);
  }
  record.joinable = true;
  return kQeltOk;
}

void* NORBImageProxyProcess(void* arg) { return kBodies[kProxyNorbImage](arg); }
void* YRDImageProxyProcess(void* arg) { return kBodies[kProxyYrdImage](arg); }
void* CtrlAndBroadCastProxyProcess(void* arg) { return kBodies[kProxyCtrlAndBroadcast](arg); }
void* STOPServerProxyProcess(void* arg) { return kBodies[kProxyStopServer](arg); }
void* STOPClientProxyProcess(void* arg) { return kBodies[kProxyStopClient](arg); }
void* EnterZUQClientProxyProcess(void* arg) { return kBodies[kProxyEnterZuqClient](arg); }
void* ExitZUQClientProxyProcess(void* arg) { return kBodies[kProxyExitZuqClient](arg); }
void* BroadCastClientProxyProcess(void* arg) { return kBodies[kProxyBroadcastClient](arg); }

void StopNORBImageProxyProcess(void) { StopProxyThread(kProxyNorbImage); }
void StopYRDImageProxyProcess(void) { StopProxyThread(kProxyYrdImage); }
void StopCtrlAndBroadCastProxyProcess(void) { StopProxyThread(kProxyCtrlAndBroadcast); }
void ExitSTOPServerProxyProcess(void) { StopProxyThread(kProxyStopServer); }
void ExitSTOPClientProxyProcess(void) { StopProxyThread(kProxyStopClient); }
void StopEnterZUQClientProxyProcess(void) { StopProxyThread(kProxyEnterZuqClient); }
void StopExitZUQClientProxyProcess(void) { StopProxyThread(kProxyExitZuqClient); }
void StopBroadCastClientProxyProcess(void) { StopProxyThread(kProxyBroadcastClient); }

void StopAllProxyProcess(void) {
  for (uint32_t id = 0; id < kProxyThreadCount; ++id) StopProxyThread(id);
}

}  // extern "C"
