// Frame times on shared processors and within a processor set, one frame every 50 ms as the camera runs them.
#include "processor_runs.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "bench_timing.h"
#include "libtessaro.h"
#include "sgm_pool.h"
#include "sgm_processors.h"
#include "sgm_sweep.h"

namespace {

constexpr int kDisparities = 64;
constexpr unsigned long kContentionThreads = 8;
constexpr long kFramePeriodMilliseconds = 50;
constexpr int kRounds = 3;
constexpr int kFramesPerRound = 20;
constexpr int kBusySeconds = 120;  // the busy processes end themselves after this, whatever happens
constexpr int kPathCounts[] = {4, 8};
constexpr unsigned long kAskedThreads[] = {2, 8};

struct RoundTimes {
  std::vector<double> steady;  // every frame but the first after each set-up
  double first_worst = 0;      // the slowest first frame after a set-up, which meets buffers not yet touched
  unsigned long threads = 0;   // the threads the matcher ran on
};

// kRounds rounds, each setting the matcher up with every record of `sets` in turn and matching kFramesPerRound
// frames with it; times by record.
std::vector<RoundTimes> alternating_rounds(const std::vector<tagSGMParameterSet>& sets, const cv::Mat& left,
                                           const cv::Mat& right) {
  cv::Mat out(left.size(), CV_8U);
  std::vector<RoundTimes> times(sets.size());
  const bench::QuietStdout quiet;  // the OpenCL inventory of every set-up
  for (int round = 0; round < kRounds; ++round)
    for (size_t i = 0; i < sets.size(); ++i) {
      libtessaro_init(sets[i]);
      times[i].threads = sgm_pool().threads();
      const std::vector<double> paced = bench::PacedMilliseconds(
          [&] { libtessaro_process(out.data, left.data, right.data, false); }, kFramePeriodMilliseconds, 0,
          kFramesPerRound);
      times[i].first_worst = std::max(times[i].first_worst, paced.front());
      times[i].steady.insert(times[i].steady.end(), paced.begin() + 1, paced.end());
      libtessaro_close();
    }
  return times;
}

// Starts `count` busy processes; each ends itself after kBusySeconds.
std::vector<pid_t> start_busy_processes(unsigned long count) {
  std::vector<pid_t> children;
  for (unsigned long i = 0; i < count; ++i) {
    // Spawned (no copy of this process's pages, which the matcher would then fault on copy-on-write); the
    // shell's own timeout ends each one should this program die first.
    pid_t child = 0;
    const std::string script = "end=$(($(date +%s) + " + std::to_string(kBusySeconds) +
                               ")); while [ $(date +%s) -lt $end ]; do i=0;"
                               " while [ $i -lt 100000 ]; do i=$((i+1)); done; done";
    char* const arguments[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(script.c_str()),
                               nullptr};
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, arguments, environ) != 0) continue;
    children.push_back(child);
  }
  return children;
}

void stop_busy_processes(const std::vector<pid_t>& children) {
  for (pid_t child : children) kill(child, SIGKILL);
  for (pid_t child : children) waitpid(child, nullptr, 0);
}

}  // namespace

void run_contention(const cv::Mat& left, const cv::Mat& right, int matcher_nice, const std::string& schedule) {
  if (schedule == "strips") sgm_sweep_schedule_for_tests(SgmEightPathSchedule::kStrips);
  if (schedule == "families") sgm_sweep_schedule_for_tests(SgmEightPathSchedule::kFamilies);
  std::vector<tagSGMParameterSet> sets;
  for (int paths : kPathCounts)
    sets.push_back(bench_matcher_parameters(left.cols, left.rows, kDisparities, paths, kContentionThreads));
  const unsigned long processors = sgm_process_processors().size();
  std::printf("one frame every 50 ms, %d rounds of %d frames alternating the path counts, %s schedule of 5-8 paths, "
              "matcher at nice %d\n",
              kRounds, kFramesPerRound, schedule.empty() ? "adaptive" : schedule.c_str(), matcher_nice);
  for (bool loaded : {false, true}) {
    const std::vector<pid_t> busy = loaded ? start_busy_processes(processors) : std::vector<pid_t>{};
    // A nice value belongs to a thread, and the workers that set-up starts take that of the thread that
    // starts them: the matcher runs on a thread of its own at matcher_nice, while the busy processes,
    // spawned from this thread, keep its nice value.
    std::vector<RoundTimes> times;
    std::thread([&] {
      if (matcher_nice > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), matcher_nice);
      times = alternating_rounds(sets, left, right);
    }).join();
    const double load = bench_load_average();
    stop_busy_processes(busy);
    std::vector<bench::Spread> figures;
    for (size_t i = 0; i < sets.size(); ++i) {
      figures.push_back(bench::SpreadOf(times[i].steady));
      std::printf("%dx%d D=%d paths=%d threads=%lu %-6s %lu busy processes: median %.2f ms, 90th %.2f ms, worst "
                  "%.2f ms, first after set-up worst %.2f ms (load average %.2f)\n",
                  left.cols, left.rows, kDisparities, kPathCounts[i], times[i].threads, loaded ? "loaded" : "idle",
                  busy.size(), figures[i].median, figures[i].p90, figures[i].worst, times[i].first_worst, load);
    }
    std::printf("  CONTENTION %s: 8 paths / 4 paths median %.2f, 8-path worst %.2f ms (first after set-up %.2f ms)\n",
                loaded ? "loaded" : "idle", figures[1].median / figures[0].median, figures[1].worst,
                times[1].first_worst);
  }
}

void run_processor_set(const cv::Mat& left, const cv::Mat& right) {
  const std::vector<int> processors = sgm_process_processors();
  std::printf("one frame every 50 ms, %d rounds of %d frames alternating the threads asked for, on %zu processors "
              "(the first %d, the last %d)\n",
              kRounds, kFramesPerRound, processors.size(), processors.front(), processors.back());
  for (int paths : kPathCounts) {
    std::vector<tagSGMParameterSet> sets;
    for (unsigned long asked : kAskedThreads)
      sets.push_back(bench_matcher_parameters(left.cols, left.rows, kDisparities, paths, asked));
    const std::vector<RoundTimes> times = alternating_rounds(sets, left, right);
    std::vector<bench::Spread> figures;
    for (size_t i = 0; i < sets.size(); ++i) {
      figures.push_back(bench::SpreadOf(times[i].steady));
      std::printf("%dx%d D=%d paths=%d asking %lu threads (ran on %lu): median %.2f ms, 90th %.2f ms, worst %.2f ms\n",
                  left.cols, left.rows, kDisparities, paths, kAskedThreads[i], times[i].threads, figures[i].median,
                  figures[i].p90, figures[i].worst);
    }
    std::printf("  PROCESSOR SET paths=%d: asking 8 / asking 2 median %.2f (load average %.2f)\n", paths,
                figures[1].median / figures[0].median, bench_load_average());
  }
}
