// Choosing the stream layout for an array: the compression type, slice and
// blocks that give the smallest stream.
//
// Candidates, for elements of W bits: the plain code of that width with every
// slice it carries (8-bit: 0-8, larger slices code as 8; 16-bit: 0-17; 32-bit:
// 0-32) and rows as blocks; for 8- and 16-bit elements also the run-length
// code (slices 0-8 and 0-17), with rows as blocks and with the whole array as
// one block.
//
// Sizes come from counters, none of which writes a stream:
//  - the code length of a difference follows from its magnitude u (d, or
//    -d - 1 when negative) and its sign: with y = 2 (u >> slice) + sign, it is
//    slice + 1 + y bits, or slice + 32 + E for an escape (y > 30).  A plain
//    counter sums these over a stretch of differences for a few slices in one
//    vectorised pass (16-bit lanes with AVX2 for 8- and 16-bit elements);
//  - the run segmentation (which differences are literals, how many literal
//    segments and run pieces) does not depend on the slice, and is found
//    with the encoder's own search (zebruns.h); an exact run counter counts
//    every literal segment's codes with the plain counter and pads it as the
//    encoder does.
//
// Small arrays (up to kExhaustiveElements) get the smallest layout exactly:
// the plain counter over the whole array gives, less the differences between
// rows and those in runs, the exact code bits of every layout; bits in N
// byte-aligned pieces bound its size within 7 N bits; only the layouts whose
// lower bound reaches the smallest upper bound are counted exactly, the one
// with the smallest lower bound first.  Slices from where slice + 1 bits a
// code already exceed the smallest size are not counted at all.
//
// Larger arrays first go through a model: the bits of every slice and the run
// segmentation of a sample of row pieces (every 16th piece of up to 4096
// elements, but at least 8192 elements in 16 pieces where there are that
// many), scaled to the whole array, with 3.5 pad bits per block and literal
// segment.  The model names a best plain slice and a best candidate overall;
// then the plain stream with slice 5, the best plain slice and the
// neighbouring slices the model puts within 0.5% of it, and, where the model
// prefers a run-length stream, that stream and the best of the other
// run-length layout with their close neighbours, are counted exactly over the
// whole array, and the smallest of these is the choice.  So the choice is
// never larger than the slice-5 plain stream with row blocks, whatever the
// sample saw, and every field of the choice is exact: stream_size is the size
// zeb_encode gives for that layout.  Ties go to the slice-5 plain stream, then
// plain before run-length, rows before one block, smaller slices first.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "zebcodec.h"
#include "zebencode_internal.h"
#include "zebparallel.h"
#include "zebruns.h"

#include "zebcpu.h"

