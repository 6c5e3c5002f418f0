// Which vector instructions this processor offers, asked at run time so one
// binary runs everywhere and uses AVX2 where it exists. Safe to call from
// any constructor, static ones included. On x86 this header also brings the
// intrinsics and defines TAGCUT_X86 for the code paths that use them.
#ifndef TAGCUT_CPU_FEATURES_H_
#define TAGCUT_CPU_FEATURES_H_

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAGCUT_X86 1
#endif

namespace tagcut {

inline bool HaveAvx2() {
#ifdef TAGCUT_X86
  __builtin_cpu_init();  // needed when called before the runtime's own constructors
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

}  // namespace tagcut

#endif  // TAGCUT_CPU_FEATURES_H_
