// The passes of a row's ranks (see alvora/stats/rank_kernels.hpp) at one
// instruction-set level. With AVX-512 the row is read into keys eight entries
// at a time, the non-NaN ones packed by one instruction; the other levels read
// it value by value. A window is one or two vector comparisons where sorting
// its bucket would take branches on the data; the baseline has no 64-bit
// vector comparison and sorts instead. Helpers are written here rather than
// taken from the standard library, whose out-of-line copies could stand in
// for another level's at link time.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "alvora/rolling/level.hpp"
#include "alvora/stats/rank_kernels.hpp"

namespace alvora::stats::ALVORA_ISA_NS {

namespace {

using rank_kernels::RowKeys;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kSign = 0x8000000000000000ull;

#if defined(__AVX512F__)

RowKeys row_keys(const double* row, std::size_t n, double* out, std::uint64_t* keys,
                 std::uint32_t* columns, double* values) {
    const __m512d nan = _mm512_set1_pd(kNaN), inf = _mm512_set1_pd(kInf);
    const __m512d minus_inf = _mm512_set1_pd(-kInf), zero = _mm512_setzero_pd();
    const __m512i sign = _mm512_set1_epi64(static_cast<long long>(kSign));
    const __m512i lanes = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    __m512i low = _mm512_set1_epi64(-1), high = _mm512_setzero_si512();
    __m512d least = inf, greatest = minus_inf;
    std::size_t m = 0;
    for (std::size_t c = 0; c < n; c += 8) {
        const __mmask8 part = n - c >= 8 ? 0xff : static_cast<__mmask8>((1u << (n - c)) - 1);
        const __m512d x = _mm512_maskz_loadu_pd(part, row + c);
        _mm512_mask_storeu_pd(out + c, part, nan);
        const __mmask8 usable = _mm512_cmp_pd_mask(x, x, _CMP_ORD_Q) & part;
        const __mmask8 finite =
            _mm512_cmp_pd_mask(x, inf, _CMP_LT_OQ) & _mm512_cmp_pd_mask(x, minus_inf, _CMP_GT_OQ);
        // -0 + 0 is +0; negative values' bits all flipped, the others' sign bit set
        const __m512i bits = _mm512_castpd_si512(_mm512_add_pd(x, zero));
        const __m512i key =
            _mm512_xor_si512(bits, _mm512_or_si512(_mm512_maskz_srai_epi64(0xff, bits, 63), sign));
        low = _mm512_mask_min_epu64(low, usable, low, key);
        high = _mm512_mask_max_epu64(high, usable, high, key);
        least = _mm512_mask_min_pd(least, finite, least, x);
        greatest = _mm512_mask_max_pd(greatest, finite, greatest, x);
        const __m512i column = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(c)), lanes);
        _mm512_storeu_si512(keys + m, _mm512_maskz_compress_epi64(usable, key));
        _mm512_storeu_pd(values + m, _mm512_maskz_compress_pd(usable, x));
        _mm512_storeu_si512(columns + m, _mm512_maskz_compress_epi32(usable, column));
        m += static_cast<std::size_t>(_mm_popcnt_u32(usable));
    }
    // the lanes' ranges folded by hand: GCC's reductions read undefined registers
    alignas(64) std::uint64_t lows[8], highs[8];
    alignas(64) double leasts[8], greatests[8];
    _mm512_store_si512(lows, low);
    _mm512_store_si512(highs, high);
    _mm512_store_pd(leasts, least);
    _mm512_store_pd(greatests, greatest);
    RowKeys found;
    found.m = m;
    found.least = kInf;
    found.greatest = -kInf;
    for (int k = 0; k < 8; ++k) {
        found.low = lows[k] < found.low ? lows[k] : found.low;
        found.high = highs[k] > found.high ? highs[k] : found.high;
        found.least = leasts[k] < found.least ? leasts[k] : found.least;
        found.greatest = greatests[k] > found.greatest ? greatests[k] : found.greatest;
    }
    return found;
}

#else

