// Crunch encoders: plain streams of 8-, 16- and 32-bit elements and
// run-length streams of 8- and 16-bit elements.
//
// One core (zeb_encode) builds every stream type and prints nothing; the
// classic entry points (zebcrunch8, ...) call it and print their message
// through zeb_encode_report.
//
// Bits are collected in a 64-bit accumulator: each code (low part, unary
// count or escape) is shifted in as one field and the accumulator is stored
// as a whole little-endian word at the current byte, which then advances by
// the bytes completed.  Bytes above the current bit are stored as 0, so the
// stream never depends on what the output buffer held before.  Whole-word
// stores are used only while the word lies entirely below the limit; near the
// end only the bytes that hold stream bits are stored, and a code that would
// need a byte at or beyond the limit makes the encoder give up.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>


#include "byteswap.h"
#include "zebcodec.h"
#include "zebcpu.h"
#include "zebencode_internal.h"
#include "zebruns.h"

namespace {

constexpr int64_t kHeaderSize = ZEB_COMPRESS_HEADER_SIZE;

// A difference is coded only while its first bit lies in a body byte not
// beyond limit - 24: in stream bytes, at most limit - 10.
constexpr int64_t kRoomSlack = 24;

// Escape: 31 zero bits and a 1 bit before the payload.
constexpr unsigned kEscapeZeros = 31;

// Largest field put() takes at once: with up to 7 pending bits the
// accumulator then never holds more than 63.
constexpr unsigned kMaxField = 56;

inline void store_le64(uint8_t *p, uint64_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        v = zeb::byteswap(v);
    std::memcpy(p, &v, sizeof v);
}

inline void store_native32(uint8_t *p, int32_t v) { std::memcpy(p, &v, sizeof v); }

inline void reverse4(uint8_t *p)
{
    uint8_t t = p[0];
    p[0] = p[3];
    p[3] = t;
    t = p[1];
    p[1] = p[2];
    p[2] = t;
}

// Writes fields least significant bit first into out[0, limit).  pos is the
// byte that holds the next bit; the nbits (< 8) bits of acc belong in it and
// have already been stored there.
class BitWriter {
public:
    BitWriter(uint8_t *out, int64_t pos, int64_t limit)
        : out_(out), pos_(pos), limit_(limit), fast_end_(limit - 8) {}

    int64_t pos() const { return pos_; }

    // Appends the low len bits of v (len <= kMaxField, no bits above them).
    // Caller guarantees pos() + 8 <= limit.
    void put_fast(uint64_t v, unsigned len)
    {
        acc_ |= v << nbits_;
        nbits_ += len;
        store_le64(out_ + pos_, acc_);
        const unsigned bytes = nbits_ >> 3;
        pos_ += bytes;
        acc_ >>= bytes * 8;
        nbits_ &= 7;
    }

    // As put_fast, anywhere: false when a byte holding the new bits would lie
    // at or beyond the limit (nothing is stored then).
    bool put(uint64_t v, unsigned len)
    {
        if (pos_ <= fast_end_) {
            put_fast(v, len);
            return true;
        }
        return put_tail(v, len);
    }

    // Ends the current byte; its pad bits were stored as 0.
    void align()
    {
        pos_ += nbits_ != 0;
        acc_ = 0;
        nbits_ = 0;
    }

    // Moves to byte p (>= pos() after align()) with nothing pending.
    void seek(int64_t p)
    {
        pos_ = p;
        acc_ = 0;
        nbits_ = 0;
    }

private:
    bool put_tail(uint64_t v, unsigned len)
    {
        const uint64_t acc = acc_ | v << nbits_;
        const unsigned nbits = nbits_ + len;
        const int64_t used = (nbits + 7) >> 3;
        if (used > limit_ - pos_)
            return false;
        for (int64_t k = 0; k < used; ++k)
            out_[pos_ + k] = static_cast<uint8_t>(acc >> (8 * k));
        const unsigned bytes = nbits >> 3;
        pos_ += bytes;
        acc_ = acc >> (bytes * 8);
        nbits_ = nbits & 7;
        return true;
    }

