// One step of a busy wait: tells the processor that the thread spins, so that it spends less power and the
// sibling hardware thread or the host gets the core meanwhile. And whether the calling thread may spin at all.
#pragma once

inline void sgm_spin_pause() {
#if defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// True while the calling thread has a processor that no other thread of the matcher needs: only then may it look
// for work by spinning, and otherwise it sleeps at once, so that it never holds up a thread it waits for. The pool
// sets it for its workers (pinned to a processor of their own, or not) and for the thread that runs a job.
inline bool& sgm_spin_allowed() {
  thread_local bool allowed = true;
  return allowed;
}
