// Bands of blocks decoded side by side, one band per vector lane.
//
// A seek index gives the offsets of evenly spaced blocks, and a block depends
// on no other, so the bands of blocks that begin at indexed offsets can be
// decoded at the same time: each of 16 lanes (two AVX2 registers of eight
// 32-bit lanes, their steps interleaved so that two chains are in flight)
// keeps the bit position and the last value of its own band.  All bands
// have the same number of blocks, so every lane reaches the end of a block,
// and so the next block's first element, at the same step.
//
// A window is the 64 bits at each lane's byte (eight plain loads: on the
// processors this is for they cost less than a gather), shifted to the
// lane's bit.  From one window each lane decodes K codes (K from the average
// code length of the row before, so that K codes nearly always fit): the low
// part, then the zeros after it counted with the float trick (the lowest 1
// bit isolated and converted to float: its exponent is its position), the
// value, and the window moved on by the code's length.  A lane whose codes
// do not all lie in its window, or that meets an escape or a count longer
// than a plain code of 32 bits, decodes that window's codes one by one with
// the scalar code below.  The values of 32 steps are transposed in registers
// and stored as each lane's consecutive elements.
//
// Anything unusual (a bad bit sequence, a code that runs past the body, a
// band that does not end exactly where the next one begins, a block that an
// entry names beginning elsewhere) makes the whole decoding give up, and the
// caller decodes the piece again with the scalar decoder, which reports it
// exactly as it always has.  So only the speed depends on the processor.
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bitreader.h"
#include "zebcpu.h"
#include "zebdecode_internal.h"


namespace zeb::detail {

namespace {

// One code at body bit q (bytes past len read as zero), with the value
// before it in v: false for a bad sequence or an escape payload that runs
// past the body, where the scalar decoder would stop.
template <int W>
[[maybe_unused]] bool one_code(const uint8_t *body, int64_t len, uint64_t &q, uint32_t &v, unsigned s) noexcept
{
    // n (up to 40) bits from bit at.
    auto bits = [body, len](uint64_t at, unsigned n) {
        const int64_t byte = int64_t(at >> 3);
        uint64_t x = 0;
        for (int t = 0; t < 6; ++t)
            if (byte + t < len)
                x |= uint64_t(body[byte + t]) << (8 * t);
        return (x >> (at & 7)) & ((uint64_t(1) << n) - 1);
    };
    const uint64_t low = bits(q, s);
    q += s;
    // The zeros are looked for in the rest of the byte and four more.
    const uint64_t window = bits(q, 40 - unsigned(q & 7));
    if (window == 0)
        return false;
    const unsigned z = unsigned(std::countr_zero(window));
    q += z + 1;
    if (z == 31) {
        constexpr unsigned e = W + 1;
        if (q + e > 8 * uint64_t(len))
            return false;
        v += uint32_t(bits(q, e));
        q += e;
    } else {
        v += uint32_t((unfold(z) << s) + low);
    }
    return true;
}

// -1: as the environment says; 0 or 1: as set_decode_lanes said.
std::atomic<int> lanes_setting{-1};

bool lanes_wanted()
{
    static const bool from_environment = [] {
        const char *env = std::getenv("ZEB_DECODE_LANES");
        return !(env && env[0] == '0' && env[1] == '\0');
    }();
    const int set = lanes_setting.load(std::memory_order_relaxed);
    return set < 0 ? from_environment : set != 0;
}

#ifdef ZEB_HAVE_AVX2_PATHS

#  define ZEB_AVX2 __attribute__((target("avx2")))
// Builds with AddressSanitizer, whose instrumentation of the unrolled and
// inlined steps below would take the compiler minutes, keep them rolled up
// and out of line.
#  if defined(__SANITIZE_ADDRESS__)
#    define ZEB_LANES_ASAN 1
#  elif defined(__has_feature)
#    if __has_feature(address_sanitizer)
#      define ZEB_LANES_ASAN 1
#    endif
#  endif
// The steps of a window are written as loops over codes and groups; they
// must be unrolled whatever the optimisation level, so that the groups'
// registers are registers.
#  if defined(ZEB_LANES_ASAN)
#    define ZEB_UNROLL
#  elif defined(__clang__)
#    define ZEB_UNROLL _Pragma("clang loop unroll(full)")
#  else
#    define ZEB_UNROLL _Pragma("GCC unroll 16")
#  endif
#  define ZEB_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline
#  ifdef ZEB_LANES_ASAN
#    define ZEB_AVX2_STEPS __attribute__((target("avx2"), noinline))
#  else
#    define ZEB_AVX2_STEPS ZEB_AVX2_INLINE
#  endif

// Lane i of each of r[0..8) into c[i]: an 8 x 8 transpose of 32-bit values.
ZEB_AVX2_INLINE void transpose8(const __m256i *r, __m256i *c)
{
    __m256i t[8], u[8];
    ZEB_UNROLL for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
    }
    ZEB_UNROLL for (int i = 0; i < 2; ++i) {
        u[4 * i + 0] = _mm256_unpacklo_epi64(t[4 * i], t[4 * i + 2]);
        u[4 * i + 1] = _mm256_unpackhi_epi64(t[4 * i], t[4 * i + 2]);
        u[4 * i + 2] = _mm256_unpacklo_epi64(t[4 * i + 1], t[4 * i + 3]);
        u[4 * i + 3] = _mm256_unpackhi_epi64(t[4 * i + 1], t[4 * i + 3]);
    }
    ZEB_UNROLL for (int i = 0; i < 4; ++i) {
        c[i] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x20);
        c[i + 4] = _mm256_permute2x128_si256(u[i], u[i + 4], 0x31);
    }
}

