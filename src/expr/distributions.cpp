// Interval masses of the standard distributions.  A mass is the difference
// of two distribution-function values; each is formed from whichever tails
// are the smaller, so that tail intervals keep their relative accuracy.
#include "distributions.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "special.h"

namespace kv {

namespace {

double clamp(double v)
{
    return v > 0 ? v : 0.0;
}

double erf(double x)
{
    return special::calerf(x, 0);
}

double erfc(double x)
{
    return special::calerf(x, 1);
}

bool is_whole(double v)
{
    return std::isfinite(v) && v == std::trunc(v);
}

// The smallest whole number not below v, kept as a double (infinite ends
// stay infinite).
double ceiling(double v)
{
    return std::ceil(v);
}

} // namespace

double Gauss_cdf(double a, double b, double mean, double variance)
{
    if (!(variance > 0) || !std::isfinite(mean) || !std::isfinite(variance) || std::isnan(a) || std::isnan(b))
        return -1;
    if (!(b > a))
        return 0.0;
    double s = std::sqrt(2 * variance);
    double z1 = (a - mean) / s, z2 = (b - mean) / s;
    constexpr double thresh = 0.46875;
    double v;
    if (std::fabs(z1) < thresh && std::fabs(z2) < thresh)
        v = 0.5 * (erf(z2) - erf(z1));
    else if (z1 >= 0) // both above the mean: the upper tails
        v = 0.5 * (erfc(z1) - erfc(z2));
    else if (z2 <= 0) // both below: the lower tails
        v = 0.5 * (erfc(-z2) - erfc(-z1));
    else // around the mean: one minus both tails
        v = 0.5 * ((2 - erfc(-z1)) - erfc(z2));
    return clamp(v);
}

double Weibull_cdf(double a, double b, double k, double lambda)
{
    if (!(k > 0) || !(lambda > 0) || !std::isfinite(k) || !std::isfinite(lambda) || std::isnan(a) ||
        std::isnan(b))
        return -1;
    double lo = std::max(a, 0.0), hi = std::max(b, 0.0);
    if (!(hi > lo))
        return 0.0;
    double u1 = std::pow(lo / lambda, k);
    if (hi >= DBL_MAX)
        return clamp(std::exp(-u1));
    double u2 = std::pow(hi / lambda, k);
    // e^-u1 - e^-u2 without cancelling when the two are close.
    return clamp(std::exp(-u1) * -std::expm1(u1 - u2));
}

double Exponential_cdf(double a, double b, double theta)
{
    return Weibull_cdf(a, b, 1, theta);
}

double Gamma_cdf(double a, double b, double shape, double scale)
{
    if (!(shape > 0) || !(scale > 0) || !std::isfinite(shape) || !std::isfinite(scale) || std::isnan(a) ||
        std::isnan(b))
        return -1;
    double lo = std::max(a, 0.0);
    if (!(b > lo))
        return 0.0;
    double p1, q1;
    if (!special::gamma_ratio(shape, lo / scale, p1, q1))
        return -1;
    if (b >= DBL_MAX)
        return clamp(q1);
    double p2, q2;
    if (!special::gamma_ratio(shape, b / scale, p2, q2))
        return -1;
    return clamp(q1 < p1 ? q1 - q2 : p2 - p1);
}

double Uniform_cdf(double a, double b, double lo, double hi)
{
    if (!(lo < hi) || !std::isfinite(lo) || !std::isfinite(hi) || std::isnan(a) || std::isnan(b))
        return -1;
    if (a >= hi || b <= lo || !(b > a))
        return 0.0;
    if (a <= lo && b >= hi)
        return 1.0;
    return clamp((std::min(b, hi) - std::max(a, lo)) / (hi - lo));
}

double Beta_cdf(double a, double b, double alpha, double beta, double lo, double hi)
{
    if (!(alpha > 0) || !(beta > 0) || !std::isfinite(alpha) || !std::isfinite(beta) || !(lo < hi) ||
        !std::isfinite(lo) || !std::isfinite(hi) || std::isnan(a) || std::isnan(b))
        return -1;
    double lower = std::max(a, lo), upper = std::min(b, hi);
    if (!(upper > lower))
        return 0.0;
    double width = hi - lo;
    // Each point and its complement as computed from the interval: near
    // the upper end the complement is the accurate one.
    auto ratio = [&](double point, double &w, double &w1) {
        double x = (point - lo) / width, y = (hi - point) / width;
        if (special::beta_ratio(alpha, beta, x, y, w, w1))
            return true;
        // Rounding can put x + y a few units from 1.
        return special::beta_ratio(alpha, beta, x, 0.5 + (0.5 - x), w, w1);
    };
    double w_lo, w1_lo, w_hi, w1_hi;
    if (!ratio(lower, w_lo, w1_lo) || !ratio(upper, w_hi, w1_hi))
        return -1;
    return clamp(w1_lo < w_lo ? w1_lo - w1_hi : w_hi - w_lo);
}

double Binomial_cdf(double a, double b, double n, double p)
{
    if (!is_whole(n) || !(n >= 0) || !(p >= 0 && p <= 1) || std::isnan(a) || std::isnan(b))
        return -1;
    double ka = std::max(ceiling(a), 0.0), kb = ceiling(b);
    if (kb <= 0 || kb <= ka || n < ka)
        return 0.0;
    double q = 0.5 + (0.5 - p);
    // P(X >= k) = I_p(k, n - k + 1) and P(X < k), for 0 < k <= n.
    auto tails = [&](double k, double &upper, double &lower) {
        if (k <= 0) {
            upper = 1;
            lower = 0;
            return true;
        }
        if (k > n) {
            upper = 0;
            lower = 1;
            return true;
        }
        return special::beta_ratio(k, n - k + 1, p, q, upper, lower);
    };
    double u1, l1, u2, l2;
    if (!tails(ka, u1, l1) || !tails(kb, u2, l2))
        return -1;
    return clamp(u1 < l1 ? u1 - u2 : l2 - l1);
}

double Poisson_cdf(double a, double b, double mean)
{
    if (!(mean >= 0) || !std::isfinite(mean) || std::isnan(a) || std::isnan(b))
        return -1;
    double ka = std::max(ceiling(a), 0.0), kb = ceiling(b);
    if (kb <= 0 || kb <= ka)
        return 0.0;
    if (mean == 0)
        return ka <= 0 ? 1.0 : 0.0;
    // P(X >= k) = P(k, mean) and P(X < k) = Q(k, mean) for k >= 1.
    auto tails = [&](double k, double &upper, double &lower) {
        if (k <= 0) {
            upper = 1;
            lower = 0;
            return true;
        }
        if (k >= DBL_MAX) {
            upper = 0;
            lower = 1;
            return true;
        }
        return special::gamma_ratio(k, mean, upper, lower);
    };
    double u1, l1, u2, l2;
    if (!tails(ka, u1, l1) || !tails(kb, u2, l2))
        return -1;
    return clamp(u1 < l1 ? u1 - u2 : l2 - l1);
}

double NegativeBinomial_cdf(double a, double b, double n, double p)
{
    if (!(n > 0) || !std::isfinite(n) || !(p > 0 && p <= 1) || std::isnan(a) || std::isnan(b))
        return -1;
    double ka = std::max(ceiling(a), 0.0), kb = ceiling(b);
    if (kb <= 0 || kb <= ka)
        return 0.0;
    double q = 0.5 + (0.5 - p);
    // P(X < k) = P(X <= k - 1) = I_p(n, k) for k >= 1.
    auto tails = [&](double k, double &upper, double &lower) {
        if (k <= 0) {
            upper = 1;
            lower = 0;
            return true;
        }
        if (k >= DBL_MAX) {
            upper = 0;
            lower = 1;
            return true;
        }
        return special::beta_ratio(n, k, p, q, lower, upper);
    };
    double u1, l1, u2, l2;
    if (!tails(ka, u1, l1) || !tails(kb, u2, l2))
        return -1;
    return clamp(u1 < l1 ? u1 - u2 : l2 - l1);
}

double Geometric_cdf(double a, double b, double p)
{
    return NegativeBinomial_cdf(a, b, 1, p);
}

double Binomial(double k, double n, double p)
{
    if (!is_whole(k) || !is_whole(n) || !(n >= 0) || !(p >= 0 && p <= 1))
        return -1;
    if (k < 0 || k > n)
        return 0.0;
    double q = 0.5 + (0.5 - p);
    if (p == 0)
        return k == 0 ? 1.0 : 0.0;
    if (q == 0)
        return k == n ? 1.0 : 0.0;
    // C(n, k) p^k q^(n-k) = p^(k+1) q^(n-k+1) / Beta(k+1, n-k+1) / ((n+1) p q),
    // formed without overflow or underflow of the factors.
    return clamp(special::brcomp(k + 1, n - k + 1, p, q) / ((n + 1) * p * q));
}

} // namespace kv

double _kv_chi_square_c(double x, double df)
{
    return kv::Gamma_cdf(x, DBL_MAX, df / 2, 2);
}
