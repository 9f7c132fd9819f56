// bitreader.h - the two bit readers behind the crunch decoders (internal).
//
// Both readers decode one difference code at a time and give the decoders
// the same results; they differ only in how they fetch bytes:
//
//  - BoundedBits keeps the bits in a 64-bit register that is refilled without
//    branches from 8-byte loads while at least 8 body bytes remain, and byte
//    by byte near the end, where bytes past the body read as zero.  It never
//    touches memory outside [body, body + len).  Its plain_groups decodes
//    runs of plain codes several to a refill, and hands anything else (an
//    escape, a bad sequence, the end of the body) to code().
//
//  - ExactBits fetches exactly the whole bytes that the step-by-step
//    procedure fetches (low part, zero count byte by byte, escape payload) and
//    nothing else.  It has no length; it serves the unchecked entry points, so
//    that they read no further than their callers have always allowed for.
//
// A code is: `slice` low bits; a run of z zero bits closed by a 1 bit, looked
// for in the rest of the current byte and at most four more bytes (so at most
// 39 - k zeros, k the bit position in the byte); then either h = z / 2 (z
// even) or h = -(z + 1) / 2 (z odd), or, for exactly 31 zeros, an escape
// payload of W + 1 bits that replaces the difference.
#ifndef ZEB_BITREADER_H
#define ZEB_BITREADER_H

#include <bit>
#include <cstdint>
#include <cstring>

#include "byteswap.h"
#include "zebcommon.h"

#if defined(__GNUC__) || defined(__clang__)
#  define ZEB_LIKELY(x) __builtin_expect(!!(x), 1)
#  define ZEB_UNLIKELY(x) __builtin_expect(!!(x), 0)
#  define ZEB_INLINE inline __attribute__((always_inline))
#  define ZEB_NOINLINE __attribute__((noinline))
#else
#  define ZEB_LIKELY(x) (x)
#  define ZEB_UNLIKELY(x) (x)
#  define ZEB_INLINE inline
#  define ZEB_NOINLINE
#endif

// Keeps GCC from packing a group's element stores into one wide store built
// with shifts (its straight-line vectorizer does that), which costs more
// instructions and registers than it saves.
#if defined(__GNUC__) && !defined(__clang__)
#  define ZEB_NO_STORE_PACKING __attribute__((optimize("no-tree-slp-vectorize")))
#else
#  define ZEB_NO_STORE_PACKING
#endif

namespace zeb {

// Eight bytes as a little-endian integer, whatever the host.
ZEB_INLINE uint64_t load64le(const uint8_t *p) noexcept
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = zeb::byteswap(v);
    return v;
}

// n (0 to 8) bytes as a little-endian integer.
ZEB_INLINE uint64_t loadle(const uint8_t *p, int n) noexcept
{
    uint64_t v = 0;
    for (int t = 0; t < n; ++t)
        v |= uint64_t(p[t]) << (8 * t);
    return v;
}

// Fixed parameters of a decoding run, shared by both readers.
struct CodeParams {
    int slice;          // 0 .. 17 (8/16-bit) or 0 .. 32 (32-bit), checked by the caller
    uint64_t mask;      // 2^slice - 1
    int esc_bits;       // W + 1
    uint64_t esc_mask;  // 2^esc_bits - 1

    CodeParams(int slice_, int width_bits) noexcept
        : slice(slice_), mask((uint64_t(1) << slice_) - 1), esc_bits(width_bits + 1),
          esc_mask((uint64_t(1) << (width_bits + 1)) - 1)
    {
    }
};

// The high part of a plain code from its zero count: 0, 1, 2, 3 ... give
// 0, -1, 1, -2 ...; counts above 31 follow the same rule (32 -> 16, 33 -> -17).
ZEB_INLINE uint64_t unfold(unsigned z) noexcept
{
    return uint64_t(z >> 1) ^ (uint64_t(0) - (z & 1));
}

// The hot loop of the bounded reader is compiled twice on x86: for any
// processor, and with BMI1/BMI2 (a count of trailing zeros without a test
// for zero, shifts by any register), which is used where the processor has
// them.
// (Building with -DZEB_HAVE_BMI2_PATH=0 leaves only the portable loop.)
#if !defined(ZEB_HAVE_BMI2_PATH) && (defined(__x86_64__) || defined(__i386__)) && \
    (defined(__GNUC__) || defined(__clang__))
#  define ZEB_HAVE_BMI2_PATH 1
// Whether the processor has BMI1 and BMI2 (asked once).
inline bool have_bmi2() noexcept
{
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    }();
    return yes;
}
#else
#  ifndef ZEB_HAVE_BMI2_PATH
#    define ZEB_HAVE_BMI2_PATH 0
#  endif
inline bool have_bmi2() noexcept { return false; }
#endif