    uint8_t *out_;
    int64_t pos_;
    int64_t limit_;
    int64_t fast_end_;
    uint64_t acc_ = 0;
    unsigned nbits_ = 0;
};

// Element widths: how the elements are read and the escape payload width.
template <class T> struct Width;
template <> struct Width<uint8_t> {
    static constexpr unsigned bytes = 1, escape_bits = 9;
};
template <> struct Width<int16_t> {
    static constexpr unsigned bytes = 2, escape_bits = 17;
};
template <> struct Width<int32_t> {
    static constexpr unsigned bytes = 4, escape_bits = 33;
};

template <class T> inline int64_t load(const T *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Folds the high part: 0, -1, 1, -2, 2, ... become 0, 1, 2, 3, 4, ...
inline uint64_t fold(int64_t h) { return static_cast<uint64_t>(h) << 1 ^ static_cast<uint64_t>(h >> 63); }

// Longest code in bits: the low part and an escape.
template <class T> constexpr unsigned max_code_bits(unsigned slice)
{
    return slice + kEscapeZeros + 1 + Width<T>::escape_bits;
}

// Whether a plain (non-escape) code always fits one field.
template <class T> constexpr bool plain_code_fits(unsigned slice)
{
    return slice + kEscapeZeros <= kMaxField;
}

// Writes the code of difference d at the writer's position.  Fast: the
// caller knows that every word the code needs lies below the limit.
template <class T, bool Fast>
inline bool put_code(BitWriter &w, int64_t d, unsigned slice, uint64_t mask)
{
    constexpr unsigned E = Width<T>::escape_bits;
    auto put = [&w](uint64_t v, unsigned len) {
        if constexpr (Fast) {
            w.put_fast(v, len);
            return true;
        } else {
            return w.put(v, len);
        }
    };
    const uint64_t low = static_cast<uint64_t>(d) & mask;
    const uint64_t y = fold(d >> slice);
    if (y < kEscapeZeros) {
        if (sizeof(T) < 4 || plain_code_fits<T>(slice))
            return put(low | uint64_t(1) << (slice + y), slice + static_cast<unsigned>(y) + 1);
        return put(low, slice) && put(uint64_t(1) << y, static_cast<unsigned>(y) + 1);
    }
    bool ok;
    if (slice + kEscapeZeros + 1 <= kMaxField)
        ok = put(low | uint64_t(1) << (slice + kEscapeZeros), slice + kEscapeZeros + 1);
    else
        ok = put(low, slice) && put(uint64_t(1) << kEscapeZeros, kEscapeZeros + 1);
    return ok && put(static_cast<uint64_t>(d) & ((uint64_t(1) << E) - 1), E);
}

// Codes n differences of the elements p[1 .. n] (p[0] the one before) with
// whole-word stores only; the caller has checked that they all fit.  Plain
// codes are gathered four at a time and stored with one word where they fit
// one field together, which keeps the writer's serial steps few.
template <class T>
inline void put_codes_fast(BitWriter &w, const T *p, int64_t n, unsigned slice, uint64_t mask)
{
    int64_t prev = load(p);
    int64_t j = 1;
    if (sizeof(T) < 4 || plain_code_fits<T>(slice)) {
        auto pair = [&w](uint64_t c1, unsigned len1, uint64_t c2, unsigned len2) {
            if (len1 + len2 <= kMaxField) {
                w.put_fast(c1 | c2 << len1, len1 + len2);
            } else {
                w.put_fast(c1, len1);
                w.put_fast(c2, len2);
            }
        };
        for (; j + 3 <= n; j += 4) {
            int64_t d[4];
            uint64_t y[4];
            for (int k = 0; k < 4; ++k) {
                const int64_t cur = load(p + j + k);
                d[k] = cur - prev;
                prev = cur;
                y[k] = fold(d[k] >> slice);
            }
            if (std::max(std::max(y[0], y[1]), std::max(y[2], y[3])) >= kEscapeZeros) {
                for (int k = 0; k < 4; ++k)
                    put_code<T, true>(w, d[k], slice, mask);
                continue;
            }
            uint64_t c[4];
            unsigned len[4];
            for (int k = 0; k < 4; ++k) {
                c[k] = (static_cast<uint64_t>(d[k]) & mask) | uint64_t(1) << (slice + y[k]);
                len[k] = slice + static_cast<unsigned>(y[k]) + 1;
            }
            const unsigned len01 = len[0] + len[1], len23 = len[2] + len[3];
            if (len01 + len23 <= kMaxField) {
                w.put_fast(c[0] | c[1] << len[0] | (c[2] | c[3] << len[2]) << len01, len01 + len23);
            } else {
                pair(c[0], len[0], c[1], len[1]);
                pair(c[2], len[2], c[3], len[3]);
            }
        }
    }
    for (; j <= n; ++j) {
        const int64_t cur = load(p + j);
        put_code<T, true>(w, cur - prev, slice, mask);
        prev = cur;
    }
}

#ifdef ZEB_HAVE_AVX2_PATHS

// Eight elements from p as 32-bit lanes.
template <class T>
__attribute__((target("avx2"), always_inline)) inline __m256i load8(const T *p)
{
    if constexpr (sizeof(T) == 1)
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
    else
        return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// put_codes_fast for 8- and 16-bit elements, the codes of eight differences
// at a time worked out in 32-bit lanes: difference, low part, folded high
// part, the code's bits (low part and closing 1 bit) and length.  Where one
// of them is an escape, or a code longer than 32 bits, the eight are coded
// one by one.  The writer then takes the codes in groups that fit one field,
// so the stream is the same, bit for bit.
template <class T>
__attribute__((target("avx2"))) void put_codes_avx2(BitWriter &w, const T *p, int64_t n, unsigned slice,
                                                    uint64_t mask)
{
    const __m128i sc = _mm_cvtsi32_si128(int(slice));
    const __m256i maskv = _mm256_set1_epi32(int32_t(mask));
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i sv = _mm256_set1_epi32(int32_t(slice));
    // Plain codes of at most 32 bits: y <= 30 and slice + y + 1 <= 32.
    const __m256i ymax = _mm256_set1_epi32(int32_t(std::min(30u, 31u - std::min(slice, 31u))));
    alignas(32) uint32_t code[8], lens[8];
    int64_t j = 1;
    for (; j + 7 <= n; j += 8) {
        const __m256i d = _mm256_sub_epi32(load8(p + j), load8(p + j - 1));
        const __m256i h = _mm256_sra_epi32(d, sc);
        const __m256i y = _mm256_xor_si256(_mm256_slli_epi32(h, 1), _mm256_srai_epi32(h, 31));
        if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(y, ymax)) != 0) {
            for (int k = 0; k < 8; ++k)
                put_code<T, true>(w, load(p + j + k) - load(p + j + k - 1), slice, mask);
            continue;
        }
        const __m256i sy = _mm256_add_epi32(y, sv);
        const __m256i c = _mm256_or_si256(_mm256_and_si256(d, maskv), _mm256_sllv_epi32(one, sy));
        const __m256i len = _mm256_add_epi32(sy, one);
        // Each half's four codes joined into one field: the codes shifted
        // by the lengths of those before them in the half, and or'ed.
        const __m256i pairs = _mm256_add_epi32(len, _mm256_slli_si256(len, 4));
        const __m256i upto = _mm256_add_epi32(pairs, _mm256_slli_si256(pairs, 8));  // l0, l0 + l1, ...
        const __m256i before = _mm256_sub_epi32(upto, len);
        const unsigned len_a = unsigned(_mm256_extract_epi32(upto, 3)), len_b = unsigned(_mm256_extract_epi32(upto, 7));
        if (len_a <= kMaxField && len_b <= kMaxField) {
            const __m256i a = _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_castsi256_si128(c)),
                                                _mm256_cvtepu32_epi64(_mm256_castsi256_si128(before)));
            const __m256i b = _mm256_sllv_epi64(_mm256_cvtepu32_epi64(_mm256_extracti128_si256(c, 1)),
                                                _mm256_cvtepu32_epi64(_mm256_extracti128_si256(before, 1)));
            // a | b by halves: [a0|a1, b0|b1 | a2|a3, b2|b3], then the halves.
            const __m256i ab = _mm256_or_si256(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
            const __m128i both = _mm_or_si128(_mm256_castsi256_si128(ab), _mm256_extracti128_si256(ab, 1));
            w.put_fast(uint64_t(_mm_cvtsi128_si64(both)), len_a);
            w.put_fast(uint64_t(_mm_extract_epi64(both, 1)), len_b);
            continue;
        }
        _mm256_store_si256(reinterpret_cast<__m256i *>(code), c);
        _mm256_store_si256(reinterpret_cast<__m256i *>(lens), len);
        for (int i = 0; i < 8; i += 2) {
            if (lens[i] + lens[i + 1] <= kMaxField) {
                w.put_fast(uint64_t(code[i]) | uint64_t(code[i + 1]) << lens[i], lens[i] + lens[i + 1]);
            } else {
                w.put_fast(code[i], lens[i]);
                w.put_fast(code[i + 1], lens[i + 1]);
            }
        }
    }
    for (; j <= n; ++j)
        put_code<T, true>(w, load(p + j) - load(p + j - 1), slice, mask);
}
#endif

