// vastrel: the watchdog that starts the camera's programs and restarts them when their heartbeats stop.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daemon_configuration.h"
#include "daemon_log.h"
#include "daemon_server.h"
#include "platform/file_configuration_manager.h"
#include "platform/memory_manager.h"
#include "platform/output_relay.h"
#include "platform/signal_notice.h"

namespace {

constexpr std::size_t kLinkBufferBytes = 4096;
constexpr const char* kBrokenPipeNotice = "receive a sig_pipe signal, we ignore it sig_no=";

// Reports and ignores a broken pipe, with async-signal-safe calls only.
void sig_pipe_handle(int signal_number) { WriteSignalNotice(STDOUT_FILENO, kBrokenPipeNotice, signal_number); }

// This program's file, read from the kernel's own process table (not a board path); empty when
// the link cannot be read.
std::string OwnProgramPath() {
  const std::string link = "/proc/" + std::to_string(getpid()) + "/exe";
  char target[kLinkBufferBytes] = {};
  const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// Registers every enabled entry in order; the first refusal's status.
Result RegisterEnabled(DaemonServer* server, const std::vector<ProcessItem>& entries) {
  for (const ProcessItem& entry : entries) {
    if (entry.enabled == 0) continue;
    const Result result =
        server->AddProcess(entry.process_name.c_str(), entry.command_line.c_str(), entry.argument.c_str(),
                           entry.check_period_ms, entry.immediately_execute != 0, entry.reboot_machine != 0);
    if (result != RESULT_OK) return result;
  }
  return RESULT_OK;
}

// Everything after the configuration store exists; the store is closed by the caller.
Result RunWatchdog(FileConfigurationManager* store) {
  Result result = OpenDaemonConfiguration(store, OwnProgramPath());
  if (result != RESULT_OK) return result;
  result = store->Load();
  if (result != RESULT_OK) return result;
  ListenerSettings settings;
  result = ReadListenerSettings(store, &settings);
  if (result != RESULT_OK) return result;
  std::vector<ProcessItem> entries;
  result = ReadProcessEntries(store, settings.process_count, &entries);
  if (result != RESULT_OK) return result;

  ManagedPtr<DaemonServer> server(NewObject<DaemonServer>());
  if (server == nullptr) return RESULT_OUT_OF_MEMORY;
  result = server->Init(settings.address.c_str(), settings.port, settings.interval_s);
  if (result != RESULT_OK) return result;
  result = RegisterEnabled(server.get(), entries);
  if (result == RESULT_OK) result = server->Run();
  const Result closed = server->Deinit();
  return result != RESULT_OK ? result : closed;
}

}  // namespace

int main() {
  // Before any thread or line: neither vastrel nor what it runs may wait for an output nobody reads.
  StartProgramOutputRelay(nullptr);
  BaseMemoryManager::Instance();
  signal(SIGPIPE, sig_pipe_handle);
  FileConfigurationManagerPtr store(NewObject<FileConfigurationManager>());
  if (store.Get() == nullptr) return ExitValueFor(RESULT_OUT_OF_MEMORY);
  const Result result = RunWatchdog(store.Get());
  store->Close();
  return ExitValueFor(result);
}