class BoundedBits {
public:
    BoundedBits(const uint8_t *body, int64_t len, const CodeParams &cp) noexcept
        : base_(body), len_(len), s_(unsigned(cp.slice)), mask_(cp.mask), esc_bits_(unsigned(cp.esc_bits)),
          esc_mask_(cp.esc_mask)
    {
        for (unsigned z = 0; z <= 64; ++z) {
            tab_[z] = z <= 30 ? unfold(z) << s_ : uint64_t(1) << 50;
            tab_[65 + z] = (z + 1) | (uint64_t(s_) << 8);
        }
    }

    static constexpr bool bounded = true;

    // Whole bytes [at, at + n) as a little-endian integer; false when they do
    // not all lie in the body.
    ZEB_INLINE bool whole(int64_t at, int n, uint64_t &v) const noexcept
    {
        if (at > len_ - n)
            return false;
        v = loadle(base_ + at, n);
        return true;
    }

    // Starts reading codes at bit 0 of body byte `at` (which may lie past the
    // body: everything there reads as zero).
    ZEB_INLINE void start(int64_t at) noexcept
    {
        next_ = at;
        buf_ = 0;
        cnt_ = 0;
    }

    // The body bit index of the next unread bit.
    ZEB_INLINE int64_t bitpos() const noexcept { return 8 * next_ - int64_t(cnt_); }

    ZEB_INLINE int slice() const noexcept { return int(s_); }

    // Decodes one code; v holds the element before and receives the new one
    // (only its low W bits are meaningful).  On failure returns false with
    // fail_status and fail_bit set.
    template <int W>
    ZEB_INLINE bool code(uint64_t &v) noexcept
    {
        refill();
        const uint64_t low = buf_ & mask_;
        buf_ >>= s_;
        cnt_ -= s_;
        // The zero-count window (rest of the byte plus four bytes) must lie in
        // the buffer: cnt + k is a multiple of 8, so cnt >= 33 means the
        // buffer reaches at least 40 - k bits ahead.  After a refill (>= 56
        // bits) that holds for any slice up to 23.
        if constexpr (W == 32) {
            if (cnt_ < 33)
                refill();
        }
        const unsigned k = (0u - cnt_) & 7u;
        // Bit 63 stops the count where the buffer holds no 1 at all; the
        // window is at most 40 bits, so it only ever marks a bad sequence.
        const unsigned z = unsigned(std::countr_zero(buf_ | (uint64_t(1) << 63)));
        if (ZEB_UNLIKELY(z + k > 39))
            return no_one_bit();
        buf_ >>= z + 1;
        cnt_ -= z + 1;
        if (ZEB_UNLIKELY(z == 31))
            return escape(v, z);
        v += (unfold(z) << s_) + low;
        return true;
    }

    // Decodes codes j, j + 1, ... of a block into out[j .. bs) in groups of
    // N codes per refill, as long as each group is N plain codes (at most 30
    // zeros) whose bits lie in the buffer, and at least 8 body bytes remain
    // to refill from.  Returns the index of the first code not decoded; the
    // caller decodes that one with code(), which tells escapes, bad
    // sequences and the end of the body, and then comes back here.
    template <int N, class E>
    ZEB_INLINE int64_t plain_groups(uint64_t &v, E *out, int64_t j, int64_t bs) noexcept
    {
#if ZEB_HAVE_BMI2_PATH
        if (bmi2_)
            return plain_groups_bmi2<N>(v, out, j, bs);
#endif
        return plain_groups_generic<N>(v, out, j, bs);
    }

