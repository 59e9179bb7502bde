// Window-matrix reductions, written as the definitions read.
#include "alvora/rolling/rowwise.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

namespace alvora::rolling::rowwise {

double sum(const double* r, size_t n) {
    double s = 0.0;
    for (size_t j = 0; j < n; ++j) s += r[j];
    return s;
}

std::int64_t sum(const std::int64_t* r, size_t n) {
    std::uint64_t s = 0;
    for (size_t j = 0; j < n; ++j) s += static_cast<std::uint64_t>(r[j]);
    return static_cast<std::int64_t>(s);
}

// The product rounded from its exact value, whatever the order of the
// values: mantissas multiply with the exponents summed apart, so no partial
// product overflows or underflows. A zero gives a zero and an infinity an
// infinity, signed by all the signs; NaN only from a NaN or an infinity
// times a zero.
double product(const double* r, size_t n) {
    double m = 1.0;  // in [0.5, 1) after each step
    long long e = 0;
    bool zero = false, infinite = false, negative = false;
    for (size_t j = 0; j < n; ++j) {
        const double v = r[j];
        if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
        negative ^= std::signbit(v);
        if (v == 0.0) {
            zero = true;
        } else if (std::isinf(v)) {
            infinite = true;
        } else {
            int k = 0;
            m *= std::frexp(std::fabs(v), &k);
            e += k;
            m = std::frexp(m, &k);
            e += k;
        }
    }
    if (zero && infinite) return std::numeric_limits<double>::quiet_NaN();
    const int scale = static_cast<int>(std::clamp(e, -4000LL, 4000LL));  // beyond: 0 or inf
    const double magnitude = zero ? 0.0 : infinite ? HUGE_VAL : std::ldexp(m, scale);
    return negative ? -magnitude : magnitude;
}

std::int64_t product(const std::int64_t* r, size_t n) {
    std::uint64_t p = 1;
    for (size_t j = 0; j < n; ++j) p *= static_cast<std::uint64_t>(r[j]);
    return static_cast<std::int64_t>(p);
}

double mean(const double* r, size_t n) { return sum(r, n) / static_cast<double>(n); }

double ema(const double* r, size_t n) {
    const double alpha = 2.0 / (static_cast<double>(n) + 1.0);
    double s = 0.0;
    for (size_t j = 0; j < n; ++j)
        s += r[j] * (alpha * std::pow(1.0 - alpha, static_cast<double>(n - 1 - j)));
    return s;
}

double wma(const double* r, size_t n) {
    const double denom = static_cast<double>(n) * (static_cast<double>(n) + 1.0);
    double s = 0.0;
    for (size_t j = 0; j < n; ++j) s += r[j] * (2.0 * static_cast<double>(j + 1) / denom);
    return s;
}

double var(const double* r, size_t n) {
    const double m = mean(r, n);
    double s = 0.0;
    for (size_t j = 0; j < n; ++j) s += (r[j] - m) * (r[j] - m);
    return s / static_cast<double>(n);
}

double stddev(const double* r, size_t n) { return std::sqrt(var(r, n)); }

double zscore(const double* r, size_t n, double newest) {
    return (newest - mean(r, n)) / stddev(r, n);
}

double skew(const double* r, const double* r3, size_t n) {
    const double u = mean(r, n);
    const double u3 = mean(r3, n);
    const double sd = stddev(r, n);
    const double g = (u3 - 3.0 * u * sd * sd - u * u * u) / (sd * sd * sd);
    if (n > 2) {
        const double nd = static_cast<double>(n);
        return std::sqrt(nd * (nd - 1.0)) / (nd - 2.0) * g;
    }
    return g;
}

double kurt(const double* r, size_t n) {
    if (n == 1) return -3.0;
    if (n == 2) return -2.0;
    if (n == 3) return -1.5;
    const double m = mean(r, n);
    double s2 = 0.0, s4 = 0.0;
    for (size_t j = 0; j < n; ++j) {
        const double d2 = (r[j] - m) * (r[j] - m);
        s2 += d2;
        s4 += d2 * d2;
    }
    const double nd = static_cast<double>(n);
    const double m2 = s2 / nd, m4 = s4 / nd;
    return 1.0 / ((nd - 2.0) * (nd - 3.0)) *
           ((nd * nd - 1.0) * m4 / (m2 * m2) - 3.0 * (nd - 1.0) * (nd - 1.0));
}

double avedev(const double* r, size_t n) {
    const double m = mean(r, n);
    double s = 0.0;
    for (size_t j = 0; j < n; ++j) s += std::fabs(r[j] - m);
    return s / static_cast<double>(n);
}

double slope(const double* r, size_t n) {
    const double nd = static_cast<double>(n);
    double sumx = 0.0;
    for (size_t j = 0; j < n; ++j) sumx += static_cast<double>(j);
    const double sumxsqr = nd * (nd - 1.0) * (2.0 * nd - 1.0) / 6.0;
    const double divisor = sumx * sumx - nd * sumxsqr;
    double s = 0.0, st = 0.0;
    for (size_t j = 0; j < n; ++j) {
        s += r[j];
        st += r[j] * static_cast<double>(j);
    }
    return (s * sumx - nd * st) / divisor;
}

template <class T>
T min(const T* r, size_t n) {
    T best = r[0];
    for (size_t j = 0; j < n; ++j) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(r[j])) return r[j];
        }
        if (r[j] < best) best = r[j];
    }
    return best;
}