namespace {

using zeb::detail::kMaxLiterals;
using zeb::detail::kMinRun;
using zeb::detail::next_run;
using zeb::detail::parallel_min_bytes;
using zeb::detail::resolve_threads;
using zeb::detail::run_end;
using zeb::detail::run_pieces;
using zeb::detail::run_tasks;

constexpr int64_t kHeader = ZEB_COMPRESS_HEADER_SIZE;
constexpr int64_t kExhaustiveElements = 4096;
constexpr int64_t kSpanElements = 4096;   // elements of one sampled piece of a row
constexpr int64_t kSampleStride = 16;     // every 16th piece ...
constexpr int64_t kSampleMinElements = 8192;  // ... but at least 8192 elements
constexpr int64_t kSampleMinSpans = 16;        // ... in at least 16 pieces, where there are
constexpr int kMaxSlices = 33;  // slices 0 .. 32

template <class T> struct Traits;
template <> struct Traits<uint8_t> {
    using D = int32_t;
    static constexpr int bits = 8, escape = 9, plain_ct = ZEB_CT_CRUNCH8, run_ct = ZEB_CT_CRUNCHRUN8, max_slice = 8;
};
template <> struct Traits<int16_t> {
    using D = int32_t;
    static constexpr int bits = 16, escape = 17, plain_ct = ZEB_CT_CRUNCH16, run_ct = ZEB_CT_CRUNCHRUN16,
                         max_slice = 17;
};
template <> struct Traits<int32_t> {
    using D = int64_t;
    static constexpr int bits = 32, escape = 33, plain_ct = ZEB_CT_CRUNCH32, run_ct = -1, max_slice = 32;
};

// Code length in bits of a difference of magnitude u and sign sg (0 or 1).
inline int64_t code_bits(uint64_t u, unsigned sg, unsigned slice, int escape)
{
    const uint64_t y = (u >> slice) << 1 | sg;
    return y <= 30 ? int64_t(slice + 1 + y) : int64_t(slice) + 32 + escape;
}

// Adds the bits of `times` codes of difference d to bits[0 .. max_slice].
template <class T> void add_code_bits(int64_t d, int64_t times, int max_slice, int64_t *bits)
{
    const unsigned sg = d < 0;
    const uint64_t u = static_cast<uint64_t>(sg ? -d - 1 : d);
    for (int s = 0; s <= max_slice; ++s)
        bits[s] += times * code_bits(u, sg, static_cast<unsigned>(s), Traits<T>::escape);
}

// ---- exact counters -------------------------------------------------------

// Bits of the codes of the differences of p[0 .. n) for NS slices: a code is
// slice + 1 + y bits with y = 2 (u >> slice) + sign, or an escape when
// y > 30.  One pass that vectorises: 16-bit lanes for 8- and 16-bit elements
// (u >> slice is capped at 16, which keeps every escape one), 32-bit lanes for
// 32-bit elements; lane sums are emptied before they can overflow.
template <class T, int NS>
[[gnu::always_inline]] inline void plain_bits_body(const T *p, int64_t n, const int *slices, int64_t *bits)
{
    constexpr uint32_t E = Traits<T>::escape;
    using L = std::conditional_t<sizeof(T) < 4, uint16_t, uint32_t>;
    constexpr int64_t kChunk = sizeof(T) < 4 ? 960 : 1 << 16;  // 960 codes of at most 66 bits < 2^16
    unsigned lo[NS], hi[NS];  // slice as two shifts below the lane width
    L plain[NS], esc[NS];
    for (int k = 0; k < NS; ++k) {
        lo[k] = static_cast<unsigned>(slices[k]) / 2;
        hi[k] = static_cast<unsigned>(slices[k]) - lo[k];
        plain[k] = static_cast<L>(slices[k] + 1);
        esc[k] = static_cast<L>(slices[k] + 32 + E);
    }
    for (int64_t j0 = 1; j0 < n; j0 += kChunk) {
        const int64_t j1 = std::min(n, j0 + kChunk);
        L acc[NS] = {};
        for (int64_t j = j0; j < j1; ++j) {
            L u, sg;
            if constexpr (sizeof(T) == 1) {
                const int16_t d = static_cast<int16_t>(int16_t(p[j]) - int16_t(p[j - 1]));
                const int16_t m = static_cast<int16_t>(d >> 15);
                u = static_cast<L>(d ^ m);
                sg = static_cast<L>(m & 1);
            } else {
                const bool neg = p[j] < p[j - 1];
                const L a = static_cast<L>(p[j - 1]), b = static_cast<L>(p[j]);
                u = neg ? static_cast<L>(a - b - 1) : static_cast<L>(b - a);
                sg = neg;
            }
            for (int k = 0; k < NS; ++k) {
                L t = static_cast<L>(static_cast<L>(u >> lo[k]) >> hi[k]);
                if constexpr (sizeof(T) < 4)
                    t = t < 16 ? t : 16;
                else
                    t = t < (L(1) << 30) ? t : (L(1) << 30);
                const L y = static_cast<L>(2 * t + sg);
                acc[k] = static_cast<L>(acc[k] + (y > 30 ? esc[k] : static_cast<L>(plain[k] + y)));
            }
        }
        for (int k = 0; k < NS; ++k)
            bits[k] += static_cast<int64_t>(acc[k]);
    }
}

template <class T, int NS> void plain_bits_base(const T *p, int64_t n, const int *slices, int64_t *bits)
{
    plain_bits_body<T, NS>(p, n, slices, bits);
}

#ifdef ZEB_HAVE_AVX2_PATHS
// Elements j .. j + 15 of 8- or 16-bit data in 16-bit lanes.
template <class T> __attribute__((target("avx2"), always_inline)) inline __m256i load16(const T *p, int64_t j)
{
    if constexpr (sizeof(T) == 2)
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + j));
    else
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + j)));
}

// Adds the code bits beyond slice + 1 of differences j .. j + 15 (those in
// the lanes kept, where Masked) to acc: y = 2 (u >> slice) + sign, or for an
// escape 31 + the escape's payload.
template <class T, int NS, bool Masked>
__attribute__((target("avx2"), always_inline)) inline void count16(const T *p, int64_t j, __m256i keep,
                                                                   const __m128i *shift, const __m256i *esc,
                                                                   __m256i *acc)
{
    const __m256i a = load16(p, j - 1), b = load16(p, j);
    const __m256i neg = _mm256_cmpgt_epi16(a, b);
    const __m256i u = _mm256_xor_si256(_mm256_sub_epi16(b, a), neg);  // d, or -d - 1
    const __m256i sg = _mm256_and_si256(neg, _mm256_set1_epi16(1));
    for (int k = 0; k < NS; ++k) {
        const __m256i t = _mm256_min_epu16(_mm256_srl_epi16(u, shift[k]), _mm256_set1_epi16(16));
        const __m256i y = _mm256_add_epi16(_mm256_add_epi16(t, t), sg);
        __m256i code = _mm256_blendv_epi8(y, esc[k], _mm256_cmpgt_epi16(y, _mm256_set1_epi16(30)));
        if constexpr (Masked)
            code = _mm256_and_si256(code, keep);
        acc[k] = _mm256_add_epi16(acc[k], code);
    }
}

