// The service's start-up in order, the undo of every earlier step on failure, and the exit status.
#include "quarnel_startup.h"

#include <unistd.h>

#include <csignal>

#include "board/fennick.h"
#include "board/system_command.h"
#include "configuration_loaders.h"
#include "configuration_search.h"
#include "heartbeat_client.h"
#include "main_loop.h"
#include "platform/delay_task_scheduler.h"
#include "platform/file_configuration_manager.h"
#include "platform/memory_manager.h"
#include "platform/output_relay.h"
#include "platform/signal_notice.h"
#include "process_state.h"
#include "qelt_log.h"
#include "service_context.h"
#include "service_start.h"
#include "status_led.h"
#include "stereo_video_deivce.h"

namespace {

constexpr const char* kRemoveCoreFilesCommand = "rm /data/core/*";
constexpr const char* kCpuFrequencyCommand = "/system/bin/cpufreq.sh";
constexpr int kLowByteMask = 0xFF;
constexpr int kExitForFailureWithoutLowByte = 255;
constexpr const char* kBrokenPipeNotice = "receive a sig_pipe signal, we ignore it sig_no=";

// The log file keeps the count of lines that an output nobody read did not get.
void ReportDroppedOutput(int fd, std::uint64_t dropped_lines) {
  PrintLog("main", "OutputRelay, %llu lines of %s dropped while nobody read it\n",
           static_cast<unsigned long long>(dropped_lines), fd == STDOUT_FILENO ? "standard output" : "standard error");
}

// The undo that every exit path shares once the store is open.
void CloseStoreAndLeds(FileConfigurationManager* store) {
  store->Close();
  SetAllLEDOff();
  CloseAllLED();
}

void ShowStartingThenStartCrashCatcher() {
  OpenAllLED();
  SetRedLedOn();
  fennick();
  board::RunCommand(kRemoveCoreFilesCommand);
  board::RunCommand(kCpuFrequencyCommand);
  BaseMemoryManager::Instance();
  std::signal(SIGPIPE, sig_pipe_handle);
}

// Creates, starts and runs everything after the two loaders of the program itself; the store is
// open and loaded. Undoes its own steps; the caller closes the store and the LEDs.
Result RunWithConfiguration(FileConfigurationManagerPtr store, const char* application_name,
                            const HeartbeatConfiguration& heartbeat) {
  DelayTaskScheduler* scheduler = NewObject<DelayTaskScheduler>();
  if (scheduler == nullptr) return RESULT_OUT_OF_MEMORY;
  Result result = scheduler->Init();
  if (result != RESULT_OK) {
    DeleteObject(scheduler);
    return result;
  }

  // The device lives in this function's storage for the whole run.
  StereoVideoDeivce device;
  ServiceContext context = {&device, scheduler, store.Get()};
  result = StartZuqService(store, &context);
  if (result != RESULT_OK) {
    scheduler->Deinit();
    DeleteObject(scheduler);
    return result;
  }

  HeartbeatClient heartbeat_client;
  result = heartbeat_client.Open(heartbeat.local_heartbeat_socket_addr, heartbeat.local_heartbeat_socket_port,
                                 heartbeat.daemon_listen_socket_addr, heartbeat.daemon_listen_socket_port,
                                 application_name);
  if (result == RESULT_OK) {
    ServerProgress server_progress;
    const MainLoopContext loop = {&heartbeat_client, scheduler, application_name,
                                  heartbeat.local_heartbeat_interval_in_second, &server_progress};
    RunMainLoop(loop);
    heartbeat_client.Close();
  }
  StopZuqService(&context);
  scheduler->Deinit();
  DeleteObject(scheduler);
  return result;
}

}  // namespace

// Runs on whichever thread wrote to a broken pipe, possibly inside the logger with its lock held:
// so it writes the line itself, with async-signal-safe calls only, to standard error where the
// log lines go.
void sig_pipe_handle(int signal_number) {
  WriteSignalNotice(STDERR_FILENO, kBrokenPipeNotice, signal_number);
}

int ExitStatusFor(Result result) {
  if (result == RESULT_OK) return 0;
  const int low_byte = static_cast<int>(result & kLowByteMask);
  return low_byte != 0 ? low_byte : kExitForFailureWithoutLowByte;
}

Result RunQuarnel() {
  // First of all, before any thread or line: no thread may wait for an output nobody reads.
  StartProgramOutputRelay(ReportDroppedOutput);
  ShowStartingThenStartCrashCatcher();

  FileConfigurationManagerPtr store(NewObject<FileConfigurationManager>());
  if (store.Get() == nullptr) {
    SetAllLEDOff();
    CloseAllLED();
    return RESULT_OUT_OF_MEMORY;
  }
  Result result = OpenServiceConfiguration(store.Get());
  if (result != RESULT_OK) {
    SetAllLEDOff();
    CloseAllLED();
    return result;
  }

  // Both records live here for the whole run.
  char application_name[kConfigurationTextBytes] = {};
  HeartbeatConfiguration heartbeat = {};
  result = store->Load();
  if (result == RESULT_OK) result = LoadBaseConfiguration(store, application_name);
  if (result == RESULT_OK) result = LoadHeartbeatConfiguration(store, &heartbeat);
  if (result == RESULT_OK) {
    g_passage_direction.store(heartbeat.passage_direction);
    result = RunWithConfiguration(store, application_name, heartbeat);
  }
  CloseStoreAndLeds(store.Get());
  return result;
}
