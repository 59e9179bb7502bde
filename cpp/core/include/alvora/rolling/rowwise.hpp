// Window-matrix reductions: one row (one window, oldest first) to one value.
//
// These are the plain definitions of the kernels, evaluated window by window
// exactly as written (two-pass deviations, raw moments where the definition
// uses them). They serve windows that need IEEE-exact treatment of
// infinities, reductions of a window matrix supplied from outside, and tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace alvora::rolling::rowwise {

using std::size_t;

double sum(const double* r, size_t n);
std::int64_t sum(const std::int64_t* r, size_t n);  // wraps like numpy
double product(const double* r, size_t n);  // rounded once from the exact product
std::int64_t product(const std::int64_t* r, size_t n);
double mean(const double* r, size_t n);
double ema(const double* r, size_t n);
double wma(const double* r, size_t n);
double var(const double* r, size_t n);
double stddev(const double* r, size_t n);
double zscore(const double* r, size_t n, double newest);
double skew(const double* r, const double* r3, size_t n);
double kurt(const double* r, size_t n);
double avedev(const double* r, size_t n);
double slope(const double* r, size_t n);

template <class T> T min(const T* r, size_t n);
template <class T> T max(const T* r, size_t n);
template <class T> double argmin(const T* r, size_t n);
template <class T> double argmax(const T* r, size_t n);
template <class T> double rank(const T* r, size_t n);
std::int64_t count(const std::uint8_t* r, size_t n);

double covariance(const double* ra, const double* rb, const double* rab, size_t n);
double correlation(const double* ra, const double* rb, const double* rab, size_t n);
double regression(const double* rx, const double* ry, const double* rxy, const double* rx2,
                  size_t n);

}  // namespace alvora::rolling::rowwise
