// CRC-32C (Castagnoli): the CPU's CRC instructions where it has them (SSE4.2
// on x86-64, the CRC extension on ARMv8), three streams interleaved so that
// the instruction's latency is hidden; on x86-64 with carry-less
// multiplication, 64-byte blocks folded with it, about twice as fast again;
// slicing-by-8 tables everywhere else.  Every method gives the same result.
#include <array>
#include <cstring>

#include "crc32c.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#  include <immintrin.h>
#  include <nmmintrin.h>
#  define ZEB_CRC_X86 1
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__)) && __has_include(<arm_acle.h>) && \
    ((defined(__linux__) && __has_include(<sys/auxv.h>)) || defined(__APPLE__))
#  include <arm_acle.h>
#  if defined(__linux__)
#    include <sys/auxv.h>
#  endif
#  define ZEB_CRC_ARM 1
#endif

namespace {

constexpr uint32_t kPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

// table[k][b]: the register after b passed through k + 1 byte steps.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables make_tables()
{
    Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int i = 0; i < 8; ++i)
            c = c & 1 ? (c >> 1) ^ kPoly : c >> 1;
        t[0][b] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr Tables kTables = make_tables();

uint64_t load64(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;  // little-endian hosts only, as the whole library
}

// The register (not inverted) over n bytes, eight at a time.
uint32_t portable(uint32_t c, const uint8_t *p, size_t n)
{
    while (n && (reinterpret_cast<uintptr_t>(p) & 7)) {
        c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
        --n;
    }
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t v = load64(p) ^ c;
        c = kTables[7][v & 0xFF] ^ kTables[6][(v >> 8) & 0xFF] ^ kTables[5][(v >> 16) & 0xFF] ^
            kTables[4][(v >> 24) & 0xFF] ^ kTables[3][(v >> 32) & 0xFF] ^ kTables[2][(v >> 40) & 0xFF] ^
            kTables[1][(v >> 48) & 0xFF] ^ kTables[0][v >> 56];
    }
    while (n--)
        c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
    return c;
}

// Appending n zero bytes to a message changes its register by a linear map;
// Shift holds that map for one n as four byte tables, so that streams
// computed side by side can be joined: crc(A B) = shift_|B|(crc(A)) ^ crc0(B).
struct Shift {
    std::array<std::array<uint32_t, 256>, 4> t{};
    explicit Shift(size_t n)
    {
        uint32_t basis[32];
        for (int bit = 0; bit < 32; ++bit) {
            uint32_t c = uint32_t(1) << bit;
            for (size_t i = 0; i < n; ++i)
                c = (c >> 8) ^ kTables[0][c & 0xFF];
            basis[bit] = c;
        }
        for (int k = 0; k < 4; ++k)
            for (uint32_t b = 0; b < 256; ++b) {
                uint32_t v = 0;
                for (int bit = 0; bit < 8; ++bit)
                    if (b >> bit & 1)
                        v ^= basis[8 * k + bit];
                t[k][b] = v;
            }
    }
    uint32_t operator()(uint32_t c) const
    {
        return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24];
    }
};

// The two stream lengths the interleaved loop works in.
constexpr size_t kLong = 8192, kShort = 256;

#if defined(ZEB_CRC_X86) || defined(ZEB_CRC_ARM)

const Shift &shift_long()
{
    static const Shift s(kLong);
    return s;
}

const Shift &shift_short()
{
    static const Shift s(kShort);
    return s;
}

#  if defined(ZEB_CRC_X86)
#    define ZEB_CRC_TARGET __attribute__((target("sse4.2,crc32")))
ZEB_CRC_TARGET inline uint32_t step8(uint32_t c, const uint8_t *p)
{
    return static_cast<uint32_t>(_mm_crc32_u64(c, load64(p)));
}
ZEB_CRC_TARGET inline uint32_t step1(uint32_t c, uint8_t b) { return _mm_crc32_u8(c, b); }
bool have_hardware() { return __builtin_cpu_supports("sse4.2"); }
#  else
#    define ZEB_CRC_TARGET __attribute__((target("+crc")))
ZEB_CRC_TARGET inline uint32_t step8(uint32_t c, const uint8_t *p) { return __crc32cd(c, load64(p)); }
ZEB_CRC_TARGET inline uint32_t step1(uint32_t c, uint8_t b) { return __crc32cb(c, b); }
#    ifndef HWCAP_CRC32
#      define HWCAP_CRC32 (1 << 7)
#    endif
#    if defined(__APPLE__)
bool have_hardware() { return true; }  // every arm64 Mac's CPU has them (ARMv8.4 and later)
#    else
bool have_hardware() { return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0; }
#    endif
#  endif

