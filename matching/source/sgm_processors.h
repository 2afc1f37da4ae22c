// The processors this process was given, which the matcher's threads count and stay within.
#pragma once

#include <vector>

// The processors the process may run on, ascending, read now: the affinity mask of its main thread, which a
// processor set or `taskset` gives the whole process. Not the calling thread's own, which may be narrower (the
// camera's capture thread is pinned to one processor); that one where the main thread's cannot be read. Never
// empty.
std::vector<int> sgm_process_processors();