template <class T>
T max(const T* r, size_t n) {
    T best = r[0];
    for (size_t j = 0; j < n; ++j) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(r[j])) return r[j];
        }
        if (r[j] > best) best = r[j];
    }
    return best;
}

template <class T>
double argmin(const T* r, size_t n) {
    size_t best = 0;
    for (size_t j = 0; j < n; ++j) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(r[j])) return static_cast<double>(j);
        }
        if (r[j] < r[best]) best = j;
    }
    return static_cast<double>(best);
}

template <class T>
double argmax(const T* r, size_t n) {
    size_t best = 0;
    for (size_t j = 0; j < n; ++j) {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(r[j])) return static_cast<double>(j);
        }
        if (r[j] > r[best]) best = j;
    }
    return static_cast<double>(best);
}

template <class T>
double rank(const T* r, size_t n) {
    const T newest = r[n - 1];
    if constexpr (std::is_floating_point_v<T>) {
        if (std::isnan(newest)) return static_cast<double>(n - 1) / static_cast<double>(n);
    }
    size_t below = 0;  // older values sorting before the newest (ties: older first)
    for (size_t j = 0; j + 1 < n; ++j) below += (r[j] <= newest) ? 1 : 0;
    return static_cast<double>(below) / static_cast<double>(n);
}

std::int64_t count(const std::uint8_t* r, size_t n) {
    std::int64_t c = 0;
    for (size_t j = 0; j < n; ++j) c += r[j] != 0 ? 1 : 0;
    return c;
}

double covariance(const double* ra, const double* rb, const double* rab, size_t n) {
    return mean(rab, n) - mean(ra, n) * mean(rb, n);
}

double correlation(const double* ra, const double* rb, const double* rab, size_t n) {
    return (mean(rab, n) - mean(ra, n) * mean(rb, n)) / (stddev(ra, n) * stddev(rb, n));
}

double regression(const double* rx, const double* ry, const double* rxy, const double* rx2,
                  size_t n) {
    const double nd = static_cast<double>(n);
    const double xm = mean(rx, n), ym = mean(ry, n);
    const double v1 = sum(rxy, n) - xm * ym * nd;
    const double v2 = sum(rx2, n) - xm * xm * nd;
    return v1 / v2;
}

template double min<double>(const double*, size_t);
template std::int64_t min<std::int64_t>(const std::int64_t*, size_t);
template std::uint8_t min<std::uint8_t>(const std::uint8_t*, size_t);
template double max<double>(const double*, size_t);
template std::int64_t max<std::int64_t>(const std::int64_t*, size_t);
template std::uint8_t max<std::uint8_t>(const std::uint8_t*, size_t);
template double argmin<double>(const double*, size_t);
template double argmin<std::int64_t>(const std::int64_t*, size_t);
template double argmin<std::uint8_t>(const std::uint8_t*, size_t);
template double argmax<double>(const double*, size_t);
template double argmax<std::int64_t>(const std::int64_t*, size_t);
template double argmax<std::uint8_t>(const std::uint8_t*, size_t);
template double rank<double>(const double*, size_t);
template double rank<std::int64_t>(const std::int64_t*, size_t);

}  // namespace alvora::rolling::rowwise
