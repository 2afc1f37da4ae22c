// Pins the calling thread to one processor, as every multi-threaded matcher stage does for its workers.
#include <sched.h>

#include "libtessaro.h"

extern "C" int BindThreadToCpu(int processor) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (processor >= 0 && processor < CPU_SETSIZE) CPU_SET(processor, &set);
  return sched_setaffinity(0, sizeof(set), &set);
}