// The fast stretch of a block: with the vector unit where there is one.
template <class T>
inline void put_codes(BitWriter &w, const T *p, int64_t n, unsigned slice, uint64_t mask)
{
#ifdef ZEB_HAVE_AVX2_PATHS
    if constexpr (sizeof(T) < 4) {
        if (n >= 8 && zeb::have_avx2()) {
            put_codes_avx2(w, p, n, slice, mask);
            return;
        }
    }
#endif
    put_codes_fast(w, p, n, slice, mask);
}

// A block's first element, whole bytes, least significant first.
template <class T> inline bool put_first(BitWriter &w, int64_t v)
{
    constexpr unsigned W = Width<T>::bytes * 8;
    return w.put(static_cast<uint64_t>(v) & ((uint64_t(1) << W) - 1), W);
}

// Plain blocks [b0, b1) from byte pos of out; a code may start only in a
// byte not beyond room_end.  Returns the byte after the last block or
// ZEB_E_NO_ROOM.
template <class T>
int64_t encode_plain(uint8_t *out, int64_t pos, int64_t limit, int64_t room_end, const T *data, unsigned slice,
                     int64_t block_size, int64_t b0, int64_t b1)
{
    const uint64_t mask = (uint64_t(1) << slice) - 1;
    const int64_t advance = (7 + max_code_bits<T>(slice)) / 8;
    const int64_t fast_end = std::min(room_end, limit - 8 - advance);
    BitWriter w(out, pos, limit);
    for (int64_t b = b0; b < b1; ++b) {
        const T *p = data + b * block_size;
        if (!put_first<T>(w, load(p)))
            return ZEB_E_NO_ROOM;
        // Differences are coded in stretches that certainly pass the room
        // test and fit whole-word stores: a code moves the position by at
        // most `advance` bytes and needs the word at most that far on.
        // Near the limit they are coded one at a time with checked stores.
        int64_t j = 1;
        while (j < block_size) {
            const int64_t pos = w.pos();
            if (pos <= fast_end) {
                const int64_t n = std::min(block_size - j, (fast_end - pos) / advance + 1);
                put_codes(w, p + j - 1, n, slice, mask);
                j += n;
                continue;
            }
            if (pos > room_end)
                return ZEB_E_NO_ROOM;
            if (!put_code<T, false>(w, load(p + j) - load(p + j - 1), slice, mask))
                return ZEB_E_NO_ROOM;
            ++j;
        }
        w.align();
    }
    return w.pos();
}