// One stream of CRC instructions.
ZEB_CRC_TARGET uint32_t hardware(uint32_t c, const uint8_t *p, size_t n)
{
    while (n && (reinterpret_cast<uintptr_t>(p) & 7)) {
        c = step1(c, *p++);
        --n;
    }
    for (; n >= 8; n -= 8, p += 8)
        c = step8(c, p);
    while (n--)
        c = step1(c, *p++);
    return c;
}

// Three streams over consecutive stretches of `len` bytes, joined by shifts.
ZEB_CRC_TARGET inline uint32_t three_streams(uint32_t c0, const uint8_t *&p, size_t &n, size_t len,
                                             const Shift &shift)
{
    while (n >= 3 * len) {
        uint32_t c1 = 0, c2 = 0;
        const uint8_t *end = p + len;
        do {
            c0 = step8(c0, p);
            c1 = step8(c1, p + len);
            c2 = step8(c2, p + 2 * len);
            p += 8;
        } while (p < end);
        c0 = shift(c0) ^ c1;
        c0 = shift(c0) ^ c2;
        p += 2 * len;
        n -= 3 * len;
    }
    return c0;
}

ZEB_CRC_TARGET uint32_t interleaved(uint32_t c, const uint8_t *p, size_t n)
{
    while (n && (reinterpret_cast<uintptr_t>(p) & 7)) {
        c = step1(c, *p++);
        --n;
    }
    c = three_streams(c, p, n, kLong, shift_long());
    c = three_streams(c, p, n, kShort, shift_short());
    return hardware(c, p, n);
}

#  if defined(ZEB_CRC_X86)

// Folding: a 16-byte stretch A of the message, D bits before the end of a
// later stretch B, may be replaced by anything congruent to A x^D modulo
// the polynomial.  With A's halves A_lo (first 8 bytes) and A_hi, that is
// A_lo x^(D+64) + A_hi x^D; in the bit-reflected order of the data, a
// carry-less product of a 64-bit half and a 33-bit constant lands 32 bits
// off, so the constants are x^(D+32) and x^(D-32) modulo the polynomial,
// bit-reflected and shifted left by one.
uint64_t fold_constant(int n)
{
    uint32_t r = 1;  // x^0, the polynomial's terms below x^32 as bits
    for (int i = 0; i < n; ++i)
        r = (r << 1) ^ (r & 0x80000000u ? 0x1EDC6F41u : 0u);
    uint32_t reflected = 0;
    for (int i = 0; i < 32; ++i)
        reflected |= ((r >> i) & 1u) << (31 - i);
    return uint64_t(reflected) << 1;
}

constexpr int kLanes = 8;  // 16-byte lanes folded side by side

struct FoldConstants {
    __m128i far, near;  // fold by all lanes (kLanes * 128 bits), by one lane (128 bits)
    FoldConstants()
    {
        const int d = 128 * kLanes;
        far = _mm_set_epi64x(int64_t(fold_constant(d - 32)), int64_t(fold_constant(d + 32)));
        near = _mm_set_epi64x(int64_t(fold_constant(128 - 32)), int64_t(fold_constant(128 + 32)));
    }
};

#    define ZEB_FOLD_TARGET __attribute__((target("sse4.2,crc32,pclmul")))

ZEB_FOLD_TARGET inline __m128i fold(__m128i a, __m128i b, __m128i k)
{
    return _mm_xor_si128(_mm_xor_si128(b, _mm_clmulepi64_si128(a, k, 0x00)), _mm_clmulepi64_si128(a, k, 0x11));
}