// Eight values (the low W bits of each 32-bit lane of x) to out.
template <int W, class E>
ZEB_AVX2_INLINE void store8(E *out, __m256i x)
{
    if constexpr (W == 32) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), x);
    } else if constexpr (W == 16) {
        const __m256i pick = _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 4, 5,
                                              8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
        x = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(x, pick), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm256_castsi256_si128(x));
    } else {
        const __m256i pick = _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8,
                                              12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
        x = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(x, pick), _mm256_setr_epi32(0, 4, 1, 1, 1, 1, 1, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm256_castsi256_si128(x));
    }
}

constexpr int kGroups = 2;  // registers of eight lanes
constexpr int kSteps = 32;  // steps kept before they are stored
static_assert(kGroups * 8 == kLanes && kGroups == 2);

// Bit positions of entry i of the bands of lanes 8g .. 8g + 7.
ZEB_AVX2_INLINE __m256i entry_bits(const Bands &job, int64_t m, int g, int64_t i)
{
    alignas(32) int32_t a[8];
    for (int l = 0; l < 8; ++l)
        a[l] = int32_t(8 * job.starts[(8 * g + l) * m + i]);
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(a));
}

// Bit positions raised to the next byte boundary.
ZEB_AVX2_INLINE __m256i aligned(__m256i x)
{
    const __m256i seven = _mm256_set1_epi32(7);
    return _mm256_andnot_si256(seven, _mm256_add_epi32(x, seven));
}

// The lanes of a window that could not take the vector steps (bits clear
// in ok), code by code from q0 and p0: their values go to tmp[t .. t + n)
// and their positions and last values into q and p.
template <int W>
ZEB_AVX2 ZEB_NOINLINE bool slow_lanes(const Bands &job, unsigned s, int ok, int n, __m256i q0, __m256i p0,
                                      __m256i &q, __m256i &p, uint32_t (*tmp)[8], int t)
{
    alignas(32) uint32_t qa[8], pa[8], qo[8], po[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(qa), q);
    _mm256_store_si256(reinterpret_cast<__m256i *>(pa), p);
    _mm256_store_si256(reinterpret_cast<__m256i *>(qo), q0);
    _mm256_store_si256(reinterpret_cast<__m256i *>(po), p0);
    for (int l = 0; l < 8; ++l) {
        if (ok >> l & 1)
            continue;
        uint64_t qq = qo[l];
        uint32_t vv = po[l];
        for (int k = 0; k < n; ++k) {
            if (!one_code<W>(job.body, job.len, qq, vv, s))
                return false;
            tmp[t + k][l] = vv;
        }
        qa[l] = uint32_t(qq);
        pa[l] = vv;
    }
    q = _mm256_load_si256(reinterpret_cast<const __m256i *>(qa));
    p = _mm256_load_si256(reinterpret_cast<const __m256i *>(pa));
    return true;
}

