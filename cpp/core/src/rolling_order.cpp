// Extremes, their positions, ranks and counts over sliding windows.
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "alvora/rolling/kernels.hpp"

namespace alvora::rolling {

namespace {

template <class T>
bool is_nan(T v) {
    if constexpr (std::is_floating_point_v<T>)
        return std::isnan(v);
    else
        return false;
}

// Fixed-capacity ring of positions (at most n live entries).
class Ring {
public:
    explicit Ring(size_t cap) : buf_(cap + 1), cap_(cap + 1) {}
    bool empty() const { return head_ == tail_; }
    size_t front() const { return buf_[head_]; }
    size_t back() const { return buf_[tail_ == 0 ? cap_ - 1 : tail_ - 1]; }
    void push_back(size_t v) {
        buf_[tail_] = v;
        tail_ = tail_ + 1 == cap_ ? 0 : tail_ + 1;
    }
    void pop_back() { tail_ = tail_ == 0 ? cap_ - 1 : tail_ - 1; }
    void pop_front() { head_ = head_ + 1 == cap_ ? 0 : head_ + 1; }

private:
    std::vector<size_t> buf_;
    size_t cap_;
    size_t head_ = 0, tail_ = 0;
};

// Monotonic queue over the numbers of each window, oldest extreme in front
// (equal values are kept, so the front is the first occurrence); NaN
// positions are queued separately. emit(i, best_pos, first_nan_pos or npos).
template <class T, bool Max, class Emit>
void scan_extreme(std::span<const T> x, size_t n, Emit emit) {
    constexpr size_t npos = static_cast<size_t>(-1);
    Ring q(n + 1), nans(n + 1);  // the newest entry joins before the oldest leaves
    const size_t L = x.size();
    for (size_t e = 0; e < L; ++e) {
        const T v = x[e];
        if (is_nan(v)) {
            nans.push_back(e);
        } else {
            if constexpr (Max) {
                while (!q.empty() && x[q.back()] < v) q.pop_back();
            } else {
                while (!q.empty() && x[q.back()] > v) q.pop_back();
            }
            q.push_back(e);
        }
        if (e + 1 < n) continue;
        const size_t i = e + 1 - n;
        while (!q.empty() && q.front() < i) q.pop_front();
        while (!nans.empty() && nans.front() < i) nans.pop_front();
        emit(i, q.empty() ? npos : q.front(), nans.empty() ? npos : nans.front());
    }
}

template <class T, bool Max>
void extreme_value(std::span<const T> x, size_t n, std::span<T> out) {
    constexpr size_t npos = static_cast<size_t>(-1);
    scan_extreme<T, Max>(x, n, [&](size_t i, size_t best, size_t nan) {
        out[i] = nan != npos ? x[nan] : x[best];
    });
}

template <class T, bool Max>
void extreme_position(std::span<const T> x, size_t n, std::span<double> out) {
    constexpr size_t npos = static_cast<size_t>(-1);
    scan_extreme<T, Max>(x, n, [&](size_t i, size_t best, size_t nan) {
        out[i] = static_cast<double>((nan != npos ? nan : best) - i);
    });
}

// below[i] += (x[i + j] <= newest[i]) over the older positions j; windows in
// the inner loop so the comparisons vectorise.
template <class T>
__attribute__((always_inline)) inline void count_le(const T* x, const T* newest,
                                                    std::int64_t* below, size_t cnt, size_t n) {
    for (size_t j = 0; j + 1 < n; ++j) {
        const T* xj = x + j;
        for (size_t i = 0; i < cnt; ++i) below[i] += xj[i] <= newest[i] ? 1 : 0;
    }
}

__attribute__((target_clones("avx2", "default"))) void count_le_f64(
    const double* x, const double* newest, std::int64_t* below, size_t cnt, size_t n) {
    count_le(x, newest, below, cnt, n);
}

__attribute__((target_clones("avx2", "default"))) void count_le_i64(
    const std::int64_t* x, const std::int64_t* newest, std::int64_t* below, size_t cnt,
    size_t n) {
    count_le(x, newest, below, cnt, n);
}

template <class T, class Count>
void rank_impl(std::span<const T> x, size_t n, std::span<double> out, Count count_fn) {
    constexpr size_t kChunk = 512;
    std::int64_t below[kChunk];
    const double nd = static_cast<double>(n);
    const T* newest = x.data() + n - 1;
    for (size_t i0 = 0; i0 < out.size(); i0 += kChunk) {
        const size_t cnt = std::min(kChunk, out.size() - i0);
        std::fill(below, below + cnt, 0);
        count_fn(x.data() + i0, newest + i0, below, cnt, n);
        for (size_t i = 0; i < cnt; ++i) {
            // A NaN newest value sorts after everything; IEEE comparisons
            // already leave older NaNs out of a number's count.
            const bool nan = is_nan(newest[i0 + i]);
            out[i0 + i] = (nan ? nd - 1.0 : static_cast<double>(below[i])) / nd;
        }
    }
}

template <class T>
void count_impl(std::span<const T> x, size_t n, std::span<std::int64_t> out) {
    // NaN != 0 holds, so NaN counts as true.
    std::int64_t c = 0;
    for (size_t e = 0; e < x.size(); ++e) {
        c += x[e] != T(0) ? 1 : 0;
        if (e + 1 < n) continue;
        const size_t i = e + 1 - n;
        out[i] = c;
        c -= x[i] != T(0) ? 1 : 0;
    }
}

}  // namespace

void ts_min(std::span<const double> x, size_t n, std::span<double> out) {
    extreme_value<double, false>(x, n, out);
}
void ts_min(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    extreme_value<std::int64_t, false>(x, n, out);
}
void ts_min(std::span<const Bool> x, size_t n, std::span<Bool> out) {
    extreme_value<Bool, false>(x, n, out);
}
void ts_max(std::span<const double> x, size_t n, std::span<double> out) {
    extreme_value<double, true>(x, n, out);
}
void ts_max(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    extreme_value<std::int64_t, true>(x, n, out);
}
void ts_max(std::span<const Bool> x, size_t n, std::span<Bool> out) {
    extreme_value<Bool, true>(x, n, out);
}

void ts_argmin(std::span<const double> x, size_t n, std::span<double> out) {
    extreme_position<double, false>(x, n, out);
}
void ts_argmin(std::span<const std::int64_t> x, size_t n, std::span<double> out) {
    extreme_position<std::int64_t, false>(x, n, out);
}
void ts_argmin(std::span<const Bool> x, size_t n, std::span<double> out) {
    extreme_position<Bool, false>(x, n, out);
}
void ts_argmax(std::span<const double> x, size_t n, std::span<double> out) {
    extreme_position<double, true>(x, n, out);
}
void ts_argmax(std::span<const std::int64_t> x, size_t n, std::span<double> out) {
    extreme_position<std::int64_t, true>(x, n, out);
}
void ts_argmax(std::span<const Bool> x, size_t n, std::span<double> out) {
    extreme_position<Bool, true>(x, n, out);
}

void ts_rank(std::span<const double> x, size_t n, std::span<double> out) {
    rank_impl(x, n, out, count_le_f64);
}
void ts_rank(std::span<const std::int64_t> x, size_t n, std::span<double> out) {
    rank_impl(x, n, out, count_le_i64);
}

void count(std::span<const double> x, size_t n, std::span<std::int64_t> out) {
    count_impl(x, n, out);
}
void count(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    count_impl(x, n, out);
}
void count(std::span<const Bool> x, size_t n, std::span<std::int64_t> out) {
    count_impl(x, n, out);
}

}  // namespace alvora::rolling
