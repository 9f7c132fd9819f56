// bitreader.h - the two bit readers behind the crunch decoders (internal).
//
// Both readers decode one difference code at a time and give the decoders
// the same results; they differ only in how they fetch bytes:
//
//  - BoundedBits keeps the bits in a 64-bit register that is refilled without
//    branches from 8-byte loads while at least 8 body bytes remain, and byte
//    by byte near the end, where bytes past the body read as zero.  It never
//    touches memory outside [body, body + len).
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

namespace zeb {

// Eight bytes as a little-endian integer, whatever the host.
ZEB_INLINE uint64_t load64le(const uint8_t *p) noexcept
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
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

class BoundedBits {
public:
    BoundedBits(const uint8_t *body, int64_t len, const CodeParams &cp) noexcept
        : base_(body), len_(len), s_(unsigned(cp.slice)), mask_(cp.mask), esc_bits_(unsigned(cp.esc_bits)),
          esc_mask_(cp.esc_mask)
    {
        for (unsigned z = 0; z < 64; ++z)
            high_[z] = unfold(z) << s_;
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

    // Decodes the next N codes from one refill when they are all plain codes
    // (at most 30 zeros) whose bits lie in the buffer: out[0 .. N) receive
    // the new elements and v the last one.  Otherwise returns false with the
    // read position unchanged; the caller then decodes them one by one with
    // code(), which tells escapes, bad sequences and the end of the body.
    // This keeps the refill's load off the critical path for all but one
    // code in N, which is what makes the common case fast.
    template <int N>
    ZEB_INLINE bool try_codes(uint64_t &v, uint64_t (&out)[N]) noexcept
    {
        refill();
        uint64_t b = buf_;
        unsigned used = 0;
        unsigned zmax = 0;
        uint64_t x = v;
        for (int t = 0; t < N; ++t) {
            const uint64_t low = b & mask_;
            b >>= s_;
            const unsigned z = unsigned(std::countr_zero(b | (uint64_t(1) << 63)));
            b = (b >> z) >> 1;
            used += s_ + z + 1;
            zmax = zmax > z ? zmax : z;
            x += high_[z] + low;
            out[t] = x;
        }
        if (ZEB_UNLIKELY((zmax > 30) | (used > cnt_)))
            return false;
        buf_ = b;
        cnt_ -= used;
        v = x;
        return true;
    }

    int32_t fail_status = ZEB_OK;
    int64_t fail_bit = 0;  // where the zero count of the failing code began

private:
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
    uint64_t high_[64];  // the high part of a plain code, times 2^slice, by zero count
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