// Count byte of a run piece of len (2 to 128) differences.
inline uint8_t run_count(int64_t len) { return static_cast<uint8_t>(257 - len); }

// Writes a run of len (>= 4) equal differences d as 3-byte pieces from byte
// at; returns the byte after the run, or -1 when a piece does not fit.
inline int64_t put_run(uint8_t *stream, int64_t at, int64_t limit, int64_t len, int64_t d)
{
    auto piece = [&](int64_t n) {
        if (at + 3 > limit)
            return false;
        stream[at] = run_count(n);
        stream[at + 1] = static_cast<uint8_t>(d);
        stream[at + 2] = static_cast<uint8_t>(d >> 8);
        at += 3;
        return true;
    };
    while (len > 128) {
        const int64_t n = len == 129 ? 127 : 128;
        if (!piece(n))
            return -1;
        len -= n;
    }
    return piece(len) ? at : -1;
}

// Literal codes of the differences p[1 .. n] (p[0] the element before), as
// encode_plain codes them: whole-word stores while they certainly fit, one at
// a time with the room test near the end.  False when there is no room.
template <class T>
inline bool put_literals(BitWriter &w, const T *p, int64_t n, unsigned slice, uint64_t mask, int64_t fast_end,
                         int64_t advance, int64_t room_end)
{
    int64_t j = 1;
    while (j <= n) {
        const int64_t pos = w.pos();
        if (pos <= fast_end) {
            const int64_t m = std::min(n - j + 1, (fast_end - pos) / advance + 1);
            put_codes(w, p + j - 1, m, slice, mask);
            j += m;
            continue;
        }
        if (pos > room_end || !put_code<T, false>(w, load(p + j) - load(p + j - 1), slice, mask))
            return false;
        ++j;
    }
    return true;
}

