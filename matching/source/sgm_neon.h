// The matcher's inner loops: fast forms on 128-bit SIMD registers and their plain twins.
#pragma once
#include "library_export.h"

extern "C" {

// Path recurrence for disparity indices [start, end): cell[d+1] from the previous pixel's cell,
// the pixel's costs, the previous cell's minimum and the penalties, all in wrapping 16-bit arithmetic.
LIBRARY_EXPORT void asm_cost_accumulation(unsigned long start, unsigned long end, const unsigned short* min_previous,
                           const unsigned short* previous_cell, const unsigned short* cost, unsigned short* cell,
                           const unsigned short* P1, const unsigned short* P2);
// Plain form of the recurrence; the penalties come from the module state.
LIBRARY_EXPORT void cost_accumulation(unsigned long start, unsigned long end, unsigned short min_previous,
                       unsigned short* previous_cell, unsigned short* cost, unsigned short* cell);

// Adds, for every k below count, the values base[index + p * stride + k] of planes p below `planes`
// into sums[k] (wrapping).
LIBRARY_EXPORT void asm_sgm_sum(unsigned short* base, unsigned long stride, unsigned long index, unsigned short* sums,
                 unsigned long count, unsigned long planes);
// Plain form of the sum over the module's path planes and D values.
LIBRARY_EXPORT void sgm_sum(unsigned short* base, unsigned long stride, unsigned long index, unsigned short* sums);

// Clears `bytes` bytes.
LIBRARY_EXPORT void asm_sgm_zero(void* buffer, unsigned long bytes);
// Plain form: clears the module's D values (the length is not used).
LIBRARY_EXPORT void sgm_zero(unsigned short* buffer, unsigned long bytes);

// Copies `bytes` bytes from source to destination.
LIBRARY_EXPORT void asm_sgm_setpixelResult(const unsigned char* source, unsigned long bytes, unsigned char* destination);
// Plain form of the copy.
LIBRARY_EXPORT void sgm_setpixelResult(const unsigned char* source, unsigned long bytes, unsigned char* destination);

}  // extern "C"

// Smallest of `count` values (65535 for none).
unsigned short sgm_min_value(const unsigned short* values, unsigned long count);
// Index of the first of the smallest of `count` values (0 for none).
unsigned long sgm_min_index(const unsigned short* values, unsigned long count);