ZEB_FOLD_TARGET inline __m128i load128(const uint8_t *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

bool have_folding()
{
    return have_hardware() && __builtin_cpu_supports("pclmul");
}

// kLanes 16-byte lanes folded forward kLanes * 16 bytes at a time (enough
// lanes that the multiplier never waits for a result), then into one lane;
// its CRC (the register enters as the first 4 bytes of the data) and the
// last bytes' come from the CRC instruction.
ZEB_FOLD_TARGET uint32_t folding(uint32_t c, const uint8_t *p, size_t n)
{
    constexpr size_t kStride = 16 * kLanes;
    if (n < 2 * kStride)
        return interleaved(c, p, n);
    static const FoldConstants k;
    __m128i x[kLanes];
    for (int i = 0; i < kLanes; ++i)
        x[i] = load128(p + 16 * i);
    x[0] = _mm_xor_si128(x[0], _mm_cvtsi32_si128(int(c)));
    for (p += kStride, n -= kStride; n >= kStride; p += kStride, n -= kStride)
        for (int i = 0; i < kLanes; ++i)
            x[i] = fold(x[i], load128(p + 16 * i), k.far);
    for (int i = 1; i < kLanes; ++i)
        x[i] = fold(x[i - 1], x[i], k.near);
    __m128i last = x[kLanes - 1];
    for (; n >= 16; p += 16, n -= 16)
        last = fold(last, load128(p), k.near);
    c = static_cast<uint32_t>(_mm_crc32_u64(0, uint64_t(_mm_cvtsi128_si64(last))));
    c = static_cast<uint32_t>(_mm_crc32_u64(c, uint64_t(_mm_extract_epi64(last, 1))));
    return hardware(c, p, n);
}

// The same with 512-bit registers (AVX-512 VPCLMULQDQ), four 16-byte lanes
// to a register and kWide registers: 64 * kWide bytes a step.
#    define ZEB_FOLD512_TARGET __attribute__((target("avx512f,vpclmulqdq,sse4.2,crc32,pclmul")))

bool have_wide_folding()
{
    return have_folding() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
}

ZEB_FOLD512_TARGET inline __m512i fold512(__m512i a, __m512i b, __m512i k)
{
    return _mm512_ternarylogic_epi64(b, _mm512_clmulepi64_epi128(a, k, 0x00), _mm512_clmulepi64_epi128(a, k, 0x11),
                                     0x96);
}

constexpr int kWide = 4;

ZEB_FOLD512_TARGET uint32_t wide_folding(uint32_t c, const uint8_t *p, size_t n)
{
    constexpr size_t kStride = 64 * kWide;
    if (n < 2 * kStride)
        return folding(c, p, n);
    static const FoldConstants k;
    static const int64_t hi = int64_t(fold_constant(8 * kStride - 32)), lo = int64_t(fold_constant(8 * kStride + 32));
    const __m512i far = _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
    __m512i x[kWide];
    for (int i = 0; i < kWide; ++i)
        x[i] = _mm512_loadu_si512(p + 64 * i);
    x[0] = _mm512_xor_si512(x[0], _mm512_castsi128_si512(_mm_cvtsi32_si128(int(c))));
    for (p += kStride, n -= kStride; n >= kStride; p += kStride, n -= kStride)
        for (int i = 0; i < kWide; ++i)
            x[i] = fold512(x[i], _mm512_loadu_si512(p + 64 * i), far);
    // The lanes, in the order of the data, folded into one.
    alignas(64) uint8_t lanes[kStride];
    for (int i = 0; i < kWide; ++i)
        _mm512_store_si512(lanes + 64 * i, x[i]);
    __m128i last = load128(lanes);
    for (size_t i = 1; i < kStride / 16; ++i)
        last = fold(last, load128(lanes + 16 * i), k.near);
    for (; n >= 16; p += 16, n -= 16)
        last = fold(last, load128(p), k.near);
    c = static_cast<uint32_t>(_mm_crc32_u64(0, uint64_t(_mm_cvtsi128_si64(last))));
    c = static_cast<uint32_t>(_mm_crc32_u64(c, uint64_t(_mm_extract_epi64(last, 1))));
    return hardware(c, p, n);
}

// Carry-less multiplication: the widest registers the CPU has.
uint32_t best_folding(uint32_t c, const uint8_t *p, size_t n)
{
    static const bool wide = have_wide_folding();
    return wide ? wide_folding(c, p, n) : folding(c, p, n);
}

#  else
bool have_folding() { return false; }
bool have_wide_folding() { return false; }
uint32_t best_folding(uint32_t c, const uint8_t *p, size_t n) { return interleaved(c, p, n); }
#  endif

#else

bool have_hardware() { return false; }
bool have_folding() { return false; }
bool have_wide_folding() { return false; }
uint32_t best_folding(uint32_t c, const uint8_t *p, size_t n) { return portable(c, p, n); }
uint32_t hardware(uint32_t c, const uint8_t *p, size_t n) { return portable(c, p, n); }
uint32_t interleaved(uint32_t c, const uint8_t *p, size_t n) { return portable(c, p, n); }

#endif

using Method = uint32_t (*)(uint32_t, const uint8_t *, size_t);

// What zeb_crc32c uses: the interleaved instructions where the CPU has them,
// unless the build asks for the portable code only.
int32_t best_method()
{
#ifdef ZEB_CRC_PORTABLE_ONLY
    return ZEB_CRC32C_PORTABLE;
#else
    // Folding in 128-bit registers is no faster than three streams of CRC
    // instructions; in 512-bit ones it is several times faster.
    static const int32_t m = have_wide_folding() ? ZEB_CRC32C_FOLDING
                             : have_hardware()   ? ZEB_CRC32C_INTERLEAVED
                                                 : ZEB_CRC32C_PORTABLE;
    return m;
#endif
}

Method method_function(int32_t m)
{
    switch (m) {
    case ZEB_CRC32C_PORTABLE: return portable;
    case ZEB_CRC32C_HARDWARE: return have_hardware() ? hardware : nullptr;
    case ZEB_CRC32C_INTERLEAVED: return have_hardware() ? interleaved : nullptr;
    case ZEB_CRC32C_FOLDING: return have_folding() ? best_folding : nullptr;
    default: return nullptr;
    }
}

}  // namespace

