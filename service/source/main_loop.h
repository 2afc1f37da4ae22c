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
// Which ticks may send a heartbeat: until the first one is sent, every `first_period` ticks (so a
// program that the watchdog has just started is heard as soon as it serves); from the first one
// on, every `period` ticks counted from it, so that no two heartbeats are closer than a period.
class HeartbeatSchedule {
 public:
  HeartbeatSchedule(std::int64_t period, std::int64_t first_period);
  // The tick and period to hand MainLoopTick for loop tick `tick`.
  struct Look {
    std::int64_t tick;
    std::int64_t period;
  };
  Look LookAt(std::int64_t tick) const;
  // A heartbeat went out at loop tick `tick`.
  void Sent(std::int64_t tick);

 private:
  std::int64_t period_;
  std::int64_t first_period_;
  bool sent_once_ = false;
  std::int64_t first_sent_tick_ = 0;
};

// Ticks until the stop flag is set, sending heartbeats as HeartbeatSchedule says.
void RunMainLoop(const MainLoopContext& context);
// Sets the stop flag.
void RequestStop();
