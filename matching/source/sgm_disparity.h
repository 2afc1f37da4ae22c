// Winner-take-all: sums the path costs of every pixel and reports the cheapest disparity.
#pragma once

// Fills out (m x n bytes) on six pinned workers.
void sgm_calculate_disparity(unsigned char* out);

// Worker `index`: rows [begin, end) of out.
void sgm_calculate_disparity_thread(unsigned char* out, unsigned long begin, unsigned long end, unsigned long index);
