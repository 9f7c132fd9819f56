// zebcpu.h - whether this build has the loops compiled for AVX2 beside the
// portable ones, and whether the processor can run them (internal).
#ifndef ZEB_CPU_H
#define ZEB_CPU_H

// GCC and Clang on x86-64 build the AVX2 loops (as functions with their own
// target, chosen at run time); ZEB_NO_AVX2 leaves only the portable ones, as
// the sanitizer run does.
#if (defined(__x86_64__) || defined(_M_X64)) && !defined(ZEB_NO_AVX2) && (defined(__GNUC__) || defined(__clang__))
#  define ZEB_HAVE_AVX2_PATHS 1
#  include <immintrin.h>
#endif

namespace zeb {

// Whether the processor has AVX2 (asked once).
#ifdef ZEB_HAVE_AVX2_PATHS
inline bool have_avx2() noexcept
{
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}
#else
inline bool have_avx2() noexcept { return false; }
#endif

}  // namespace zeb

#endif
