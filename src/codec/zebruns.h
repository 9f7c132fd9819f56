// Where the runs of a run-length block are: shared by the run-length encoder
// and the stream chooser, which must cut a block exactly as the encoder does.
// Not part of the library's interface.
#ifndef ZEBRUNS_H
#define ZEBRUNS_H

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

// SSE2 compares where the compiler targets x86-64, except in the build with
// only the portable loops (ZEB_NO_AVX2, the sanitizer run's).
#if defined(__SSE2__) && !defined(ZEB_NO_AVX2)
#define ZEB_RUNS_SSE2 1
#include <emmintrin.h>
#endif

namespace zeb::detail {

constexpr int64_t kMinRun = 4;        // equal differences that make a run
constexpr int64_t kMaxLiterals = 127; // codes in one literal segment

// Whether the differences at k, k + 1, k + 2 and k + 3 are equal.
template <class T> inline bool run_at(const T *p, int64_t k)
{
    const int32_t d = int32_t(p[k]) - int32_t(p[k - 1]);
    for (int64_t i = k + 1; i < k + kMinRun; ++i)
        if (int32_t(p[i]) - int32_t(p[i - 1]) != d)
            return false;
    return true;
}

// Flags of the places i in [0, m) (m <= 64) where the differences at
// p[i] and p[i + 1] are equal modulo the element width (a necessary
// condition for them to be equal): bit i, or with 16-bit elements on SSE2
// bit 2 i and 2 i + 1 (`step` bits a place).  p[-1] .. p[m] are read.
template <class T> inline uint64_t equal_flags(const T *p, int64_t m, int &step)
{
    using U = std::make_unsigned_t<T>;
    uint64_t flags = 0;
#ifdef ZEB_RUNS_SSE2
    constexpr int kLanes = 16 / sizeof(T);
    step = static_cast<int>(sizeof(T));
    int64_t i = 0;
    for (; i + kLanes <= m; i += kLanes) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i - 1));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 1));
        __m128i eq;
        if constexpr (sizeof(T) == 1)
            eq = _mm_cmpeq_epi8(_mm_sub_epi8(b, a), _mm_sub_epi8(c, b));
        else
            eq = _mm_cmpeq_epi16(_mm_sub_epi16(b, a), _mm_sub_epi16(c, b));
        flags |= uint64_t(static_cast<uint16_t>(_mm_movemask_epi8(eq))) << (i * step);
    }
    for (; i < m; ++i)
        if (static_cast<U>(U(p[i]) - U(p[i - 1])) == static_cast<U>(U(p[i + 1]) - U(p[i])))
            flags |= uint64_t((1u << step) - 1) << (i * step);
#else
    step = 1;
    for (int64_t i = 0; i < m; ++i)
        flags |= uint64_t(static_cast<U>(U(p[i]) - U(p[i - 1])) == static_cast<U>(U(p[i + 1]) - U(p[i]))) << i;
#endif
    return flags;
}

// The first k in [from, n) where a run starts: the differences
// d_i = p[i] - p[i - 1] at k, k + 1, k + 2 and k + 3 (all below n) are equal;
// n if there is none.  from >= 1, and the difference at from is not equal to
// the one before it (from is the start of a block or the end of a run), so
// that k is the start of a maximal stretch of equal differences: the place
// where the encoder, coding one difference after another, starts its run.
// Places whose neighbours' differences are equal modulo the element width
// are flagged a few dozen at a time (with SSE2, sixteen bytes at a compare),
// three flags in a row are found with two shifts, and only those places are
// checked exactly.
template <class T> int64_t next_run(const T *p, int64_t from, int64_t n)
{
    constexpr int64_t kSpan = 64 / (sizeof(T) == 1 ? 1 : 2);  // places flagged at once
    int64_t k = from;
    while (k + kMinRun - 1 < n) {
        const int64_t m = std::min<int64_t>(n - 1 - k, kSpan);  // flags of k .. k + m - 1
        int step;
        const uint64_t f = equal_flags(p + k, m, step);
        uint64_t three = f & f >> step & f >> (2 * step);
        while (three) {
            const int64_t x = std::countr_zero(three) / step;
            if (x + 2 >= m)
                break;
            if (run_at(p, k + x))
                return k + x;
            three &= ~(uint64_t((1u << step) - 1) << (x * step));
        }
        k += m - 2;  // the last two flags start the next search
    }
    return n;
}

// The end of the run that starts at k: the first e > k + 3 whose difference
// differs from the one at k, or n.
template <class T> int64_t run_end(const T *p, int64_t k, int64_t n)
{
    const int32_t d = int32_t(p[k]) - int32_t(p[k - 1]);
    int64_t e = k + kMinRun;
    while (e < n && int32_t(p[e]) - int32_t(p[e - 1]) == d)
        ++e;
    return e;
}

// Run pieces of a run of len (>= 4) equal differences: pieces of 128, and a
// remainder of 129 as 127 + 2.
inline int64_t run_pieces(int64_t len)
{
    if (len > 128 && len % 128 == 1)
        return (len - 129) / 128 + 2;
    return (len + 127) / 128;
}

}  // namespace zeb::detail

#endif