// Run-length blocks [b0, b1), as encode_plain.  A block is cut into
// stretches of literal differences and runs: a run is a maximal stretch of 4
// or more equal differences, every other difference is a literal, and a
// stretch of literals is coded as segments of at most 127 codes, each after
// its count byte and ending on a byte boundary.
template <class T>
int64_t encode_run(uint8_t *stream, int64_t pos, int64_t limit, int64_t room_end, const T *data, unsigned slice,
                   int64_t block_size, int64_t b0, int64_t b1)
{
    using zeb::detail::kMaxLiterals;
    const uint64_t mask = (uint64_t(1) << slice) - 1;
    const int64_t advance = (7 + max_code_bits<T>(slice)) / 8;
    const int64_t fast_end = std::min(room_end, limit - 8 - advance);
    BitWriter w(stream, pos, limit);
    for (int64_t b = b0; b < b1; ++b) {
        const T *p = data + b * block_size;
        if (!put_first<T>(w, load(p)))
            return ZEB_E_NO_ROOM;
        int64_t at = w.pos();  // where the next segment or run starts
        if (block_size == 1) {
            // No differences: the count byte's place is kept, as 0.
            if (at >= limit)
                return ZEB_E_NO_ROOM;
            stream[at] = 0;
            w.seek(at + 1);
            continue;
        }
        int64_t j = 1;
        while (j < block_size) {
            // Literals [j, k), then a run [k, e) of difference d (none when k
            // reaches the end of the block).
            const int64_t k = zeb::detail::next_run(p, j, block_size);
            const int64_t e = k < block_size ? zeb::detail::run_end(p, k, block_size) : k;
            for (int64_t s = j; s < k; s += kMaxLiterals) {
                const int64_t n = std::min(kMaxLiterals, k - s);
                if (at >= limit)
                    return ZEB_E_NO_ROOM;
                stream[at] = static_cast<uint8_t>(n);
                w.seek(at + 1);
                if (!put_literals(w, p + s - 1, n, slice, mask, fast_end, advance, room_end))
                    return ZEB_E_NO_ROOM;
                w.align();
                at = w.pos();
            }
            if (k < block_size) {
                at = put_run(stream, at, limit, e - k, load(p + k) - load(p + k - 1));
                if (at < 0)
                    return ZEB_E_NO_ROOM;
                w.seek(at);
            }
            j = e;
        }
    }
    return w.pos();
}

// Largest slice a coder takes; zebcrunch8 clamps instead of refusing.
int32_t max_slice(int32_t compression_type)
{
    switch (compression_type) {
    case ZEB_CT_CRUNCH8: return INT32_MAX;
    case ZEB_CT_CRUNCH32: return 32;
    default: return 17;
    }
}

// The slice a coder works with (zebcrunch8 uses at most 8).
int32_t effective_slice(int32_t compression_type, int32_t slice)
{
    return compression_type == ZEB_CT_CRUNCH8 && slice > 8 ? 8 : slice;
}

