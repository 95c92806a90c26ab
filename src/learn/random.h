// The domain's random generator and the draws built on it.
#pragma once

#include <cstddef>

#include "core/domain.h"

struct kv_random_s {
    double u[100];   // the lagged-Fibonacci state, also the values handed out
    size_t position; // the next value to hand out; 100: regenerate first
    size_t remaining; // values still to hand out before the next skip
};

namespace kv {

// Seeds as the published ranf_start does, warm-up included.
void random_seed(kv_random_s &r, unsigned long seed);
// The next 100 values of the sequence, in place.
void random_generate(kv_random_s &r);
// Passes over n values; the next 100 are handed out before a skip.
void random_skip(kv_random_s &r, size_t n);
// The next value of the sequence itself (no skipping).
double random_raw(kv_random_s &r);
// The domain's generator, made and seeded at the first use; NULL with
// no_memory.
kv_random_s *domain_random(kv_domain_s *d);
// A uniform deviate in [0, 1) and a normal deviate.
double uniform_deviate(kv_random_s &r);
double normal_deviate(kv_random_s &r, double mean, double s);
// A state drawn from the n weights w with sum total: half of the mass from
// each end.  One state is drawn without a deviate.
size_t sample_from_distribution(kv_random_s &r, const double *w, size_t n, double total);

} // namespace kv
