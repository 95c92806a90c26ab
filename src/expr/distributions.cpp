// Interval masses of the standard distributions.  A mass is the difference
// of two distribution-function values; each is formed from whichever tails
// are the smaller, so that tail intervals keep their relative accuracy.
#include "distributions.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "core/error.h"
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

// The two tails of a distribution at one end of an interval: P(X below)
// and P(X above), and whether the end is infinite.
struct End {
    double lower, upper;
    bool infinite;
};

// The mass of each interval [ends[i], ends[i+1]] from the tails at its ends,
// each end computed once: the difference of the smaller tails, the upper
// tail when the interval reaches infinity, 0 for an empty interval.
template <class EndFn> bool interval_masses(const double *ends, size_t k, double *out, EndFn end)
{
    End previous{};
    if (std::isnan(ends[0]) || !end(ends[0], previous))
        return false;
    for (size_t i = 0; i < k; ++i) {
        End next{};
        if (std::isnan(ends[i + 1]) || !end(ends[i + 1], next))
            return false;
        double v;
        if (!(ends[i + 1] > ends[i]))
            v = 0;
        else if (next.infinite)
            v = previous.upper;
        else
            v = previous.upper < previous.lower ? previous.upper - next.upper : next.lower - previous.lower;
        out[i] = clamp(v);
        previous = next;
    }
    return true;
}

} // namespace

// Tails of the normal distribution at one end of an interval.
namespace {
struct GaussEnd {
    double z, erf, upper2, lower2; // upper2 = erfc(z) = 2 P(X > x), lower2 = erfc(-z)
};

GaussEnd gauss_end(double x, double mean, double s)
{
    GaussEnd e;
    e.z = (x - mean) / s;
    e.erf = std::fabs(e.z) < 0.46875 ? erf(e.z) : 0.0;
    e.upper2 = erfc(e.z);
    e.lower2 = erfc(-e.z);
    return e;
}

// P(a < X <= b) from the two ends, by the form that cancels least.
double gauss_mass(const GaussEnd &e1, const GaussEnd &e2)
{
    constexpr double thresh = 0.46875;
    double v;
    if (std::fabs(e1.z) < thresh && std::fabs(e2.z) < thresh)
        v = 0.5 * (e2.erf - e1.erf);
    else if (e1.z >= 0) // both above the mean: the upper tails
        v = 0.5 * (e1.upper2 - e2.upper2);
    else if (e2.z <= 0) // both below: the lower tails
        v = 0.5 * (e2.lower2 - e1.lower2);
    else // around the mean: one minus both tails
        v = 0.5 * ((2 - e1.lower2) - e2.upper2);
    return clamp(v);
}
} // namespace

bool Gauss_masses(const double *ends, size_t k, double mean, double variance, double *out)
{
    if (!(variance > 0) || !std::isfinite(mean) || !std::isfinite(variance))
        return false;
    double s = std::sqrt(2 * variance);
    GaussEnd previous = gauss_end(ends[0], mean, s);
    for (size_t i = 0; i < k; ++i) {
        if (std::isnan(ends[i]) || std::isnan(ends[i + 1]))
            return false;
        GaussEnd next = gauss_end(ends[i + 1], mean, s);
        out[i] = ends[i + 1] > ends[i] ? gauss_mass(previous, next) : 0.0;
        previous = next;
    }
    return true;
}

