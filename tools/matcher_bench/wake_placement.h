// Where the time of a frame after a pause went: how fast threads that one wake-up rouses get to work.
#pragma once

// After a 50 ms pause, wakes a pool of threads at once and prints the share of their full compute rate that
// they reach in each half millisecond, for threads left to roam and for threads pinned to processors of their own.
void run_wake_placement();
