// The main loop: every 10 ms the heartbeat when it is due and frames flowed, then the due delay tasks.
#pragma once

#include <cstdint>

#include "heartbeat_client.h"
#include "platform/delay_task_scheduler.h"
#include "server_progress.h"

// Main-loop ticks per second of heartbeat interval, and the sleep that makes one tick.
constexpr std::int64_t kTicksPerSecond = 100;
constexpr unsigned kTickMicroseconds = 10000;

struct MainLoopContext {
  HeartbeatClient* heartbeat;  // may be null: nothing is sent, the line is still logged
  DelayTaskScheduler* scheduler;
  const char* application_name;
  std::int32_t heartbeat_interval_in_second;
  ServerProgress* server_progress;  // may be null: frames alone decide
};

// When a frame was seen since the last heartbeat and every running server thread has made a pass
// since the last period: clears the flag, sends one and logs it. Either alone sends nothing, so a
// stalled camera or a stalled server both fall silent for the watchdog.
// True when it sent one.
bool HeartbeatTick(const MainLoopContext& context);
// One tick without its sleep: the heartbeat on a multiple of the period, then the due tasks.
// True when a heartbeat was sent.
bool MainLoopTick(const MainLoopContext& context, std::int64_t tick, std::int64_t period);
// Ticks until the stop flag is set. The first heartbeat may go out at any whole second of the
// loop; after it, heartbeats come on multiples of the interval.
void RunMainLoop(const MainLoopContext& context);
// Sets the stop flag.
void RequestStop();