// plain_bits_body for 8- and 16-bit elements in 16-bit lanes with AVX2: each
// slice costs a shift, a minimum, a compare, a blend and three adds for
// sixteen differences.  The last sixteen overlap those before, whose lanes
// are left out.
template <class T, int NS>
__attribute__((target("avx2"))) void plain_bits_avx2(const T *p, int64_t n, const int *slices, int64_t *bits)
{
    constexpr int64_t kStep = 16, kChunk = 960;  // steps between emptyings: 960 codes of at most 66 bits a lane
    if constexpr (sizeof(T) == 4) {
        plain_bits_body<T, NS>(p, n, slices, bits);
    } else {
        if (n - 1 < kStep) {
            plain_bits_body<T, NS>(p, n, slices, bits);
            return;
        }
        constexpr int E = Traits<T>::escape;
        __m128i shift[NS];
        __m256i esc[NS], acc[NS];
        for (int k = 0; k < NS; ++k) {
            shift[k] = _mm_cvtsi32_si128(slices[k]);
            esc[k] = _mm256_set1_epi16(31 + E);
            bits[k] += int64_t(slices[k] + 1) * (n - 1);  // the low bits and the closing bit of every code
        }
        const __m256i lane = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        int64_t j = 1;
        while (j < n) {
            for (int k = 0; k < NS; ++k)
                acc[k] = _mm256_setzero_si256();
            const int64_t j1 = std::min(n + 1 - kStep, j + kChunk * kStep);  // whole steps end at n - 1
            for (; j < j1; j += kStep)
                count16<T, NS, false>(p, j, lane, shift, esc, acc);
            if (j < n && j >= n + 1 - kStep) {  // the last few: lanes before j left out
                const __m256i keep =
                    _mm256_cmpgt_epi16(lane, _mm256_set1_epi16(static_cast<int16_t>(j - (n - kStep) - 1)));
                count16<T, NS, true>(p, n - kStep, keep, shift, esc, acc);
                j = n;
            }
            for (int k = 0; k < NS; ++k) {  // the sixteen lane sums: low and high bytes summed apart
                const __m256i zero = _mm256_setzero_si256();
                const __m256i lo = _mm256_sad_epu8(_mm256_and_si256(acc[k], _mm256_set1_epi16(0xff)), zero);
                const __m256i hi = _mm256_sad_epu8(_mm256_srli_epi16(acc[k], 8), zero);
                const __m256i sum = _mm256_add_epi64(lo, _mm256_slli_epi64(hi, 8));
                const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
                bits[k] += _mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1);
            }
        }
    }
}
#endif

template <class T, int NS> void plain_bits_fixed(const T *p, int64_t n, const int *slices, int64_t *bits)
{
#ifdef ZEB_HAVE_AVX2_PATHS
    if (zeb::have_avx2())
        return plain_bits_avx2<T, NS>(p, n, slices, bits);
#endif
    plain_bits_base<T, NS>(p, n, slices, bits);
}

// Bits of the codes of the differences of p[0 .. n) for ns slices.
template <class T> void plain_bits(const T *p, int64_t n, const int *slices, int ns, int64_t *bits)
{
    for (int k = 0; k < ns; k += 4) {
        switch (std::min(4, ns - k)) {
        case 4: plain_bits_fixed<T, 4>(p, n, slices + k, bits + k); break;
        case 3: plain_bits_fixed<T, 3>(p, n, slices + k, bits + k); break;
        case 2: plain_bits_fixed<T, 2>(p, n, slices + k, bits + k); break;
        default: plain_bits_fixed<T, 1>(p, n, slices + k, bits + k); break;
        }
    }
}

// Exact plain sizes (body bytes) of rows [r0, r1) for ns slices.
template <class T>
void plain_rows_exact(const T *data, int64_t row_length, int64_t r0, int64_t r1, const int *slices, int ns,
                      int64_t *bytes)
{
    constexpr int W = Traits<T>::bits;
    for (int64_t r = r0; r < r1; ++r) {
        const T *p = data + r * row_length;
        int64_t bits[kMaxSlices] = {};
        plain_bits(p, row_length, slices, ns, bits);
        for (int k = 0; k < ns; ++k)
            bytes[k] += (W + bits[k] + 7) / 8;
    }
}