const char *coder_name(int32_t compression_type)
{
    switch (compression_type) {
    case ZEB_CT_CRUNCH16: return "crunch";
    case ZEB_CT_CRUNCH8: return "crunch8";
    case ZEB_CT_CRUNCHRUN16: return "crunchrun";
    case ZEB_CT_CRUNCHRUN8: return "crunchrun8";
    case ZEB_CT_CRUNCH32: return "crunch32";
    default: return nullptr;
    }
}

int32_t classic(int32_t compression_type, uint8_t *stream, const void *data, int32_t slice, int32_t block_size,
                int32_t nblocks, int32_t limit, int32_t host_big_endian)
{
    const int32_t r = zeb_encode(compression_type, stream, data, slice, block_size, nblocks, limit, host_big_endian);
    if (r >= 0)
        return r;
    zeb_encode_report(compression_type, r, limit, slice);
    return -1;
}

}  // namespace

namespace zeb::detail {

int32_t encode_check(int32_t compression_type, const uint8_t *stream, const void *data, int32_t slice,
                     int32_t block_size, int32_t nblocks, int32_t limit)
{
    if (zeb_compression_width(compression_type) == 0)
        return ZEB_E_UNKNOWN_COMPRESSION;
    if (limit <= kRoomSlack)
        return ZEB_E_LIMIT_TOO_SMALL;
    if (slice < 0 || slice > max_slice(compression_type))
        return ZEB_E_BAD_SLICE;
    if (nblocks > 0 && block_size < 1)
        return ZEB_E_BAD_BLOCK_SIZE;
    if (!stream || (nblocks > 0 && !data))
        return ZEB_E_BAD_ARGUMENT;
    return ZEB_OK;
}

void encode_header(int32_t compression_type, uint8_t *stream, int32_t slice, int32_t block_size, int32_t nblocks)
{
    store_native32(stream + 4, nblocks);
    store_native32(stream + 8, block_size);
    stream[12] = static_cast<uint8_t>(effective_slice(compression_type, slice));
    stream[13] = static_cast<uint8_t>(compression_type);
}

int64_t encode_blocks(int32_t compression_type, uint8_t *out, int64_t pos, int64_t limit, int64_t room_end,
                      const void *data, int32_t slice, int64_t block_size, int64_t b0, int64_t b1)
{
    const auto s = static_cast<unsigned>(effective_slice(compression_type, slice));
    switch (compression_type) {
    case ZEB_CT_CRUNCH8:
        return encode_plain(out, pos, limit, room_end, static_cast<const uint8_t *>(data), s, block_size, b0, b1);
    case ZEB_CT_CRUNCH16:
        return encode_plain(out, pos, limit, room_end, static_cast<const int16_t *>(data), s, block_size, b0, b1);
    case ZEB_CT_CRUNCH32:
        return encode_plain(out, pos, limit, room_end, static_cast<const int32_t *>(data), s, block_size, b0, b1);
    case ZEB_CT_CRUNCHRUN8:
        return encode_run(out, pos, limit, room_end, static_cast<const uint8_t *>(data), s, block_size, b0, b1);
    default:
        return encode_run(out, pos, limit, room_end, static_cast<const int16_t *>(data), s, block_size, b0, b1);
    }
}

int32_t encode_finish(uint8_t *stream, int64_t stream_size, int32_t host_big_endian)
{
    const auto size = static_cast<int32_t>(stream_size);  // never above limit
    store_native32(stream, size);
    if (host_big_endian) {
        reverse4(stream);
        reverse4(stream + 8);
        reverse4(stream + 4);
    }
    return size;
}

}  // namespace zeb::detail

