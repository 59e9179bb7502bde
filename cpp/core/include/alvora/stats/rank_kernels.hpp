// The passes of a row's ranks that run at the instruction-set level in use
// (see alvora/isa.hpp): reading the row into order keys, placing the values in
// buckets of equal width, and counting ranks within windows of the buckets.
//
// Counting: once the values are placed in buckets by value (every value of a
// bucket below every value of the next), the values below an item are those
// of the buckets before its own plus those below it in its own bucket, which
// a window of kWindow keys from the bucket's start holds whole when the bucket
// has at most kWindow values. No key of a later bucket is below or equal to the
// item's; the window is cut at the bucket's end.
#pragma once

#include <cstddef>
#include <cstdint>

namespace alvora::stats {

// A value's position in the order of doubles as an unsigned key (zeros of both
// signs share one key, so equal values have equal keys), and its column.
struct Keyed {
    std::uint64_t key;
    std::uint32_t column;
};

namespace rank_kernels {

constexpr std::size_t kWindow = 16;
// Buffers written by the passes hold this many entries past their counts.
constexpr std::size_t kSlack = 16;

// The non-NaN entries of a row and their ranges.
struct RowKeys {
    std::size_t m = 0;                    // entries that are not NaN
    std::uint64_t low = ~0ull, high = 0;  // least and greatest of their keys
    double least, greatest;               // least and greatest finite value (+inf, -inf: none)
};

// Writes NaN to out[0, n) and the keys, columns and values of row[0, n)'s
// non-NaN entries, in column order, to keys, columns and values (n + kSlack
// long each).
using Keys = RowKeys (*)(const double* row, std::size_t n, double* out, std::uint64_t* keys,
                         std::uint32_t* columns, double* values);

// bucket_of[i] = (values[i] - least) * scale clamped to [0, top], truncated
// (bucket_of is m + kSlack long).
using Buckets = void (*)(const double* values, std::size_t m, double least, double scale,
                         double top, std::uint32_t* bucket_of);

// For each position p < n of n items placed bucket by bucket (keys[p] of the
// column in the low half of tags[p], in bucket b, the high half, which spans
// positions [begin[b], begin[b + 1])): out[column] = (2 * less + 1 + equal) /
// 2 / total, the mean 1-based position of keys[p] among the `total` keys of the
// row over total, where the n items sit from position `offset` on in the row's
// order and less and equal count the keys below and equal to it: offset +
// begin[b] plus those of its bucket. `keys` is readable kWindow keys past each
// bucket's start. An item whose bucket holds more than kWindow values is
// ranked as if all of them equalled it: right for a bucket of one value, to be
// written again for the others.
using Count = void (*)(const std::uint64_t* keys, const std::uint64_t* tags,
                       const std::uint32_t* begin, std::size_t n, std::size_t offset,
                       std::size_t total, double* out);

struct Kernels {
    Keys keys;
    Buckets buckets;
    Count count;  // nullptr at a level where sorting the buckets is faster
};

Kernels kernels();

}  // namespace rank_kernels

}  // namespace alvora::stats