    int32_t fail_status = ZEB_OK;
    int64_t fail_bit = 0;  // where the zero count of the failing code began

private:
    // The loop of plain_groups.  Per code, one count of trailing zeros and
    // one shift lie on the dependency chain: c holds the bits that follow
    // the code's low part, so its trailing zeros are the code's zero count z,
    // and shifting by s + 1 + z in two steps (one of them off the chain)
    // gives the same for the next code, whose low part is the s bits of c
    // from bit z + 1 on (one bextr with BMI1, its control from tab_[65 + z]).
    // A group's codes come from one refill: k counts the bits of the buffer
    // that belong to the body, less what the codes took, and is below 0 when
    // a code reached past them (the count of a c that ran out of bits is 64,
    // which such a code gives too).  tab_[z] is the code's high part times
    // 2^slice; for a count that is not a plain code's (an escape, or more
    // zeros than a plain code has) it is 2^50, far above the sum of N plain
    // differences (each below 17 * 2^32 in size), so that one test of the
    // group's sum finds it.
    //
    // The group's values are stored as they are decoded; the elements they
    // replace are saved first and put back when the group fails, so that
    // out[j ..) is as it was for the caller's one-by-one decoding, and the
    // buffer stays as it was before the group's refill.  All state is in
    // locals so that it stays in registers; the refill's load does not
    // depend on the codes of its group, so it is off the critical path.
    template <int N, bool BMI, class E>
    ZEB_INLINE int64_t plain_groups_loop(uint64_t &v, E *out, int64_t j, int64_t bs) noexcept
    {
        const uint64_t *const tab = tab_;
        const uint64_t mask = mask_;
        const unsigned s = s_;
        const unsigned s1 = s_ + 1;
        unsigned cnt = cnt_;
        const uint8_t *p = base_ + next_;
        uint64_t y = v;
        E *o = out + j;
        // The buffer as c, its bits past the low part of the next code, and
        // low, that low part: so the low part that the last code of a group
        // finds is not on the way to the next group's first count.
        uint64_t c = buf_ >> s;
        uint64_t low = buf_ & mask;
        for (;;) {
            // Groups that can run without looking at the end of the block or
            // of the body: a refill advances by at most 7 bytes.
            const int64_t room = len_ - 8 - (p - base_);
            int64_t g = (bs - (o - out)) / N;
            if (room < 0 || g <= 0)
                break;
            g = g < room / 7 + 1 ? g : room / 7 + 1;
            E *const oend = o + g * N;
            do {
                // Refill: the new bytes go in above the cnt bits left over.
                const uint64_t w = load64le(p) << cnt;
                uint64_t cc = c | (w >> s);
                uint64_t lo = low | (w & mask);
                int k = int(cnt | 56) - N * int(s1);
                Saved<N * sizeof(E)> saved;
                saved.load(o);
                const uint64_t y0 = y;
                for (int t = 0; t < N; ++t) {
                    const unsigned z = unsigned(std::countr_zero(cc));
                    y += tab[z] + lo;
                    if constexpr (BMI)
                        lo = bextr(cc, tab[65 + z]);
                    else
                        lo = ((cc >> 1) >> (z & 63)) & mask;
                    cc = (cc >> s1) >> (z & 63);
                    k -= int(z);
                    o[t] = E(y);
                }
                if (ZEB_UNLIKELY((k < 0) | (((y - y0 + (uint64_t(1) << 45)) >> 49) != 0))) {
                    saved.store(o);
                    y = uint64_t(o[-1]);  // only the low W bits matter
                    goto done;            // the buffer as before the refill
                }
                c = cc;
                low = lo;
                p += (63 - cnt) >> 3;
                cnt = unsigned(k);
                o += N;
            } while (o != oend);
        }
    done:
        buf_ = (c << s) | low;
        cnt_ = cnt;
        next_ = p - base_;
        v = y;
        return o - out;
    }

    // The bytes of a group's elements (at most 16), kept aside.
    template <size_t n>
    struct Saved {
        uint64_t a = 0, b = 0;
        static_assert(n <= 16);
        ZEB_INLINE void load(const void *at) noexcept
        {
            std::memcpy(&a, at, n < 8 ? n : 8);
            if constexpr (n > 8)
                std::memcpy(&b, static_cast<const uint8_t *>(at) + 8, n - 8);
        }
        ZEB_INLINE void store(void *at) const noexcept
        {
            std::memcpy(at, &a, n < 8 ? n : 8);
            if constexpr (n > 8)
                std::memcpy(static_cast<uint8_t *>(at) + 8, &b, n - 8);
        }
    };

    template <int N, class E>
    ZEB_NOINLINE ZEB_NO_STORE_PACKING int64_t plain_groups_generic(uint64_t &v, E *out, int64_t j,
                                                                   int64_t bs) noexcept
    {
        return plain_groups_loop<N, false>(v, out, j, bs);
    }

#if ZEB_HAVE_BMI2_PATH
    // Bits (ctl & 255) .. (ctl & 255) + (ctl >> 8) - 1 of x; 0 from a start of 64 on.
    __attribute__((target("bmi"))) static inline uint64_t bextr(uint64_t x, uint64_t ctl) noexcept
    {
        return __builtin_ia32_bextr_u64(x, ctl);
    }

    template <int N, class E>
    __attribute__((target("bmi,bmi2"))) ZEB_NOINLINE ZEB_NO_STORE_PACKING int64_t
    plain_groups_bmi2(uint64_t &v, E *out, int64_t j, int64_t bs) noexcept
    {
        return plain_groups_loop<N, true>(v, out, j, bs);
    }
#else
    static ZEB_INLINE uint64_t bextr(uint64_t, uint64_t) noexcept { return 0; }  // not used
#endif