// Elements j0 .. j0 + n - 1 of row r of each band, from the values of n
// steps in tmp (tmp[g][t][l]: group g, step t, lane l), eight steps at a
// time transposed in registers.  (The bands' rows lie a multiple of a page
// apart, so they share cache sets: they are written a whole cache line of
// steps at a time.)
template <int W, class E>
ZEB_AVX2_INLINE void flush(E *out, int64_t rows, int64_t bs, int64_t r, int64_t j0, int n,
                           const uint32_t (*tmp)[kSteps + 8][8])
{
    ZEB_UNROLL for (int g = 0; g < kGroups; ++g) {
        int i0 = 0;
        for (; i0 + 8 <= n; i0 += 8) {
            if constexpr (W == 16) {
                // Steps paired in 32-bit lanes (the first in the low half),
                // then pairs of pairs, then the four: lane l's eight values
                // end up in the low half of one register, lane l + 4's in
                // the high half.
                __m256i pair[4];
                ZEB_UNROLL for (int i = 0; i < 4; ++i) {
                    const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i *>(tmp[g][i0 + 2 * i]));
                    const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i *>(tmp[g][i0 + 2 * i + 1]));
                    pair[i] = _mm256_blend_epi16(a, _mm256_slli_epi32(b, 16), 0xaa);
                }
                const __m256i q01 = _mm256_unpacklo_epi32(pair[0], pair[1]), q23 = _mm256_unpacklo_epi32(pair[2], pair[3]);
                const __m256i h01 = _mm256_unpackhi_epi32(pair[0], pair[1]), h23 = _mm256_unpackhi_epi32(pair[2], pair[3]);
                const __m256i lanes[4] = {_mm256_unpacklo_epi64(q01, q23), _mm256_unpackhi_epi64(q01, q23),
                                          _mm256_unpacklo_epi64(h01, h23), _mm256_unpackhi_epi64(h01, h23)};
                ZEB_UNROLL for (int l = 0; l < 4; ++l) {
                    E *const at = out + ((8 * g + l) * rows + r) * bs + j0 + i0;
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(at), _mm256_castsi256_si128(lanes[l]));
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(at + 4 * rows * bs),
                                     _mm256_extracti128_si256(lanes[l], 1));
                }
                continue;
            }
            __m256i rr[8], c[8];
            ZEB_UNROLL for (int i = 0; i < 8; ++i)
                rr[i] = _mm256_load_si256(reinterpret_cast<const __m256i *>(tmp[g][i0 + i]));
            transpose8(rr, c);
            ZEB_UNROLL for (int l = 0; l < 8; ++l)
                store8<W>(out + ((8 * g + l) * rows + r) * bs + j0 + i0, c[l]);
        }
        const int rest = n - i0;
        for (int l = 0; l < 8; ++l)
            for (int i = 0; i < rest; ++i)
                out[((8 * g + l) * rows + r) * bs + j0 + i0 + i] = E(tmp[g][i0 + i][l]);
    }
}

// What a window's steps need, fixed for the run.
struct Consts {
    __m256i zero, seven, one, c126, c127, maskv, c32, lenbias, lenbias32, lmax, lim8v, lim8v1;
    __m128i scount, s32count;
};

