// Where the runs of a run-length block are: shared by the run-length encoder
// and the stream chooser, which must cut a block exactly as the encoder does.
// Not part of the library's interface.
#ifndef ZEBRUNS_H
#define ZEBRUNS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

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

// The first k in [from, n) where a run starts: the differences
// d_i = p[i] - p[i - 1] at k, k + 1, k + 2 and k + 3 (all below n) are equal;
// n if there is none.  from >= 1, and the difference at from is not equal to
// the one before it (from is the start of a block or the end of a run), so
// that k is the start of a maximal stretch of equal differences: the place
// where the encoder, coding one difference after another, starts its run.
// Neighbours whose differences are equal modulo the element width (a
// necessary condition) are flagged 64 at a time in a loop that vectorises,
// the flags are searched for three in a row a word at a time, and only
// those places are checked exactly.
template <class T> int64_t next_run(const T *p, int64_t from, int64_t n)
{
    using U = std::make_unsigned_t<T>;
    int64_t k = from;
    while (k + kMinRun - 1 < n) {
        const int64_t m = std::min<int64_t>(n - 1 - k, 64);  // flags of k .. k + m - 1
        uint8_t f[64 + 16] = {};
        const T *q = p + k;
        for (int64_t i = 0; i < m; ++i)
            f[i] = static_cast<U>(U(q[i]) - U(q[i - 1])) == static_cast<U>(U(q[i + 1]) - U(q[i]));
        for (int64_t i = 0; i + 2 < m; i += 8) {
            uint64_t w0, w1, w2;
            std::memcpy(&w0, f + i, 8);
            std::memcpy(&w1, f + i + 1, 8);
            std::memcpy(&w2, f + i + 2, 8);
            if (w0 & w1 & w2) {
                for (int64_t x = i; x < i + 8; ++x)
                    if (f[x] & f[x + 1] & f[x + 2] && run_at(p, k + x))
                        return k + x;
            }
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
