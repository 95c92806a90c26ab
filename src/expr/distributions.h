// The mass each standard distribution puts on an interval, for table
// generation and the chi-square tail of structure learning.  Every
// function returns -1 when its computation fails (parameters outside the
// domain included) and otherwise a result clamped at 0 from below.
#pragma once

#include <cstddef>

namespace kv {

// P(a < X <= b) for the normal distribution; 0 when b <= a.
double Gauss_cdf(double a, double b, double mean, double variance);
// Exponential with scale (mean) theta: Weibull_cdf(a, b, 1, theta).
double Exponential_cdf(double a, double b, double theta);
// Weibull with shape k and scale lambda, over [max(a, 0), max(b, 0)].
double Weibull_cdf(double a, double b, double k, double lambda);
// Gamma with shape and scale, over (max(a, 0), b].
double Gamma_cdf(double a, double b, double shape, double scale);
// Uniform on [lo, hi].
double Uniform_cdf(double a, double b, double lo, double hi);
// Beta with shapes alpha and beta on [lo, hi].
double Beta_cdf(double a, double b, double alpha, double beta, double lo, double hi);
// The discrete distributions: P(ceil(a) <= X < ceil(b)).
double Binomial_cdf(double a, double b, double n, double p);
double Poisson_cdf(double a, double b, double mean);
// Failures before the n-th success, success probability p.
double NegativeBinomial_cdf(double a, double b, double n, double p);
double Geometric_cdf(double a, double b, double p);
// P(X = k) for the binomial distribution; -1 unless k and n are integers.
double Binomial(double k, double n, double p);

// The same masses for the k intervals [ends[i], ends[i+1]] at once, each
// end's tails computed once; false when the computation fails.
bool Gauss_masses(const double *ends, size_t k, double mean, double variance, double *out);
bool Gamma_masses(const double *ends, size_t k, double shape, double scale, double *out);
bool Beta_masses(const double *ends, size_t k, double alpha, double beta, double lo, double hi, double *out);
bool Binomial_masses(const double *ends, size_t k, double n, double p, double *out);
bool Poisson_masses(const double *ends, size_t k, double mean, double *out);
bool NegativeBinomial_masses(const double *ends, size_t k, double n, double p, double *out);

} // namespace kv

// P(chi-square with df degrees of freedom > x).
double _kv_chi_square_c(double x, double df);
