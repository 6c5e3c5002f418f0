// Which vector instructions this processor offers, asked at run time so one
// binary runs everywhere and uses AVX2 where it exists. Safe to call from
// any constructor, static ones included.
#ifndef TAGCUT_CPU_FEATURES_H_
#define TAGCUT_CPU_FEATURES_H_

namespace tagcut {

inline bool HaveAvx2() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();  // needed when called before the runtime's own constructors
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

}  // namespace tagcut

#endif  // TAGCUT_CPU_FEATURES_H_
