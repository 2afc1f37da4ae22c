// Frame times at the camera's rhythm on processors that other programs keep busy, or within a processor set.
#pragma once

#include <opencv2/core.hpp>
#include <string>

// One frame of the pair every 50 ms on 8 threads, first idle, then with one busy process per processor of this
// process; rounds alternate 4 and 8 paths, so that both meet the same load. With `matcher_nice` above 0 the matcher
// runs that many nice levels below the busy processes. `schedule` fixes how five to eight paths run ("strips" or
// "families"; empty: chosen by contention, as the library does). Prints the median, 90th percentile and worst frame of
// each path count, the first frame after each set-up (which meets buffers not yet touched) apart, and the ratio of the
// medians.
void run_contention(const cv::Mat& left, const cv::Mat& right, int matcher_nice, const std::string& schedule);

// One frame of the pair every 50 ms asking the matcher for 2 threads and for 8 in alternate rounds, within the
// processors this process was given (run it under `taskset -c 0,1`), for 4 and 8 paths; prints the medians, the
// threads each request got and the ratio of the 8-thread median to the 2-thread one.
void run_processor_set(const cv::Mat& left, const cv::Mat& right);