double Gauss_cdf(double a, double b, double mean, double variance)
{
    double ends[2] = {a, b}, mass;
    return Gauss_masses(ends, 1, mean, variance, &mass) ? mass : -1;
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

bool Gamma_masses(const double *ends, size_t k, double shape, double scale, double *out)
{
    if (!(shape > 0) || !(scale > 0) || !std::isfinite(shape) || !std::isfinite(scale))
        return false;
    return interval_masses(ends, k, out, [&](double x, End &e) {
        if (x >= DBL_MAX) {
            e = {1, 0, true};
            return true;
        }
        return special::gamma_ratio(shape, std::max(x, 0.0) / scale, e.lower, e.upper);
    });
}

double Gamma_cdf(double a, double b, double shape, double scale)
{
    double ends[2] = {a, b}, mass;
    return Gamma_masses(ends, 1, shape, scale, &mass) ? mass : -1;
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

bool Beta_masses(const double *ends, size_t k, double alpha, double beta, double lo, double hi, double *out)
{
    if (!(alpha > 0) || !(beta > 0) || !std::isfinite(alpha) || !std::isfinite(beta) || !(lo < hi) ||
        !std::isfinite(lo) || !std::isfinite(hi))
        return false;
    double width = hi - lo;
    return interval_masses(ends, k, out, [&](double point, End &e) {
        point = std::min(std::max(point, lo), hi);
        // The point and its complement as computed from the interval: near
        // the upper end the complement is the accurate one.
        double x = (point - lo) / width, y = (hi - point) / width;
        if (special::beta_ratio(alpha, beta, x, y, e.lower, e.upper))
            return true;
        // Rounding can put x + y a few units from 1.
        return special::beta_ratio(alpha, beta, x, 0.5 + (0.5 - x), e.lower, e.upper);
    });
}

double Beta_cdf(double a, double b, double alpha, double beta, double lo, double hi)
{
    double ends[2] = {a, b}, mass;
    return Beta_masses(ends, 1, alpha, beta, lo, hi, &mass) ? mass : -1;
}

// The tails of a discrete distribution at the integer ceil(x): P(X < k)
// and P(X >= k), with tails(k) for 0 < k <= last (the largest value with
// mass).
template <class Tails> bool discrete_end(double x, double last, End &e, Tails tails)
{
    double k = std::ceil(x);
    if (k <= 0) {
        e = {0, 1, false};
        return true;
    }
    if (k > last || k >= DBL_MAX) {
        e = {1, 0, false};
        return true;
    }
    return tails(k, e.lower, e.upper);
}

bool Binomial_masses(const double *ends, size_t k, double n, double p, double *out)
{
    if (!is_whole(n) || !(n >= 0) || !(p >= 0 && p <= 1))
        return false;
    double q = 0.5 + (0.5 - p);
    return interval_masses(ends, k, out, [&](double x, End &e) {
        // P(X >= k) = I_p(k, n - k + 1).
        return discrete_end(x, n, e, [&](double j, double &lower, double &upper) {
            return special::beta_ratio(j, n - j + 1, p, q, upper, lower);
        });
    });
}

double Binomial_cdf(double a, double b, double n, double p)
{
    double ends[2] = {a, b}, mass;
    return Binomial_masses(ends, 1, n, p, &mass) ? mass : -1;
}

bool Poisson_masses(const double *ends, size_t k, double mean, double *out)
{
    if (!(mean >= 0) || !std::isfinite(mean))
        return false;
    return interval_masses(ends, k, out, [&](double x, End &e) {
        if (mean == 0) { // all mass at 0
            e = std::ceil(x) <= 0 ? End{0, 1, false} : End{1, 0, false};
            return true;
        }
        // P(X < k) = Q(k, mean).
        return discrete_end(x, DBL_MAX, e, [&](double j, double &lower, double &upper) {
            return special::gamma_ratio(j, mean, upper, lower);
        });
    });
}

double Poisson_cdf(double a, double b, double mean)
{
    double ends[2] = {a, b}, mass;
    return Poisson_masses(ends, 1, mean, &mass) ? mass : -1;
}

bool NegativeBinomial_masses(const double *ends, size_t k, double n, double p, double *out)
{
    if (!(n > 0) || !std::isfinite(n) || !(p > 0 && p <= 1))
        return false;
    double q = 0.5 + (0.5 - p);
    return interval_masses(ends, k, out, [&](double x, End &e) {
        // P(X < k) = P(X <= k - 1) = I_p(n, k).
        return discrete_end(x, DBL_MAX, e, [&](double j, double &lower, double &upper) {
            return special::beta_ratio(n, j, p, q, lower, upper);
        });
    });
}

double NegativeBinomial_cdf(double a, double b, double n, double p)
{
    double ends[2] = {a, b}, mass;
    return NegativeBinomial_masses(ends, 1, n, p, &mass) ? mass : -1;
}

double Geometric_cdf(double a, double b, double p)
{
    return NegativeBinomial_cdf(a, b, 1, p);
}

double Binomial(double k, double n, double p)
{
    if (!is_whole(k) || !is_whole(n))
        return _kv_set_error_code(kv_error_inappropriate_arguments), -1;
    if (!(n >= 0) || !(p >= 0 && p <= 1))
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