// Exact run-length size (bytes) of one block p[0 .. n) for ns slices: the
// encoder's cut into runs and literal segments, each segment's codes counted
// by the plain counter.
template <class T> void run_block_exact(const T *p, int64_t n, const int *slices, int ns, int64_t *bytes)
{
    static_assert(sizeof(T) < 4, "run-length streams are for 8- and 16-bit elements");
    int64_t pieces = 0;
    for (int64_t j = 1; j < n;) {
        const int64_t k = next_run(p, j, n);
        for (int64_t s = j; s < k; s += kMaxLiterals) {
            int64_t seg[kMaxSlices] = {};
            plain_bits(p + s - 1, std::min(kMaxLiterals, k - s) + 1, slices, ns, seg);
            for (int x = 0; x < ns; ++x)
                bytes[x] += 1 + (seg[x] + 7) / 8;
        }
        if (k == n)
            break;
        const int64_t e = run_end(p, k, n);
        pieces += run_pieces(e - k);
        j = e;
    }
    const int64_t fixed = Traits<T>::bits / 8 + (n == 1 ? 1 : 0) + 3 * pieces;
    for (int x = 0; x < ns; ++x)
        bytes[x] += fixed;
}

// ---- the model --------------------------------------------------------------

inline int64_t literal_segments(int64_t literals) { return (literals + kMaxLiterals - 1) / kMaxLiterals; }

// Runs of a block p[0 .. n) as the encoder cuts it: the literal segments,
// the run pieces and the bits the differences in runs would take as
// literals, for slices 0 .. max_slice.
struct RunCut {
    int64_t segments = 0, pieces = 0, in_runs = 0;  // in_runs: differences in runs
    int64_t run_bits[kMaxSlices] = {};
    void merge(const RunCut &o)
    {
        segments += o.segments;
        pieces += o.pieces;
        in_runs += o.in_runs;
        for (int k = 0; k < kMaxSlices; ++k)
            run_bits[k] += o.run_bits[k];
    }
};

// Adds the runs of p[0 .. n) to out; returns the literals before the first
// run (all n - 1 differences where there is none).
template <class T> int64_t cut_runs(const T *p, int64_t n, int max_slice, RunCut &out)
{
    int64_t first_literals = -1;
    for (int64_t j = 1; j < n;) {
        const int64_t k = next_run(p, j, n);
        if (first_literals < 0)
            first_literals = k - 1;
        out.segments += literal_segments(k - j);
        if (k == n)
            break;
        const int64_t e = run_end(p, k, n);
        out.pieces += run_pieces(e - k);
        out.in_runs += e - k;
        add_code_bits<T>(int64_t(p[k]) - int64_t(p[k - 1]), e - k, max_slice, out.run_bits);
        j = e;
    }
    return first_literals < 0 ? n - 1 : first_literals;
}

// What a sample of row pieces holds.  The run segmentation is the encoder's:
// a maximal stretch of 4 or more equal differences is a run, every other
// difference a literal, and a stretch of m literals between runs takes
// ceil(m / 127) segments.  Literal differences are all differences less
// those in runs.  For one block, a piece that starts a row also has the
// difference from the row before in front; that changes only the first
// stretch of the row, which is accounted for exactly below.
struct Sample {
    int64_t plain[kMaxSlices] = {};      // bits of every sampled difference (rows as blocks), by slice
    RunCut rows;                         // the runs of the sampled pieces (rows as blocks)
    int64_t one_extra[kMaxSlices] = {};  // bits of the literals one block has more (or fewer) than rows
    int64_t diffs_rows = 0, diffs_one = 0, one_extra_count = 0;
    int64_t seg_one_extra = 0, pieces_one_extra = 0;
    void merge(const Sample &o)
    {
        rows.merge(o.rows);
        one_extra_count += o.one_extra_count;
        for (int k = 0; k < kMaxSlices; ++k) {
            plain[k] += o.plain[k];
            one_extra[k] += o.one_extra[k];
        }
        diffs_rows += o.diffs_rows;
        diffs_one += o.diffs_one;
        seg_one_extra += o.seg_one_extra;
        pieces_one_extra += o.pieces_one_extra;
    }
};

