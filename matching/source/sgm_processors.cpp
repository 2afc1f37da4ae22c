// The processors of the process, from its main thread's affinity mask.
#include "sgm_processors.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace {

bool read_mask(pid_t thread, std::vector<int>& processors) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(thread, sizeof(set), &set) != 0) return false;
  processors.clear();
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) processors.push_back(cpu);
  return !processors.empty();
}

}  // namespace

std::vector<int> sgm_process_processors() {
  std::vector<int> processors;
  // The main thread's id is the process's.
  if (read_mask(getpid(), processors) || read_mask(0, processors)) return processors;
  const int count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int cpu = 0; cpu < count; ++cpu) processors.push_back(cpu);
  return processors;
}