// N codes of each lane of every group from one 64-bit window a lane (the
// groups' steps interleaved, so that their chains overlap): the values go
// to tmp[g][t .. t + N) and q, p move on.  A lane whose codes do not all lie
// in its window (after the bits before its position), or are not all plain
// codes of at most 32 bits, takes the window one code at a time.
template <int W, int N>
ZEB_AVX2_STEPS bool window(const Bands &job, const Consts &c, unsigned s, __m256i *q, __m256i *p,
                            uint32_t (*tmp)[kSteps + 8][8], int t)
{
    constexpr int G = kGroups;
    __m256i q0[G], p0[G], low[G], lo[G], hi[G], used[G], zmax[G], inside[G];
    ZEB_UNROLL for (int g = 0; g < G; ++g) {
        q0[g] = q[g];
        p0[g] = p[g];
        __m256i byte = _mm256_srli_epi32(q0[g], 3);
        inside[g] = _mm256_cmpgt_epi32(c.lim8v1, byte);
        byte = _mm256_min_epu32(byte, c.lim8v);
        alignas(32) uint32_t at[8];
        _mm256_store_si256(reinterpret_cast<__m256i *>(at), byte);
        uint64_t w[8];
        ZEB_UNROLL for (int l = 0; l < 8; ++l)
            std::memcpy(&w[l], job.body + at[l], 8);
        const __m256i g0 = _mm256_set_epi64x(int64_t(w[3]), int64_t(w[2]), int64_t(w[1]), int64_t(w[0]));
        const __m256i g1 = _mm256_set_epi64x(int64_t(w[7]), int64_t(w[6]), int64_t(w[5]), int64_t(w[4]));
        // The low and high halves of the eight windows, in lane order.
        __m256i l = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(g0), _mm256_castsi256_ps(g1), 0x88));
        __m256i h = _mm256_castps_si256(_mm256_shuffle_ps(_mm256_castsi256_ps(g0), _mm256_castsi256_ps(g1), 0xdd));
        l = _mm256_permute4x64_epi64(l, 0xd8);
        h = _mm256_permute4x64_epi64(h, 0xd8);
        // The window from the lane's bit: its first s bits are the low part
        // of the first code (low), the rest from there on (lo, hi).
        const __m256i sh = _mm256_and_si256(q0[g], c.seven);
        l = _mm256_or_si256(_mm256_srlv_epi32(l, sh), _mm256_sllv_epi32(h, _mm256_sub_epi32(c.c32, sh)));
        h = _mm256_srlv_epi32(h, sh);
        low[g] = _mm256_and_si256(l, c.maskv);
        lo[g] = _mm256_or_si256(_mm256_srl_epi32(l, c.scount), _mm256_sll_epi32(h, c.s32count));
        hi[g] = _mm256_srl_epi32(h, c.scount);
        used[g] = c.zero;
        zmax[g] = c.zero;
    }
    ZEB_UNROLL for (int k = 0; k < N; ++k) {
        ZEB_UNROLL for (int g = 0; g < G; ++g) {
            const __m256i rest = lo[g];
            const __m256i lowest = _mm256_and_si256(rest, _mm256_sub_epi32(c.zero, rest));
            // The exponent of the lowest 1 bit as a float is 127 + its
            // position; a rest without a 1 bit gives 0 (so z wraps to a
            // count above any plain code's).
            const __m256i e = _mm256_srli_epi32(_mm256_castps_si256(_mm256_cvtepi32_ps(lowest)), 23);
            const __m256i z = _mm256_sub_epi32(e, c.c127);
            zmax[g] = _mm256_max_epu32(zmax[g], z);
            const __m256i h =
                _mm256_xor_si256(_mm256_srli_epi32(z, 1), _mm256_sub_epi32(c.zero, _mm256_and_si256(z, c.one)));
            p[g] = _mm256_add_epi32(p[g], _mm256_add_epi32(_mm256_sll_epi32(h, c.scount), low[g]));
            _mm256_store_si256(reinterpret_cast<__m256i *>(tmp[g][t + k]), p[g]);
            // The code's length s + z + 1 from e; the next code's low part
            // is the s bits of the rest after its 1 bit (in the low half,
            // for a code of at most 32 bits), and its rest begins s bits on.
            const __m256i len = _mm256_sub_epi32(e, c.lenbias);
            used[g] = _mm256_add_epi32(used[g], len);
            if (k + 1 < N) {
                low[g] = _mm256_and_si256(_mm256_srlv_epi32(rest, _mm256_sub_epi32(e, c.c126)), c.maskv);
                lo[g] = _mm256_or_si256(_mm256_srlv_epi32(rest, len),
                                        _mm256_sllv_epi32(hi[g], _mm256_sub_epi32(c.lenbias32, e)));
                hi[g] = _mm256_srlv_epi32(hi[g], len);
            }
        }
    }
    ZEB_UNROLL for (int g = 0; g < G; ++g) {
        q[g] = _mm256_add_epi32(q0[g], used[g]);
        const __m256i ok =
            _mm256_and_si256(inside[g], _mm256_cmpeq_epi32(_mm256_min_epu32(zmax[g], c.lmax), zmax[g]));
        const int okbits = _mm256_movemask_ps(_mm256_castsi256_ps(ok));
        if (ZEB_UNLIKELY(okbits != 0xff) && !slow_lanes<W>(job, s, okbits, N, q0[g], p0[g], q[g], p[g], tmp[g], t))
            return false;
    }
    return true;
}