// Samples pieces [k0, k1) of the sampled sequence (piece i covers elements
// [i * span, ...) of row i / spans_per_row): the bits of slices
// s0 .. s0 + ns - 1, and with `structure` everything else a Sample holds.
template <class T>
void sample_spans(const T *data, int64_t row_length, int64_t spans_per_row, int64_t stride, int64_t k0, int64_t k1,
                  bool with_run, int s0, int ns, bool structure, Sample &out)
{
    using D = typename Traits<T>::D;
    constexpr int kMax = Traits<T>::max_slice;
    int slices[kMaxSlices];
    for (int x = 0; x < ns; ++x)
        slices[x] = s0 + x;
    for (int64_t k = k0; k < k1; ++k) {
        const int64_t i = k * stride;
        const int64_t row = i / spans_per_row, part = i % spans_per_row;
        const int64_t from = part * kSpanElements, len = std::min(kSpanElements, row_length - from);
        const T *row_start = data + row * row_length;
        // Rows as blocks: a piece that starts a row has no difference before it.
        const T *p = part == 0 ? row_start : row_start + from - 1;
        const int64_t n = part == 0 ? len : len + 1;
        plain_bits(p, n, slices, ns, out.plain + s0);
        if (!structure)
            continue;
        out.diffs_rows += n - 1;
        out.diffs_one += n - 1;
        if (!with_run)
            continue;
        // Runs and literal stretches of the piece, and the literals before its first run.
        int64_t first_literals = n - 1;
        if constexpr (sizeof(T) < 4)
            first_literals = cut_runs(p, n, kMax, out.rows);
        if (part != 0 || row == 0)
            continue;
        // One block: the difference d0 from the row before leads the row.
        const D d0 = D(p[0]) - D(p[-1]);
        int64_t lead = 1;  // the stretch of differences equal to d0 from d0 on
        while (lead < n && D(p[lead]) - D(p[lead - 1]) == d0)
            ++lead;
        out.diffs_one += 1;
        if (lead >= kMinRun + 1) {  // the row's leading run grows by one
            out.pieces_one_extra += run_pieces(lead) - run_pieces(lead - 1);
        } else if (lead == kMinRun) {  // three leading literals become a run of four
            out.pieces_one_extra += 1;
            out.one_extra_count -= kMinRun - 1;
            add_code_bits<T>(d0, -(kMinRun - 1), kMax, out.one_extra);
            out.seg_one_extra += literal_segments(first_literals - (kMinRun - 1)) - literal_segments(first_literals);
        } else {  // d0 joins the first literal stretch
            out.one_extra_count += 1;
            add_code_bits<T>(d0, 1, kMax, out.one_extra);
            out.seg_one_extra += literal_segments(first_literals + 1) - literal_segments(first_literals);
        }
    }
}

struct Candidate {
    int32_t ct = -1, slice = 0;
    bool one_block = false;
    double predicted = 0;
    int64_t lower = 0, upper = 0;  // bounds of the size (small arrays)
    int64_t exact = -1;
    int rank = 0;
};

