// The domain's random generator: D. E. Knuth's lagged-Fibonacci generator
// for floating-point numbers (The Art of Computer Programming, vol. 2, 3rd
// ed., section 3.6), x(n) = (x(n-100) + x(n-37)) mod 1, handing out 100
// of every 1009 values; normal deviates by the ratio of uniforms of
// Kinderman and Monahan.
#include "random.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/api.h"
#include "core/memory.h"

namespace {

constexpr int KK = 100, LL = 37, TT = 70;

double mod_sum(double x, double y)
{
    double s = x + y;
    return s - double(int(s));
}

} // namespace

namespace kv {

void random_generate(kv_random_s &r)
{
    double *u = r.u;
    for (int j = 0; j < LL; ++j)
        u[j] = mod_sum(u[j], u[j + KK - LL]);
    for (int j = LL; j < KK; ++j)
        u[j] = mod_sum(u[j], u[j - LL]);
}

void random_skip(kv_random_s &r, size_t n)
{
    size_t p = r.position + n;
    while (p >= size_t(KK)) {
        random_generate(r);
        p -= KK;
    }
    r.position = p;
    r.remaining = KK;
}

double random_raw(kv_random_s &r)
{
    if (r.position == size_t(KK)) {
        random_generate(r);
        r.position = 0;
    }
    return r.u[r.position++];
}

void random_seed(kv_random_s &r, unsigned long seed)
{
    double u[KK + KK - 1];
    const double ulp = (1.0 / (1L << 30)) / (1L << 22); // 2^-52
    long s = long(seed & 0x3fffffffUL);
    double ss = 2.0 * ulp * double(s + 2);
    for (int j = 0; j < KK; ++j) {
        u[j] = ss;
        ss += ss;
        if (ss >= 1.0)
            ss -= 1.0 - 2 * ulp;
    }
    u[1] += ulp;
    // 69 rounds, and one more for each bit of the seed: square the
    // polynomial, reduce it with the two lags, and multiply it by x where
    // the bit is set.
    for (int t = TT - 1; t;) {
        for (int j = KK - 1; j > 0; --j) {
            u[j + j] = u[j];
            u[j + j - 1] = 0.0;
        }
        for (int j = KK + KK - 2; j >= KK; --j) {
            u[j - (KK - LL)] = mod_sum(u[j - (KK - LL)], u[j]);
            u[j - KK] = mod_sum(u[j - KK], u[j]);
        }
        if (s & 1) {
            for (int j = KK; j > 0; --j)
                u[j] = u[j - 1];
            u[0] = u[KK];
            u[LL] = mod_sum(u[LL], u[KK]);
        }
        if (s)
            s >>= 1;
        else
            --t;
    }
    // The state is the array rotated by the short lag.
    for (int j = 0; j < LL; ++j)
        r.u[j + KK - LL] = u[j];
    for (int j = LL; j < KK; ++j)
        r.u[j - LL] = u[j];
    r.position = 0;
    // The warm-up of the published routine: 10 rounds of 199 values.
    random_skip(r, 1990);
}

kv_random_s *domain_random(kv_domain_s *d)
{
    if (!d->random) {
        d->random = static_cast<kv_random_s *>(_kv_allocate(sizeof(kv_random_s)));
        if (!d->random)
            return nullptr;
        random_seed(*d->random, d->random_seed);
    }
    return d->random;
}

double uniform_deviate(kv_random_s &r)
{
    // 100 values out of every 1009.
    if (r.remaining == 0)
        random_skip(r, 1009 - KK);
    double v = random_raw(r);
    --r.remaining;
    return v;
}

double normal_deviate(kv_random_s &r, double mean, double s)
{
    if (s == 0)
        return mean;
    constexpr double sqrt_8_over_e = 1.7155277699214135;
    double x, u;
    do {
        do
            u = uniform_deviate(r);
        while (!(u > 0));
        double v = uniform_deviate(r);
        x = sqrt_8_over_e * (v - 0.5) / u;
    } while (!(x * x <= -4 * std::log(u)));
    return mean + s * x;
}

size_t sample_from_distribution(kv_random_s &r, const double *w, size_t n, double total)
{
    if (n <= 1)
        return 0;
    double t = uniform_deviate(r) * total / 2;
    bool downward = uniform_deviate(r) >= 0.5;
    double sum = 0;
    size_t last_positive = downward ? n - 1 : 0;
    for (size_t k = 0; k < n; ++k) {
        size_t i = downward ? n - 1 - k : k;
        if (w[i] > 0)
            last_positive = i;
        sum += w[i];
        if (sum > t)
            return i;
    }
    // Rounding left the sum at or below t: the last state with weight.
    return last_positive;
}

} // namespace kv

kv_status_t kv_domain_seed_random(kv_domain_t d, kv_number_t seed)
{
    if (_kv_set_error_code(!d || !std::isfinite(seed)))
        return kv_error_usage;
    // The whole part of the seed, modulo 2^30 (the generator uses 30 bits).
    double s = std::fmod(std::trunc(seed), 1073741824.0);
    if (s < 0)
        s += 1073741824.0;
    d->random_seed = static_cast<unsigned long>(s);
    if (d->random)
        kv::random_seed(*d->random, d->random_seed);
    return kv_error_none;
}

kv_number_t kv_domain_get_uniform_deviate(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return -1.0;
    kv_random_s *r = kv::domain_random(d);
    return r ? kv::uniform_deviate(*r) : -1.0;
}

kv_number_t kv_domain_get_normal_deviate(kv_domain_t d, kv_number_t mean, kv_number_t s)
{
    if (_kv_set_error_code(!d || !(s >= 0) || std::isnan(mean)))
        return -1.0;
    if (s == 0)
        return mean; // without drawing
    kv_random_s *r = kv::domain_random(d);
    return r ? kv::normal_deviate(*r, mean, s) : -1.0;
}