    ZEB_INLINE void refill() noexcept
    {
        if (ZEB_LIKELY(len_ - next_ >= 8))
            buf_ |= load64le(base_ + next_) << cnt_;
        else
            buf_ |= tail_word(base_, len_, next_) << cnt_;
        next_ += (63 - cnt_) >> 3;
        cnt_ |= 56;
    }

    // The eight bytes from `next`, those past the body as zero.  (Slow paths
    // take values, not the reader, so that its state can live in registers.)
    ZEB_NOINLINE static uint64_t tail_word(const uint8_t *base, int64_t len, int64_t next) noexcept
    {
        const int64_t avail = len - next;
        if (avail <= 0)
            return 0;
        return loadle(base + next, int(avail < 8 ? avail : 8));
    }

    // No 1 bit in the window.  Where the window reaches past the body, the
    // bits that would decide are missing: that is the end of the body, not a
    // bad sequence.
    ZEB_INLINE bool no_one_bit() noexcept
    {
        fail_bit = bitpos();
        fail_status = (fail_bit >> 3) + 5 > len_ ? ZEB_E_BODY_END : ZEB_E_BAD_BITS;
        return false;
    }

    ZEB_INLINE bool escape(uint64_t &v, unsigned z) noexcept
    {
        const int64_t zero_start = bitpos() - int64_t(z) - 1;
        refill();
        const uint64_t payload = buf_ & esc_mask_;
        buf_ >>= esc_bits_;
        cnt_ -= esc_bits_;
        if (ZEB_UNLIKELY(bitpos() > 8 * len_)) {
            fail_bit = zero_start;
            fail_status = ZEB_E_BODY_END;
            return false;
        }
        v += payload;
        return true;
    }

    const uint8_t *base_;
    int64_t len_;
    int64_t next_ = 0;  // next body byte to load
    uint64_t buf_ = 0;  // bits from bitpos() on, least significant first
    unsigned cnt_ = 0;  // bits in buf_ that belong to bytes before next_
    unsigned s_;
    uint64_t mask_;
    unsigned esc_bits_;
    uint64_t esc_mask_;
    bool bmi2_ = have_bmi2();
    // By zero count z: [z] the high part of a plain code times 2^slice, 2^50
    // for counts that are not a plain code's (31 to 64); [65 + z] the bextr
    // control for the s bits from bit z + 1.
    uint64_t tab_[130];
};

class ExactBits {
public:
    ExactBits(const uint8_t *body, const CodeParams &cp) noexcept
        : base_(body), s_(cp.slice), mask_(cp.mask), esc_bits_(cp.esc_bits), esc_mask_(cp.esc_mask),
          low_bytes_((cp.slice + 14) / 8), esc_bytes_((cp.esc_bits + 14) / 8)
    {
    }

    static constexpr bool bounded = false;

    ZEB_INLINE bool whole(int64_t at, int n, uint64_t &v) const noexcept
    {
        v = loadle(base_ + at, n);
        return true;
    }

    ZEB_INLINE void start(int64_t at) noexcept { q_ = 8 * at; }

    ZEB_INLINE int64_t bitpos() const noexcept { return q_; }

    ZEB_INLINE int slice() const noexcept { return s_; }

    template <int W>
    ZEB_INLINE bool code(uint64_t &v) noexcept
    {
        // Low part: whole bytes joined little-endian, shifted and masked.
        const uint64_t low = (loadle(base_ + (q_ >> 3), low_bytes_) >> (q_ & 7)) & mask_;
        q_ += s_;
        // Zero count: the rest of the current byte, then whole bytes.
        const int64_t c = q_ >> 3;
        const unsigned k = unsigned(q_ & 7);
        unsigned z;
        if (unsigned rest = unsigned(base_[c]) >> k) {
            z = unsigned(std::countr_zero(rest));
        } else {
            z = 8 - k;
            int t = 1;
            for (; t <= 4; ++t) {
                if (unsigned b = base_[c + t]) {
                    z += unsigned(std::countr_zero(b));
                    break;
                }
                z += 8;
            }
            if (t > 4) {
                fail_bit = q_;
                fail_status = ZEB_E_BAD_BITS;
                return false;
            }
        }
        q_ += z + 1;
        if (z == 31) {
            v += (loadle(base_ + (q_ >> 3), esc_bytes_) >> (q_ & 7)) & esc_mask_;
            q_ += esc_bits_;
        } else {
            v += (unfold(z) << s_) + low;
        }
        return true;
    }

    int32_t fail_status = ZEB_OK;
    int64_t fail_bit = 0;

private:
    const uint8_t *base_;
    int64_t q_ = 0;
    int s_;
    uint64_t mask_;
    int esc_bits_;
    uint64_t esc_mask_;
    int low_bytes_;  // 1 for slice 0 and 1, then one more byte every 8 bits
    int esc_bytes_;  // 2, 3 or 5
};

}  // namespace zeb

#endif
