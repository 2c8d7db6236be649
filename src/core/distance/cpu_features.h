// Which wider instruction sets this CPU runs, for the kernels that choose
// one at run time. Each is asked once per process. x86 only: elsewhere the
// kernels build their plain code alone and do not ask.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

namespace tavrik {

inline bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

inline bool cpu_has_avx512() {
  static const bool has = __builtin_cpu_supports("avx512f");
  return has;
}

}  // namespace tavrik

#endif
