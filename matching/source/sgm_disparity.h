// Winner-take-all: sums the path costs of every pixel and reports the cheapest disparity.
#pragma once
#include "library_export.h"

// Fills out (m x n bytes), bands of rows on the matcher's pool.
LIBRARY_EXPORT void sgm_calculate_disparity(unsigned char* out);

// Rows [begin, end) of out.
void sgm_calculate_disparity_rows(unsigned char* out, unsigned long begin, unsigned long end);
