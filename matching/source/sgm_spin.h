// One step of a busy wait: tells the processor that the thread spins, so that it spends less power and the
// sibling hardware thread or the host gets the core meanwhile.
#pragma once

inline void sgm_spin_pause() {
#if defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}