extern "C" {

ZEB_API int32_t zeb_encode(int32_t compression_type, uint8_t *stream, const void *data, int32_t slice,
                           int32_t block_size, int32_t nblocks, int32_t limit, int32_t host_big_endian)
{
    const int32_t status = zeb::detail::encode_check(compression_type, stream, data, slice, block_size, nblocks, limit);
    if (status != ZEB_OK)
        return status;
    zeb::detail::encode_header(compression_type, stream, slice, block_size, nblocks);
    int64_t end = kHeaderSize;
    if (nblocks > 0) {
        end = zeb::detail::encode_blocks(compression_type, stream, kHeaderSize, limit, limit - kRoomSlack + kHeaderSize,
                                         data, slice, block_size, 0, nblocks);
        if (end < 0)
            return static_cast<int32_t>(end);
    }
    return zeb::detail::encode_finish(stream, end, host_big_endian);
}

ZEB_API void zeb_encode_report(int32_t compression_type, int32_t status, int32_t limit, int32_t slice)
{
    const char *name = coder_name(compression_type);
    if (!name)
        return;
    switch (status) {
    case ZEB_E_LIMIT_TOO_SMALL:
        printf("limit (%d) too small in %s\n", limit, name);
        break;
    case ZEB_E_BAD_SLICE:
        printf("slice (%d) not supported in %s\n", slice, name);
        break;
    case ZEB_E_BAD_BLOCK_SIZE:
        printf("block_size below 1 in %s\n", name);
        break;
    default:
        break;
    }
}

ZEB_API int64_t zeb_compress_bound(int32_t compression_type, int32_t slice, int32_t block_size, int32_t nblocks)
{
    const int64_t width = zeb_compression_width(compression_type);
    if (width == 0 || slice < 0 || slice > max_slice(compression_type) || (nblocks > 0 && block_size < 1))
        return -1;
    int64_t body = 0;
    if (nblocks > 0) {
        // Longest code: the low part and an escape.
        const int64_t code_bits = int64_t(effective_slice(compression_type, slice)) + kEscapeZeros + 1 + width * 8 + 1;
        const int64_t diffs = int64_t(block_size) - 1;
        if (diffs > (INT64_MAX / 4) / code_bits)
            return -1;
        int64_t block;
        if (compression_type == ZEB_CT_CRUNCHRUN8 || compression_type == ZEB_CT_CRUNCHRUN16) {
            // Literal segments cost a count byte and at most one pad byte
            // each; every segment but the last is closed by the 127-code
            // limit or by a run, and a run's 3-byte pieces cost less than the
            // codes of its (at least 4) differences would.  A one-element
            // block takes its first element and one byte.
            block = width + 2 + 2 * (diffs / 127) + (diffs * code_bits + 7) / 8;
        } else {
            block = (width * 8 + diffs * code_bits + 7) / 8;
        }
        if (block > INT64_MAX / 4 / nblocks)
            return -1;
        body = block * nblocks;
    }
    // The stream takes at most 14 + body bytes, and every code starts in a
    // body byte before `body`, so the room test passes throughout.
    const int64_t bound = std::max(body + kRoomSlack, kRoomSlack + 1);
    return bound > INT32_MAX ? -1 : bound;
}

ZEB_API int32_t zebcrunch8(uint8_t *stream, const uint8_t *data, int32_t slice, int32_t block_size, int32_t nblocks,
                           int32_t limit, int32_t host_big_endian)
{
    return classic(ZEB_CT_CRUNCH8, stream, data, slice, block_size, nblocks, limit, host_big_endian);
}

ZEB_API int32_t zebcrunch(uint8_t *stream, const int16_t *data, int32_t slice, int32_t block_size, int32_t nblocks,
                          int32_t limit, int32_t host_big_endian)
{
    return classic(ZEB_CT_CRUNCH16, stream, data, slice, block_size, nblocks, limit, host_big_endian);
}

ZEB_API int32_t zebcrunch32(uint8_t *stream, const int32_t *data, int32_t slice, int32_t block_size,
                            int32_t nblocks, int32_t limit, int32_t host_big_endian)
{
    return classic(ZEB_CT_CRUNCH32, stream, data, slice, block_size, nblocks, limit, host_big_endian);
}

ZEB_API int32_t zebcrunchrun8(uint8_t *stream, const uint8_t *data, int32_t slice, int32_t block_size,
                              int32_t nblocks, int32_t limit, int32_t host_big_endian)
{
    return classic(ZEB_CT_CRUNCHRUN8, stream, data, slice, block_size, nblocks, limit, host_big_endian);
}

ZEB_API int32_t zebcrunchrun(uint8_t *stream, const int16_t *data, int32_t slice, int32_t block_size,
                             int32_t nblocks, int32_t limit, int32_t host_big_endian)
{
    return classic(ZEB_CT_CRUNCHRUN16, stream, data, slice, block_size, nblocks, limit, host_big_endian);
}

}  // extern "C"
