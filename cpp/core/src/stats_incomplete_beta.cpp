#include <cmath>
#include <limits>

#include "alvora/stats/incomplete_beta.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTiny = 1e-300;
constexpr double kEps = 1e-16;
constexpr int kMaxIterations = 100000;

// Continued fraction of I_x(a, b) (modified Lentz); converges quickly for
// x < (a + 1) / (a + b + 2).
double beta_continued_fraction(double a, double b, double x) {
    const double qab = a + b;
    const double qap = a + 1.0;
    const double qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 - qab * x / qap;
    if (std::fabs(d) < kTiny) d = kTiny;
    d = 1.0 / d;
    double h = d;
    for (int m = 1; m <= kMaxIterations; ++m) {
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1.0 / d;
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 + aa * d;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = 1.0 + aa / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1.0 / d;
        const double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1.0) < kEps) return h;
    }
    return h;  // not reached for the arguments used here; best estimate
}

// x^a (1-x)^b / (a B(a, b)), through logarithms to avoid overflow.
double front_factor(double a, double b, double x, double complement_x) {
    const double log_beta = std::lgamma(a) + std::lgamma(b) - std::lgamma(a + b);
    return std::exp(a * std::log(x) + b * std::log(complement_x) - log_beta) / a;
}

}  // namespace

double regularized_incomplete_beta(double a, double b, double x, double complement_x) {
    if (!(a > 0.0) || !(b > 0.0) || std::isnan(x) || x < 0.0 || x > 1.0) return kNaN;
    if (x == 0.0) return 0.0;
    if (complement_x == 0.0) return 1.0;
    if (x < (a + 1.0) / (a + b + 2.0)) {
        return front_factor(a, b, x, complement_x) * beta_continued_fraction(a, b, x);
    }
    // Symmetry I_x(a, b) = 1 - I_{1-x}(b, a) where the fraction converges faster.
    return 1.0 - front_factor(b, a, complement_x, x) * beta_continued_fraction(b, a, complement_x);
}

double regularized_incomplete_beta(double a, double b, double x) {
    return regularized_incomplete_beta(a, b, x, 1.0 - x);
}

double correlation_p_value(double r, double dof) {
    if (std::isnan(r) || std::isnan(dof) || dof <= 0.0) return kNaN;
    const double abs_r = std::fabs(r);
    if (abs_r >= 1.0) return 0.0;
    // 1 - r^2 as a product keeps its relative precision when |r| is close to 1.
    const double x = (1.0 - abs_r) * (1.0 + abs_r);
    return regularized_incomplete_beta(0.5 * dof, 0.5, x, abs_r * abs_r);
}

}  // namespace alvora::stats
