// Covariance, correlation and regression slope of two series over sliding windows.
//
// Sums are taken of a - ca and b - cb, with (ca, cb) a pair of values inside
// the window (see power_sums.hpp); the raw-moment expressions are the same after
// this shift and keep their accuracy when the series sit at a large level. A
// window whose first series is constant has exactly zero centred sums.
#include <cmath>
#include <limits>
#include <vector>

#include "alvora/rolling/power_sums.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/rowwise.hpp"

namespace alvora::rolling {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Window sums of a - ca, b - cb, their squares and product, and the number
// of NaN values (in either series).
enum Feature { kA, kB, kAA, kBB, kAB, kNan, kFeatures };

detail::WindowSums<kFeatures> pair_sums(std::span<const double> a, std::span<const double> b,
                                        size_t n) {
    const double* pa = a.data();
    const double* pb = b.data();
    auto feat = [pa, pb](size_t pos, size_t c, double (&v)[kFeatures]) {
        const double ya = pa[pos] - pa[c], yb = pb[pos] - pb[c];
        v[kA] = ya;
        v[kB] = yb;
        v[kAA] = ya * ya;
        v[kBB] = yb * yb;
        v[kAB] = ya * yb;
        v[kNan] = (pa[pos] != pa[pos]) || (pb[pos] != pb[pos]) ? 1.0 : 0.0;
    };
    return detail::block_sums<kFeatures>(a.size(), n, feat, false);
}

// Runs finish(i, sa, sb, saa, sbb, sab) on windows free of NaN and
// infinities, defined(i) (the definition, value by value) on windows with an
// infinity, and writes NaN for windows with a NaN.
template <class Finish, class Defined>
void pairwise(std::span<const double> a, std::span<const double> b, size_t n,
              std::span<double> out, Finish finish, Defined defined) {
    const auto ws = pair_sums(a, b, n);
    const double *sa = ws.s[kA].data(), *sb = ws.s[kB].data(), *saa = ws.s[kAA].data(),
                 *sbb = ws.s[kBB].data(), *sab = ws.s[kAB].data(), *nan = ws.s[kNan].data();
    for (size_t i = 0; i < out.size(); ++i) {
        if (nan[i] > 0.0)
            out[i] = kNaN;
        else if (sa[i] - sa[i] != 0.0 || sb[i] - sb[i] != 0.0)
            out[i] = defined(i);
        else
            out[i] = finish(sa[i], sb[i], saa[i], sbb[i], sab[i]);
    }
}

// The products a * b and a * a of one window, formed as the definitions do.
struct Products {
    std::vector<double> ab, aa;
    Products(const double* a, const double* b, size_t n) : ab(n), aa(n) {
        for (size_t j = 0; j < n; ++j) {
            ab[j] = a[j] * b[j];
            aa[j] = a[j] * a[j];
        }
    }
};

}  // namespace

void covariance(std::span<const double> a, std::span<const double> b, size_t n,
                std::span<double> out) {
    const double nd = static_cast<double>(n);
    pairwise(
        a, b, n, out,
        [nd](double sa, double sb, double, double, double sab) {
            return sab / nd - (sa / nd) * (sb / nd);
        },
        [&](size_t i) {
            Products p(a.data() + i, b.data() + i, n);
            return rowwise::covariance(a.data() + i, b.data() + i, p.ab.data(), n);
        });
}

void correlation(std::span<const double> a, std::span<const double> b, size_t n,
                 std::span<double> out) {
    const double nd = static_cast<double>(n);
    pairwise(
        a, b, n, out,
        [nd](double sa, double sb, double saa, double sbb, double sab) {
            const double cov = sab / nd - (sa / nd) * (sb / nd);
            const double va = saa - sa * (sa / nd), vb = sbb - sb * (sb / nd);
            const double da = std::sqrt((va > 0.0 ? va : 0.0) / nd);
            const double db = std::sqrt((vb > 0.0 ? vb : 0.0) / nd);
            return cov / (da * db);
        },
        [&](size_t i) {
            Products p(a.data() + i, b.data() + i, n);
            return rowwise::correlation(a.data() + i, b.data() + i, p.ab.data(), n);
        });
}

void regression(std::span<const double> x, std::span<const double> y, size_t n,
                std::span<double> out) {
    const double nd = static_cast<double>(n);
    pairwise(
        x, y, n, out,
        [nd](double sx, double sy, double sxx, double, double sxy) {
            const double v1 = sxy - sx * (sy / nd);
            const double v2 = sxx - sx * (sx / nd);
            return v1 / (v2 > 0.0 ? v2 : 0.0);
        },
        [&](size_t i) {
            Products p(x.data() + i, y.data() + i, n);
            return rowwise::regression(x.data() + i, y.data() + i, p.ab.data(), p.aa.data(), n);
        });
}

}  // namespace alvora::rolling
