// Chooses the form of the inner loops once, from what the processor offers.
#include "sgm_kernels.h"

#include <atomic>

namespace {

const SgmKernels* table_of(SgmCodePath path) {
  switch (path) {
    case SgmCodePath::kPlain:
      return &kSgmPlainKernels;
    case SgmCodePath::kVector128:
      return &kSgmVector128Kernels;
    case SgmCodePath::kAvx2:
      return kSgmAvx2Kernels;
    case SgmCodePath::kAvx512:
      return kSgmAvx512Kernels;
  }
  return nullptr;
}

std::atomic<SgmCodePath> current_path{sgm_best_code_path()};

}  // namespace

bool sgm_code_path_available(SgmCodePath path) {
  if (table_of(path) == nullptr) return false;
#if defined(__x86_64__)
  __builtin_cpu_init();  // this may run during static initialisation, before the compiler's own set-up
  if (path == SgmCodePath::kAvx2) return __builtin_cpu_supports("avx2");
  if (path == SgmCodePath::kAvx512)
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512vpopcntdq") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("gfni");
#endif
  return true;
}

SgmCodePath sgm_best_code_path() {
  if (sgm_code_path_available(SgmCodePath::kAvx512)) return SgmCodePath::kAvx512;
  return sgm_code_path_available(SgmCodePath::kAvx2) ? SgmCodePath::kAvx2 : SgmCodePath::kVector128;
}

bool sgm_select_code_path(SgmCodePath path) {
  if (!sgm_code_path_available(path)) return false;
  current_path.store(path, std::memory_order_relaxed);
  return true;
}

SgmCodePath sgm_current_code_path() { return current_path.load(std::memory_order_relaxed); }

const SgmKernels& sgm_kernels() { return *table_of(current_path.load(std::memory_order_relaxed)); }