// The codes of row r of every band (its first element already stored), K
// a window, stored kSteps at a time.
template <int W, int K, class E>
ZEB_AVX2_STEPS bool row_codes(const Bands &job, const Consts &c, unsigned s, __m256i *q, __m256i *p,
                               uint32_t (*tmp)[kSteps + 8][8], E *out, int64_t r)
{
    constexpr int G = kGroups;
    const int64_t bs = job.block_size, rows = job.band_blocks;
    int t = 0;
    int64_t j = 1, j0 = 1;  // the next code, the element tmp[.][0] holds
    for (; j + K <= bs; j += K) {
        if (!window<W, K>(job, c, s, q, p, tmp, t))
            return false;
        if ((t += K) >= kSteps) {
            flush<W>(out, rows, bs, r, j0, kSteps, tmp);
            for (int g = 0; g < G; ++g)
                for (int i = kSteps; i < t; ++i)
                    std::memcpy(tmp[g][i - kSteps], tmp[g][i], sizeof tmp[g][i]);
            t -= kSteps;
            j0 += kSteps;
        }
    }
    for (; j < bs; ++j) {
        if (!window<W, 1>(job, c, s, q, p, tmp, t))
            return false;
        if (++t == kSteps) {
            flush<W>(out, rows, bs, r, j0, kSteps, tmp);
            t = 0;
            j0 += kSteps;
        }
    }
    if (t > 0)
        flush<W>(out, rows, bs, r, j0, t, tmp);
    return true;
}

// Codes a window for codes of b bits on average (given in tenths of a bit):
// as many as leave a few bits of the 57 a window holds at least to spare.
inline int codes_a_window(int64_t tenths)
{
    const int64_t k = 520 / (tenths > 0 ? tenths : 1);
    return k >= 8 ? 8 : k >= 6 ? 6 : k >= 4 ? 4 : k >= 2 ? 2 : 1;
}