RowKeys row_keys(const double* row, std::size_t n, double* out, std::uint64_t* keys,
                 std::uint32_t* columns, double* values) {
    RowKeys found;
    found.least = kInf;
    found.greatest = -kInf;
    std::size_t m = 0;
    for (std::size_t c = 0; c < n; ++c) {  // written without a branch on NaN
        out[c] = kNaN;
        const double x = row[c];
        const double zeroed = x + 0.0;  // -0 + 0 is +0: zeros share a key
        std::uint64_t bits;
        std::memcpy(&bits, &zeroed, sizeof bits);
        const std::uint64_t key = (bits & kSign) ? ~bits : bits | kSign;
        keys[m] = key;
        columns[m] = static_cast<std::uint32_t>(c);
        values[m] = x;
        const bool usable = x == x;
        found.low = usable && key < found.low ? key : found.low;
        found.high = usable && key > found.high ? key : found.high;
        const bool finite = x < kInf && x > -kInf;
        found.least = finite && x < found.least ? x : found.least;
        found.greatest = finite && x > found.greatest ? x : found.greatest;
        m += usable;
    }
    found.m = m;
    return found;
}

#endif

void value_buckets(const double* values, std::size_t m, double least, double scale, double top,
                   std::uint32_t* bucket_of) {
    for (std::size_t i = 0; i < m; ++i) {
        double t = (values[i] - least) * scale;
        t = t > 0.0 ? t : 0.0;
        t = t < top ? t : top;
        bucket_of[i] = static_cast<std::uint32_t>(t);
    }
}

#if defined(__AVX2__)
static_assert(rank_kernels::kWindow == 16, "a window is two AVX-512 or four AVX2 vectors");

// Bit masks of the keys of window[from, from + 8) below `key` and equal to it.
inline void compare_eight(const std::uint64_t* window, std::uint64_t key, unsigned& below,
                          unsigned& equal) {
#if defined(__AVX512F__)
    const __m512i k = _mm512_set1_epi64(static_cast<long long>(key));
    const __m512i w = _mm512_loadu_si512(window);
    below = _mm512_cmplt_epu64_mask(w, k);
    equal = _mm512_cmpeq_epu64_mask(w, k);
#else
    // unsigned order as signed order once the sign bits are flipped
    const __m256i flip = _mm256_set1_epi64x(static_cast<long long>(kSign));
    const __m256i k = _mm256_set1_epi64x(static_cast<long long>(key));
    const __m256i k_signed = _mm256_xor_si256(k, flip);
    below = 0;
    equal = 0;
    for (int v = 0; v < 2; ++v) {
        const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(window + 4 * v));
        const __m256i lt = _mm256_cmpgt_epi64(k_signed, _mm256_xor_si256(w, flip));
        const __m256i eq = _mm256_cmpeq_epi64(k, w);
        below |= static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(lt))) << (4 * v);
        equal |= static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(eq))) << (4 * v);
    }
#endif
}

// Position by position: an item's bucket, its window and the item itself are
// read in order, the window mostly from the line read for the one before.
void count_in_windows(const std::uint64_t* keys, const std::uint64_t* tags,
                      const std::uint32_t* begin, std::size_t n, std::size_t offset,
                      std::size_t total, double* out) {
    const auto count = static_cast<double>(total);
    // In position order the items of a bucket come one after another, so the
    // branches on its size mostly go the way they went for the item before.
    for (std::size_t p = 0; p < n; ++p) {
        const std::uint64_t bucket = tags[p] >> 32;
        const std::uint32_t first = begin[bucket];
        const std::uint32_t size = begin[bucket + 1] - first;
        std::uint64_t less = offset + first, ties = size;
        if (size <= rank_kernels::kWindow) {
            unsigned below, equal;
            compare_eight(keys + first, keys[p], below, equal);
            if (size > 8) {  // a bucket holds about one value on average
                unsigned more_below, more_equal;
                compare_eight(keys + first + 8, keys[p], more_below, more_equal);
                below |= more_below << 8;
                equal |= more_equal << 8;
            }
            const unsigned in_bucket = (1u << size) - 1;  // the window cut at its end
            less += static_cast<std::uint64_t>(_mm_popcnt_u32(below & in_bucket));
            ties = static_cast<std::uint64_t>(_mm_popcnt_u32(equal & in_bucket));
        }
        // the rounding of the mean of the positions less + 1 .. less + ties
        out[tags[p] & 0xffffffffu] = 0.5 * static_cast<double>(2 * less + 1 + ties) / count;
    }
}
#endif

}  // namespace

rank_kernels::Kernels row_rank_kernels() {
#if defined(__AVX2__)
    return {row_keys, value_buckets, count_in_windows};
#else
    return {row_keys, value_buckets, nullptr};
#endif
}

}  // namespace alvora::stats::ALVORA_ISA_NS
