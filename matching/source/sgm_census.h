// Census transform of the two images and the Hamming-distance cost volume.
#pragma once
#include "library_export.h"

extern "C" {
// Fills the cost volume with the census costs of radius window_scale (1 to 9); any other radius leaves the
// volume unchanged and prints "window_scale error".
LIBRARY_EXPORT void calculate_census(unsigned short* cost, const unsigned char* left, const unsigned char* right,
                      unsigned long window_scale);
}

// The same without the message: false (and the volume unchanged) for a radius outside 1 to 9.
bool sgm_census_volume(unsigned short* cost, const unsigned char* left, const unsigned char* right,
                       unsigned long window_scale);

// Radii whose costs, at most (2r+1)^2 - 1, fit a byte.
constexpr unsigned long kMaxByteCostWindowScale = 7;

// Only the signatures of both images, for the module's radius, into its scratch (false, and nothing done,
// without scratch).
bool sgm_census_signatures(const unsigned char* left, const unsigned char* right);

// One radius of the census cost: signatures of both images, then the cost of every matched pixel and index.
template <unsigned long R>
void calculate_census_cost(unsigned short* cost, const unsigned char* left, const unsigned char* right);