namespace zeb {

uint32_t crc32c(uint32_t crc, const void *data, size_t n)
{
    static const Method best = method_function(best_method());
    if (n == 0)
        return crc;
    return ~best(~crc, static_cast<const uint8_t *>(data), n);
}

namespace {

// a * b modulo the polynomial, both as reflected polynomials (bit 31: x^0).
uint32_t multiply_mod_p(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t m = 1u << 31; m != 0 && a != 0; m >>= 1) {
        if (a & m) {
            product ^= b;
            a ^= m;
        }
        b = b & 1 ? (b >> 1) ^ kPoly : b >> 1;
    }
    return product;
}

// x^(8n) modulo the polynomial, by squaring: x^(2^k) for k = 3, 4, ...
uint32_t x_to_8n_mod_p(uint64_t n)
{
    uint32_t result = 1u << 31;  // x^0
    uint32_t square = 1u << 23;  // x^8
    for (; n != 0; n >>= 1) {
        if (n & 1)
            result = multiply_mod_p(square, result);
        square = multiply_mod_p(square, square);
    }
    return result;
}

}  // namespace

uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b)
{
    return multiply_mod_p(x_to_8n_mod_p(length_b), crc_a) ^ crc_b;
}

}  // namespace zeb

extern "C" {

ZEB_API uint32_t zeb_crc32c(uint32_t crc, const void *data, size_t n)
{
    return data ? zeb::crc32c(crc, data, n) : crc;
}

ZEB_API int32_t zeb_crc32c_with(int32_t method, uint32_t *crc, const void *data, size_t n)
{
    Method f = method_function(method == ZEB_CRC32C_BEST ? best_method() : method);
    if (!f || !crc || (!data && n > 0))
        return ZEB_E_BAD_ARGUMENT;
    if (n > 0)
        *crc = ~f(~*crc, static_cast<const uint8_t *>(data), n);
    return ZEB_OK;
}

ZEB_API int32_t zeb_crc32c_method(void)
{
    return best_method();
}

}  // extern "C"