template <class T>
int32_t choose(const T *data, int64_t count, int64_t row_length, int32_t threads_arg, int64_t exhaustive_max,
               zeb_stream_choice *choice)
{
    constexpr int W = Traits<T>::bits, kMax = Traits<T>::max_slice;
    constexpr bool has_run = Traits<T>::run_ct >= 0;
    const int64_t nrows = count / row_length;
    const bool one_ok = has_run && count <= INT32_MAX;
    const int64_t bytes = count * int64_t(sizeof(T));
    // Counting costs about half as much as coding, so it takes more data
    // before a thread pays.
    const int threads = bytes >= 4 * parallel_min_bytes() ? resolve_threads(threads_arg) : 1;

    try {
        std::vector<Candidate> cands;
        // ranks: slice-5 plain first, then plain, run rows, run one block
        auto add = [&](int32_t ct, int32_t s, bool one) {
            Candidate c;
            c.ct = ct;
            c.slice = s;
            c.one_block = one;
            c.rank = static_cast<int>(cands.size());
            cands.push_back(c);
        };
        add(Traits<T>::plain_ct, 5, false);
        for (int s = 0; s <= kMax; ++s)
            if (s != 5)
                add(Traits<T>::plain_ct, s, false);
        if (has_run) {
            for (int s = 0; s <= kMax; ++s)
                add(Traits<T>::run_ct, s, false);
            if (one_ok)
                for (int s = 0; s <= kMax; ++s)
                    add(Traits<T>::run_ct, s, true);
        }
        auto plain_slices = [&](const std::vector<int> &want) {
            // exact plain sizes for the wanted slices, rows split over threads
            const int ns = static_cast<int>(want.size());
            const int tasks = static_cast<int>(std::min<int64_t>(threads, nrows));
            std::vector<int64_t> part(size_t(tasks) * ns, 0);
            run_tasks(tasks, threads, [&](int t) {
                plain_rows_exact(data, row_length, nrows * t / tasks, nrows * (t + 1) / tasks, want.data(), ns,
                                 part.data() + size_t(t) * ns);
            });
            for (int k = 0; k < ns; ++k) {
                int64_t total = kHeader;
                for (int t = 0; t < tasks; ++t)
                    total += part[size_t(t) * ns + k];
                for (auto &c : cands)
                    if (c.ct == Traits<T>::plain_ct && c.slice == want[k])
                        c.exact = total;
            }
        };
        auto run_slices = [&](const std::vector<int> &want, bool one) {
            if constexpr (has_run) {
                const int ns = static_cast<int>(want.size());
                std::vector<int64_t> total(size_t(ns), kHeader);
                if (one) {
                    run_block_exact(data, count, want.data(), ns, total.data());
                } else {
                    const int tasks = static_cast<int>(std::min<int64_t>(threads, nrows));
                    std::vector<int64_t> part(size_t(tasks) * ns, 0);
                    run_tasks(tasks, threads, [&](int t) {
                        for (int64_t r = nrows * t / tasks; r < nrows * (t + 1) / tasks; ++r)
                            run_block_exact(data + r * row_length, row_length, want.data(), ns,
                                            part.data() + size_t(t) * ns);
                    });
                    for (int t = 0; t < tasks; ++t)
                        for (int k = 0; k < ns; ++k)
                            total[k] += part[size_t(t) * ns + k];
                }
                for (int k = 0; k < ns; ++k)
                    for (auto &c : cands)
                        if (c.ct == Traits<T>::run_ct && c.one_block == one && c.slice == want[k])
                            c.exact = total[k];
            }
        };
        auto slices_around = [&](int s) {
            std::vector<int> v;
            for (int x = std::max(0, s - 1); x <= std::min(kMax, s + 1); ++x)
                v.push_back(x);
            return v;
        };

        if (count <= exhaustive_max) {
            // Exact bit counts of every layout: a pass over the array as a
            // whole counts the codes of every difference, four slices at a
            // time; rows as blocks take those less the differences between
            // rows, run-length layouts also less the differences in runs.
            // B bits in N byte-aligned pieces (blocks or literal segments)
            // with F further bytes take between F + B / 8 and
            // F + (B + 7 N) / 8 bytes.  Every code takes at least slice + 1
            // bits, so the slices from where that alone exceeds the smallest
            // upper bound are not counted, and of the rest only the layouts
            // whose lower bound reaches the smallest upper bound are counted
            // exactly.
            struct Layout {
                int32_t ct;
                bool one;
                int64_t fixed, codes, pieces;  // bytes besides the codes, codes, byte-aligned pieces
                const int64_t *less;           // bits to take from the whole array's, by slice
            };
            int64_t across[kMaxSlices] = {}, rows_less[kMaxSlices] = {}, one_less[kMaxSlices] = {};
            for (int64_t r = 1; r < nrows; ++r)
                add_code_bits<T>(int64_t(data[r * row_length]) - int64_t(data[r * row_length - 1]), 1, kMax, across);
            std::vector<Layout> layouts{{Traits<T>::plain_ct, false, kHeader + nrows * (W / 8), count - nrows, nrows,
                                         across}};
            if constexpr (has_run) {
                RunCut one, rows;
                cut_runs(data, count, kMax, one);
                if (one.pieces == 0) {  // no runs in the array, so none in its rows
                    rows.segments = nrows * literal_segments(row_length - 1);
                } else {
                    for (int64_t r = 0; r < nrows; ++r)
                        cut_runs(data + r * row_length, row_length, kMax, rows);
                }
                for (int k = 0; k <= kMax; ++k) {
                    rows_less[k] = across[k] + rows.run_bits[k];
                    one_less[k] = one.run_bits[k];
                }
                layouts.push_back({Traits<T>::run_ct, false,
                                   kHeader + nrows * (W / 8 + (row_length == 1)) + 3 * rows.pieces + rows.segments,
                                   count - nrows - rows.in_runs, rows.segments, rows_less});
                if (one_ok)
                    layouts.push_back({Traits<T>::run_ct, true,
                                       kHeader + W / 8 + (count == 1) + 3 * one.pieces + one.segments,
                                       count - 1 - one.in_runs, one.segments, one_less});
            }
            for (auto &c : cands)
                c.lower = INT64_MAX;
            int64_t least = INT64_MAX;
            for (int s0 = 0; s0 <= kMax; s0 += 4) {
                int64_t floor = INT64_MAX;  // the least any layout can take from slice s0 on
                for (auto &l : layouts)
                    floor = std::min(floor, l.fixed + (l.codes * (s0 + 1) + 7) / 8);
                if (floor > least)
                    break;
                int slices[4], ns = 0;
                for (int s = s0; s <= std::min(kMax, s0 + 3); ++s)
                    slices[ns++] = s;
                int64_t flat[4] = {};
                plain_bits(data, count, slices, ns, flat);
                for (auto &l : layouts)
                    for (auto &c : cands)
                        if (c.ct == l.ct && c.one_block == l.one && c.slice >= s0 && c.slice < s0 + ns) {
                            const int64_t bits = flat[c.slice - s0] - l.less[c.slice];
                            c.lower = l.fixed + (bits + 7) / 8;
                            c.upper = l.fixed + (bits + 7 * l.pieces) / 8;
                            least = std::min(least, c.upper);
                        }
            }
            auto count_exactly = [&](const std::vector<int> &v, int32_t ct, bool one) {
                if (v.empty())
                    return;
                if (ct == Traits<T>::plain_ct)
                    plain_slices(v);
                else
                    run_slices(v, one);
                for (auto &c : cands)
                    if (c.exact >= 0)
                        least = std::min(least, c.exact);
            };
            // The layout with the smallest lower bound first: its exact size
            // usually rules out the others.
            const Candidate &first = *std::min_element(cands.begin(), cands.end(), [](auto &a, auto &b) {
                return a.lower < b.lower || (a.lower == b.lower && a.rank < b.rank);
            });
            count_exactly({first.slice}, first.ct, first.one_block);
            for (auto [ct, one] : {std::pair{Traits<T>::plain_ct, false}, {Traits<T>::run_ct, false},
                                   {Traits<T>::run_ct, true}}) {
                std::vector<int> v;
                for (auto &c : cands)
                    if (c.ct == ct && c.one_block == one && c.exact < 0 && c.lower <= least)
                        v.push_back(c.slice);
                count_exactly(v, ct, one);
            }
        } else {
            // the model, from a sample of row pieces
            const int64_t spans_per_row = (row_length + kSpanElements - 1) / kSpanElements;
            const int64_t spans = nrows * spans_per_row;
            const int64_t stride =
                std::clamp<int64_t>(std::min(count / kSampleMinElements, spans / kSampleMinSpans), 1, kSampleStride);
            const int64_t sampled = (spans + stride - 1) / stride;
            // The sample is a sixteenth of the data: it takes threads by the
            // same measure as the counting of all of it.  Threads started
            // for a fraction of a millisecond's work would cost more than
            // they save, the more so where the cores are busy.
            const int64_t sampled_bytes = std::min(sampled * kSpanElements, count) * int64_t(sizeof(T));
            const int sample_threads = sampled_bytes >= 4 * parallel_min_bytes() ? threads : 1;
            const int tasks = static_cast<int>(std::min<int64_t>(sample_threads, sampled));
            std::vector<Sample> part(static_cast<size_t>(tasks));
            auto sample = [&](int s0, bool structure) {
                const int ns = std::min(4, kMax + 1 - s0);
                run_tasks(tasks, sample_threads, [&](int t) {
                    sample_spans(data, row_length, spans_per_row, stride, sampled * t / tasks,
                                 sampled * (t + 1) / tasks, has_run, s0, ns, structure, part[t]);
                });
                for (int t = 1; t < tasks; ++t)
                    for (int k = s0; k < s0 + ns; ++k)
                        part[0].plain[k] += std::exchange(part[t].plain[k], 0);
            };
            sample(0, true);
            Sample &s = part[0];
            for (int t = 1; t < tasks; ++t)
                s.merge(part[t]);
            const double seg_one = double(s.rows.segments + s.seg_one_extra);
            const double pieces_one = double(s.rows.pieces + s.pieces_one_extra);
            const double rows_scale =
                s.diffs_rows ? double(nrows) * double(row_length - 1) / double(s.diffs_rows) : 0.0;
            const double one_scale = s.diffs_one ? double(count - 1) / double(s.diffs_one) : 0.0;
            constexpr double kPad = 3.5;  // bits, on average, per block or literal segment
            // The size the model predicts for a layout whose sampled codes take `bits`.
            auto predict = [&](int32_t ct, bool one, double bits) {
                if (ct == Traits<T>::plain_ct)
                    return kHeader + nrows * (W / 8) + (bits * rows_scale + kPad * double(nrows)) / 8;
                if (!one)
                    return kHeader + nrows * (W / 8 + (row_length == 1)) +
                           rows_scale * (3.0 * double(s.rows.pieces) + double(s.rows.segments) * (1 + kPad / 8) + bits / 8);
                return kHeader + W / 8 + (count == 1) +
                       one_scale * (3.0 * pieces_one + seg_one * (1 + kPad / 8) + bits / 8);
            };
            auto sampled_bits = [&](const Candidate &c) {
                const int64_t b = s.plain[c.slice];
                if (c.ct == Traits<T>::plain_ct)
                    return double(b);
                return double(b - s.rows.run_bits[c.slice] + (c.one_block ? s.one_extra[c.slice] : 0));
            };
            // The sampled codes of each layout take at least slice + 1 bits:
            // slices are sampled four at a time from 0 until no layout can
            // be predicted smaller than the best so far.
            const int64_t codes_rows = s.diffs_rows - s.rows.in_runs;
            const int64_t codes_one = codes_rows + s.one_extra_count;
            double best_so_far = HUGE_VAL;
            int counted = 0;
            for (int s0 = 0; s0 <= kMax; s0 += 4) {
                if (s0 > 0) {
                    double floor = predict(Traits<T>::plain_ct, false, double(s.diffs_rows) * (s0 + 1));
                    if (has_run) {
                        floor = std::min(floor, predict(Traits<T>::run_ct, false, double(codes_rows) * (s0 + 1)));
                        if (one_ok)
                            floor = std::min(floor, predict(Traits<T>::run_ct, true, double(codes_one) * (s0 + 1)));
                    }
                    if (floor > best_so_far)
                        break;
                    sample(s0, false);
                }
                counted = std::min(kMax + 1, s0 + 4);
                for (auto &c : cands)
                    if (c.slice >= s0 && c.slice < counted)
                        best_so_far = std::min(best_so_far, c.predicted = predict(c.ct, c.one_block, sampled_bits(c)));
            }
            for (auto &c : cands)
                if (c.slice >= counted)
                    c.predicted = HUGE_VAL;
            auto by_model = [](const Candidate &a, const Candidate &b) {
                return a.predicted < b.predicted || (a.predicted == b.predicted && a.rank < b.rank);
            };
            const Candidate best = *std::min_element(cands.begin(), cands.end(), by_model);
            Candidate best_plain = cands[0];
            for (auto &c : cands)
                if (c.ct == Traits<T>::plain_ct && by_model(c, best_plain))
                    best_plain = c;
            // Counted exactly: slice 5, the best plain slice, and neighbours
            // of the best that the model puts within kClose of it.
            constexpr double kClose = 1.005;
            auto near = [&](const Candidate &b) {
                std::vector<int> v;
                for (int x : slices_around(b.slice)) {
                    for (auto &c : cands)
                        if (c.ct == b.ct && c.one_block == b.one_block && c.slice == x &&
                            (x == b.slice || c.predicted <= b.predicted * kClose))
                            v.push_back(x);
                }
                return v;
            };
            std::vector<int> want = near(best_plain);
            if (std::find(want.begin(), want.end(), 5) == want.end())
                want.push_back(5);
            plain_slices(want);
            if (best.ct != Traits<T>::plain_ct) {
                // Where runs pay, both run-length layouts are counted: the
                // model sees runs that cross rows only in part.
                run_slices(near(best), best.one_block);
                if (one_ok) {
                    Candidate other = best;
                    other.predicted = -1;
                    for (auto &c : cands)
                        if (c.ct == best.ct && c.one_block != best.one_block &&
                            (other.predicted < 0 || by_model(c, other)))
                            other = c;
                    run_slices(near(other), other.one_block);
                }
            }
        }

        const Candidate *pick = nullptr;
        for (auto &c : cands)
            if (c.exact >= 0 && (!pick || c.exact < pick->exact || (c.exact == pick->exact && c.rank < pick->rank)))
                pick = &c;
        choice->compression_type = pick->ct;
        choice->slice = pick->slice;
        choice->block_size = pick->one_block ? static_cast<int32_t>(count) : static_cast<int32_t>(row_length);
        choice->nblocks = pick->one_block ? 1 : static_cast<int32_t>(nrows);
        choice->stream_size = pick->exact;
        return ZEB_OK;
    } catch (const std::bad_alloc &) {
        return ZEB_E_NO_MEMORY;
    }
}

}  // namespace

namespace zeb::detail {

int32_t choose_stream(int32_t width, const void *data, int64_t count, int32_t row_length, int32_t threads,
                      int64_t exhaustive_max, zeb_stream_choice *choice)
{
    if ((width != 1 && width != 2 && width != 4) || !data || !choice || count < 1 || row_length < 1 ||
        count % row_length != 0 || count / row_length > INT32_MAX || count > INT64_MAX / 4)
        return ZEB_E_BAD_ARGUMENT;
    switch (width) {
    case 1: return choose(static_cast<const uint8_t *>(data), count, row_length, threads, exhaustive_max, choice);
    case 2: return choose(static_cast<const int16_t *>(data), count, row_length, threads, exhaustive_max, choice);
    default: return choose(static_cast<const int32_t *>(data), count, row_length, threads, exhaustive_max, choice);
    }
}

}  // namespace zeb::detail

extern "C" ZEB_API int32_t zeb_choose_stream(int32_t width, const void *data, int64_t count, int32_t row_length,
                                             int32_t threads, zeb_stream_choice *choice)
{
    return zeb::detail::choose_stream(width, data, count, row_length, threads, kExhaustiveElements, choice);
}
