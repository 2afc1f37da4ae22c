// The main loop: every 10 ms the heartbeat when it is due, frames flowed and the servers made passes,
// then the due delay tasks.
#include "main_loop.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "process_state.h"
#include "qelt_log.h"

std::atomic<bool> g_stop_flag{false};
std::atomic<bool> g_frame_seen{false};
std::atomic<std::uint32_t> g_passage_direction{0};

namespace {

constexpr std::uint64_t kMicrosecondsPerSecond = 1000000;
constexpr std::uint64_t kNanosecondsPerMicrosecond = 1000;

std::uint64_t MonotonicMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * kMicrosecondsPerSecond +
         static_cast<std::uint64_t>(now.tv_nsec) / kNanosecondsPerMicrosecond;
}

}  // namespace

bool HeartbeatTick(const MainLoopContext& context) {
  const bool frames_flowed = g_frame_seen.exchange(false);
  const bool servers_advanced = context.server_progress == nullptr || context.server_progress->AdvancedSinceLastLook();
  if (!frames_flowed || !servers_advanced) return false;
  if (context.heartbeat != nullptr) context.heartbeat->Send();
  PrintLog("main", "%s Heartbeat: Argument1=%s, Argument2=%p, Argument3=%d \n", context.application_name,
           context.application_name, static_cast<void*>(context.heartbeat), context.heartbeat_interval_in_second);
  return true;
}

bool MainLoopTick(const MainLoopContext& context, std::int64_t tick, std::int64_t period) {
  const bool sent = period > 0 && tick % period == 0 && HeartbeatTick(context);
  if (context.scheduler != nullptr) context.scheduler->RunDueTasks(MonotonicMicroseconds());
  return sent;
}

void RunMainLoop(const MainLoopContext& context) {
  g_stop_flag.store(false);
  const std::int64_t period = static_cast<std::int64_t>(context.heartbeat_interval_in_second) * kTicksPerSecond;
  // Until the first heartbeat has gone out, the service looks every second: a program that the
  // watchdog has just started is heard as soon as it serves, well inside the watchdog's check
  // period, however long its start took.
  HeartbeatSchedule schedule(period, std::min(period, kTicksPerSecond));
  std::int64_t tick = 1;
  do {
    const HeartbeatSchedule::Look look = schedule.LookAt(tick);
    if (MainLoopTick(context, look.tick, look.period)) schedule.Sent(tick);
    usleep(kTickMicroseconds);
    ++tick;
  } while (!g_stop_flag.load());
}

HeartbeatSchedule::HeartbeatSchedule(std::int64_t period, std::int64_t first_period)
    : period_(period), first_period_(first_period) {}

HeartbeatSchedule::Look HeartbeatSchedule::LookAt(std::int64_t tick) const {
  if (!sent_once_) return {tick, first_period_};
  return {tick - first_sent_tick_, period_};
}

void HeartbeatSchedule::Sent(std::int64_t tick) {
  if (sent_once_) return;
  sent_once_ = true;
  first_sent_tick_ = tick;
}

void RequestStop() { g_stop_flag.store(true); }