template <int W>
ZEB_AVX2 bool decode_bands_avx2(const Bands &job)
{
    using E = std::conditional_t<W == 8, uint8_t, std::conditional_t<W == 16, int16_t, int32_t>>;
    constexpr int G = kGroups;
    const unsigned s = unsigned(job.slice);
    const int64_t bs = job.block_size;
    const int64_t rows = job.band_blocks;
    const int64_t m = rows / job.every;  // entries a band
    E *const out = static_cast<E *>(job.out);

    Consts c;
    c.zero = _mm256_setzero_si256();
    c.seven = _mm256_set1_epi32(7);
    c.one = _mm256_set1_epi32(1);
    c.c126 = _mm256_set1_epi32(126);
    c.c127 = _mm256_set1_epi32(127);
    c.maskv = _mm256_set1_epi32(int32_t((uint32_t(1) << s) - 1));
    // e = 127 + z: the code's length s + z + 1 is e - lenbias, and 32 less
    // it lenbias32 - e.
    c.lenbias = _mm256_set1_epi32(int32_t(126 - s));
    c.lenbias32 = _mm256_set1_epi32(int32_t(158 - s));
    c.c32 = _mm256_set1_epi32(32);
    // Plain codes of at most 32 bits: the window moves on by at most 32.
    c.lmax = _mm256_set1_epi32(int32_t(s == 0 ? 30 : 31 - s));
    c.lim8v = _mm256_set1_epi32(int32_t(job.len - 8));
    c.lim8v1 = _mm256_set1_epi32(int32_t(job.len - 7));
    c.scount = _mm_cvtsi32_si128(int(s));
    c.s32count = _mm_cvtsi32_si128(int(32 - s));
    const __m256i wv = _mm256_set1_epi32(W);
    const __m256i wmask = _mm256_set1_epi32(W == 32 ? -1 : int32_t((uint32_t(1) << W) - 1));
    // Loads of 32 bits from bytes up to lim stay in the body.
    const __m256i limv = _mm256_set1_epi32(int32_t(job.len - 4));
    const auto *gbase = reinterpret_cast<const int *>(job.body);

    __m256i q[G], p[G];
    for (int g = 0; g < G; ++g) {
        q[g] = entry_bits(job, m, g, 0);
        p[g] = c.zero;
    }
    alignas(32) uint32_t tmp[G][kSteps + 8][8];
    // Codes a window, from the code lengths of the row before (at first a
    // guess from the slice).
    int k = codes_a_window(10 * int64_t(s) + 25);

    for (int64_t r = 0; r < rows; ++r) {
        // The block's first element, at the next byte boundary.
        for (int g = 0; g < G; ++g) {
            if (r > 0) {
                q[g] = aligned(q[g]);
                if (r % job.every == 0 &&
                    _mm256_movemask_epi8(_mm256_cmpeq_epi32(q[g], entry_bits(job, m, g, r / job.every))) != -1)
                    return false;
            }
            const __m256i byte = _mm256_srli_epi32(q[g], 3);
            if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(byte, limv)) != 0)
                return false;
            p[g] = _mm256_and_si256(_mm256_i32gather_epi32(gbase, byte, 1), wmask);
            q[g] = _mm256_add_epi32(q[g], wv);
            alignas(32) uint32_t first[8];
            _mm256_store_si256(reinterpret_cast<__m256i *>(first), p[g]);
            for (int l = 0; l < 8; ++l)
                out[((8 * g + l) * rows + r) * bs] = E(first[l]);
        }
        const __m256i qstart = _mm256_add_epi32(q[0], q[1]);
        bool ok;
        switch (k) {
        case 8: ok = row_codes<W, 8>(job, c, s, q, p, tmp, out, r); break;
        case 6: ok = row_codes<W, 6>(job, c, s, q, p, tmp, out, r); break;
        case 4: ok = row_codes<W, 4>(job, c, s, q, p, tmp, out, r); break;
        case 2: ok = row_codes<W, 2>(job, c, s, q, p, tmp, out, r); break;
        default: ok = row_codes<W, 1>(job, c, s, q, p, tmp, out, r); break;
        }
        if (!ok)
            return false;
        if (bs > 1) {
            // The row's bits in all lanes (below 2^32: bands lie in 2^28 bytes).
            alignas(32) uint32_t d[8];
            _mm256_store_si256(reinterpret_cast<__m256i *>(d),
                               _mm256_sub_epi32(_mm256_add_epi32(q[0], q[1]), qstart));
            uint64_t bits = 0;
            for (uint32_t x : d)
                bits += x;
            k = codes_a_window(int64_t(10 * bits / uint64_t(kLanes * (bs - 1))));
        }
    }
    // Each band ends where the next begins (the last where the caller says).
    for (int g = 0; g < G; ++g)
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(aligned(q[g]), entry_bits(job, m, g, m))) != -1)
            return false;
    return true;
}

#endif  // ZEB_HAVE_AVX2_PATHS

}  // namespace

void set_decode_lanes(bool on) { lanes_setting.store(on ? 1 : 0, std::memory_order_relaxed); }

bool bands_available(int32_t compression_type, int32_t slice)
{
#ifdef ZEB_HAVE_AVX2_PATHS
    const bool plain = compression_type == ZEB_CT_CRUNCH8 || compression_type == ZEB_CT_CRUNCH16 ||
                       compression_type == ZEB_CT_CRUNCH32;
    return plain && slice >= 0 && slice <= 20 && have_avx2() && lanes_wanted();
#else
    (void)compression_type;
    (void)slice;
    (void)lanes_wanted;
    return false;
#endif
}

bool decode_bands(int32_t compression_type, const Bands &job)
{
    // Bit positions in 32-bit lanes, and loads of 4 bytes inside the body.
    if (job.len < 8 || job.len > (int64_t(1) << 28) || job.every < 1 || job.band_blocks < job.every ||
        job.band_blocks % job.every != 0 || job.block_size < 1 || !bands_available(compression_type, job.slice))
        return false;
#ifdef ZEB_HAVE_AVX2_PATHS
    switch (compression_type) {
    case ZEB_CT_CRUNCH8: return decode_bands_avx2<8>(job);
    case ZEB_CT_CRUNCH16: return decode_bands_avx2<16>(job);
    default: return decode_bands_avx2<32>(job);
    }
#else
    return false;
#endif
}

}  // namespace zeb::detail
