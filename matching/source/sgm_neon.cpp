// The matcher's inner loops under their exported names: the recurrence, the plane sums and the minima call the
// forms' tables; the block clear and copy run on 128-bit NEON registers (SIMDe on x86-64), each beside its
// plain twin. The fast forms work in
// whole vector steps and finish the remainder exactly, never touching memory outside the ranges they are given.
#if defined(__ARM_NEON) || defined(__aarch64__)
#include <arm_neon.h>
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#endif

#include <cstdint>

#include "sgm_kernels.h"
#include "sgm_neon.h"
#include "sgm_state.h"

namespace {

constexpr unsigned long kByteLanes = 16;   // bytes per register
constexpr unsigned long kClearBlock = 32;
constexpr unsigned long kCopyBlock = 64;

}  // namespace

extern "C" {

void asm_cost_accumulation(unsigned long start, unsigned long end, const unsigned short* min_previous,
                           const unsigned short* previous_cell, const unsigned short* cost, unsigned short* cell,
                           const unsigned short* P1, const unsigned short* P2) {
  kSgmVector128Kernels.recurrence(start, end, *min_previous, previous_cell, cost, cell, *P1, *P2);
}

void cost_accumulation(unsigned long start, unsigned long end, unsigned short min_previous,
                       unsigned short* previous_cell, unsigned short* cost, unsigned short* cell) {
  kSgmPlainKernels.recurrence(start, end, min_previous, previous_cell, cost, cell, sgm_params.penalty1,
                              sgm_params.penalty2);
}

void asm_sgm_sum(unsigned short* base, unsigned long stride, unsigned long index, unsigned short* sums,
                 unsigned long count, unsigned long planes) {
  kSgmVector128Kernels.add_planes(base + index, stride, planes, count, sums);
}

void sgm_sum(unsigned short* base, unsigned long stride, unsigned long index, unsigned short* sums) {
  const unsigned long count = static_cast<unsigned long>(sgm_params.disparity_count);
  for (unsigned long p = 0; p < sgm_params.path_number; ++p)
    for (unsigned long k = 0; k < count; ++k)
      sums[k] = static_cast<unsigned short>(sums[k] + base[index + p * stride + k]);
}

void asm_sgm_zero(void* buffer, unsigned long bytes) {
  unsigned char* out = static_cast<unsigned char*>(buffer);
  const uint8x16_t zero = vdupq_n_u8(0);
  unsigned long i = 0;
  for (; i + kClearBlock <= bytes; i += kClearBlock) {
    vst1q_u8(out + i, zero);
    vst1q_u8(out + i + kByteLanes, zero);
  }
  if (i + kByteLanes <= bytes) {
    vst1q_u8(out + i, zero);
    i += kByteLanes;
  }
  for (; i < bytes; ++i) out[i] = 0;
}

void sgm_zero(unsigned short* buffer, unsigned long) {
  const unsigned long count = static_cast<unsigned long>(sgm_params.disparity_count);
  for (unsigned long k = 0; k < count; ++k) buffer[k] = 0;
}

void asm_sgm_setpixelResult(const unsigned char* source, unsigned long bytes, unsigned char* destination) {
  unsigned long i = 0;
  for (; i + kCopyBlock <= bytes; i += kCopyBlock) {
    const uint8x16_t a = vld1q_u8(source + i);
    const uint8x16_t b = vld1q_u8(source + i + kByteLanes);
    const uint8x16_t c = vld1q_u8(source + i + 2 * kByteLanes);
    const uint8x16_t d = vld1q_u8(source + i + 3 * kByteLanes);
    vst1q_u8(destination + i, a);
    vst1q_u8(destination + i + kByteLanes, b);
    vst1q_u8(destination + i + 2 * kByteLanes, c);
    vst1q_u8(destination + i + 3 * kByteLanes, d);
  }
  for (; i + kByteLanes <= bytes; i += kByteLanes) vst1q_u8(destination + i, vld1q_u8(source + i));
  for (; i < bytes; ++i) destination[i] = source[i];
}

void sgm_setpixelResult(const unsigned char* source, unsigned long bytes, unsigned char* destination) {
  for (unsigned long i = 0; i < bytes; ++i) destination[i] = source[i];
}

}  // extern "C"

unsigned short sgm_min_value(const unsigned short* values, unsigned long count) {
  return kSgmVector128Kernels.minimum(values, count);
}

unsigned long sgm_min_index(const unsigned short* values, unsigned long count) {
  return kSgmVector128Kernels.first_minimum(values, count);
}
