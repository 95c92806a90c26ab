// Table generation: a node's conditional probability or utility table
// computed from the expressions of its model, one per configuration of the
// model nodes.  Number parents contribute their state values, interval
// parents a set of sample points inside each interval.  The table is
// written only when every configuration succeeds.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "compile/compile.h"
#include "core/api.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "distributions.h"
#include "expression.h"
#include "table/table.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

// The node's name in messages; an unnamed node gets its generated one.
const char *name_of(const kv_node_s *n)
{
    return kv_node_get_name(const_cast<kv_node_s *>(n));
}

bool is_chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

bool numeric_subtype(const kv_node_s *n)
{
    return n->subtype == kv_subtype_number || n->subtype == kv_subtype_interval;
}

int check_state_values(kv_domain_s *d, const kv_node_s *n)
{
    if (n->kind != kv_kind_discrete || !is_chance_or_decision(n) || !numeric_subtype(n))
        return kv_error_none;
    if (_kv_node_state_values_increase(n))
        return kv_error_none;
    _kv_log(d, "The state values of node %s do not form an increasing sequence.\n", name_of(n));
    return _kv_set_error_code(kv_error_invalid_state_values);
}

class Generator {
public:
    Generator(kv_node_s *n, kv_table_s *t)
        : node_(n), model_(n->model), d_(n->home), table_(t), samples_(n->model->samples_per_interval)
    {
    }

    int run(Vec<double> &data);

private:
    // Evaluation, with the parents' current states and values.
    int numeric(const kv_expression_s *e, double &out);
    int boolean(const kv_expression_s *e, bool &out);
    int label(const kv_expression_s *e, const char *&out);
    int compare(const kv_expression_s *e, bool &out);
    size_t position(const kv_node_s *n) const;

    // One configuration of the parents: the walk over their values, and
    // what the expression gives at the node itself.
    int walk(size_t level, const kv_expression_s *e, double *row);
    int at_node(const kv_expression_s *e, double *row);
    int distribution(const kv_expression_s *e, double *row);
    int deterministic(const kv_expression_s *e, double *row);
    int interval_masses(uint32_t op, const double *p, size_t count, double *out);
    int number_masses(uint32_t op, const double *p, size_t count, double *out);

    int fail(int code) { return _kv_set_error_code(code); }
    void log_configuration();

    kv_node_s *node_;
    kv_model_s *model_;
    kv_domain_s *d_;
    kv_table_s *table_;
    size_t samples_;
    bool chance_ = true;
    size_t k_ = 1;             // entries per configuration: the node's states, or 1
    Vec<kv_node_s *> parents_; // the table's nodes but the node itself, in table order
    Vec<size_t> table_stride_, model_stride_;
    size_t own_stride_ = 0;
    Vec<size_t> state_;
    Vec<double> value_;
    Vec<double> work_; // three rows per level of the walk
    Vec<double> params_;
    Vec<size_t> slot_of_index_; // a node's index to its place in parents_
};

size_t Generator::position(const kv_node_s *n) const
{
    if (n->index < slot_of_index_.size()) {
        size_t i = slot_of_index_[n->index];
        if (i < parents_.size() && parents_[i] == n)
            return i;
    }
    // Indices need not be unique after deletions: look the node up.
    for (size_t i = 0; i < parents_.size(); ++i)
        if (parents_[i] == n)
            return i;
    return SIZE_MAX;
}

int Generator::numeric(const kv_expression_s *e, double &out)
{
    kv_expression_s *const *a = e->op < kv_operator_number ? e->payload.operands : nullptr;
    double x = 0, y = 0;
    auto unary = [&](double (*f)(double)) {
        if (int s = numeric(a[0], x))
            return s;
        out = f(x);
        return std::isnan(out) ? fail(kv_error_inappropriate_arguments) : kv_error_none;
    };
    auto binary = [&]() {
        if (int s = numeric(a[0], x))
            return s;
        return numeric(a[1], y);
    };
    switch (e->op) {
    case kv_operator_number:
        out = e->payload.number;
        return kv_error_none;
    case kv_operator_node: {
        size_t i = position(e->payload.node);
        if (i == SIZE_MAX || !numeric_subtype(parents_[i]))
            return fail(kv_error_error);
        out = value_[i];
        return kv_error_none;
    }
    case kv_operator_min:
    case kv_operator_max:
        for (size_t i = 0; a[i]; ++i) {
            if (int s = numeric(a[i], x))
                return s;
            if (i == 0 || (e->op == kv_operator_min ? x < out : x > out))
                out = x;
        }
        return kv_error_none;
    case kv_operator_log: return unary(std::log);
    case kv_operator_log2: return unary(std::log2);
    case kv_operator_log10: return unary(std::log10);
    case kv_operator_exp: return unary(std::exp);
    case kv_operator_sin: return unary(std::sin);
    case kv_operator_cos: return unary(std::cos);
    case kv_operator_tan: return unary(std::tan);
    case kv_operator_sinh: return unary(std::sinh);
    case kv_operator_cosh: return unary(std::cosh);
    case kv_operator_tanh: return unary(std::tanh);
    case kv_operator_sqrt: return unary(std::sqrt);
    case kv_operator_abs: return unary(std::fabs);
    case kv_operator_floor: return unary(std::floor);
    case kv_operator_ceil: return unary(std::ceil);
    case kv_operator_mod:
        if (int s = binary())
            return s;
        if (y == 0)
            return fail(kv_error_division_by_zero);
        out = std::fmod(x, y);
        return std::isnan(out) ? fail(kv_error_inappropriate_arguments) : kv_error_none;
    case kv_operator_if: {
        bool c;
        if (int s = boolean(a[0], c))
            return s;
        return numeric(a[c ? 1 : 2], out);
    }
    case kv_operator_add:
    case kv_operator_subtract:
    case kv_operator_multiply:
    case kv_operator_divide:
    case kv_operator_power:
        if (int s = binary())
            return s;
        switch (e->op) {
        case kv_operator_add: out = x + y; break;
        case kv_operator_subtract: out = x - y; break;
        case kv_operator_multiply: out = x * y; break;
        case kv_operator_divide:
            if (y == 0)
                return fail(kv_error_division_by_zero);
            out = x / y;
            break;
        default: out = std::pow(x, y); break;
        }
        return std::isnan(out) ? fail(kv_error_inappropriate_arguments) : kv_error_none;
    case kv_operator_negate:
        if (int s = numeric(a[0], x))
            return s;
        out = -x;
        return kv_error_none;
    default:
        return fail(kv_error_error);
    }
}

// The base type of an operand: numeric, boolean or label.
uint32_t base_type(const kv_expression_s *e)
{
    uint32_t t = e->type;
    return t >= KV_TYPE_NUMERIC_NODE ? t - KV_TYPE_NUMERIC_NODE : t;
}

int Generator::compare(const kv_expression_s *e, bool &out)
{
    kv_expression_s *const *a = e->payload.operands;
    uint32_t t = base_type(a[0]) == KV_TYPE_NODE ? base_type(a[1]) : base_type(a[0]);
    bool equal_test = e->op == kv_operator_equals || e->op == kv_operator_not_equals;
    if (t == KV_TYPE_NUMERIC || !equal_test) {
        double x, y;
        if (int s = numeric(a[0], x))
            return s;
        if (int s = numeric(a[1], y))
            return s;
        switch (e->op) {
        case kv_operator_equals: out = x == y; break;
        case kv_operator_not_equals: out = x != y; break;
        case kv_operator_less_than: out = x < y; break;
        case kv_operator_greater_than: out = x > y; break;
        case kv_operator_less_than_or_equals: out = x <= y; break;
        default: out = x >= y; break;
        }
        return kv_error_none;
    }
    bool same;
    if (t == KV_TYPE_BOOLEAN) {
        bool x, y;
        if (int s = boolean(a[0], x))
            return s;
        if (int s = boolean(a[1], y))
            return s;
        same = x == y;
    } else if (t == KV_TYPE_LABEL) {
        const char *x, *y;
        if (int s = label(a[0], x))
            return s;
        if (int s = label(a[1], y))
            return s;
        same = std::strcmp(x, y) == 0;
    } else {
        return fail(kv_error_error);
    }
    out = e->op == kv_operator_equals ? same : !same;
    return kv_error_none;
}

int Generator::boolean(const kv_expression_s *e, bool &out)
{
    kv_expression_s *const *a = e->op < kv_operator_number ? e->payload.operands : nullptr;
    switch (e->op) {
    case kv_operator_boolean:
        out = e->payload.boolean != 0;
        return kv_error_none;
    case kv_operator_node: {
        size_t i = position(e->payload.node);
        if (i == SIZE_MAX || parents_[i]->subtype != kv_subtype_boolean)
            return fail(kv_error_error);
        out = state_[i] != 0;
        return kv_error_none;
    }
    case kv_operator_and:
    case kv_operator_or: {
        bool all = e->op == kv_operator_and;
        out = all;
        for (size_t i = 0; a[i]; ++i) {
            bool x;
            if (int s = boolean(a[i], x))
                return s;
            out = all ? out && x : out || x;
        }
        return kv_error_none;
    }
    case kv_operator_not:
        if (int s = boolean(a[0], out))
            return s;
        out = !out;
        return kv_error_none;
    case kv_operator_if: {
        bool c;
        if (int s = boolean(a[0], c))
            return s;
        return boolean(a[c ? 1 : 2], out);
    }
    case kv_operator_equals:
    case kv_operator_not_equals:
    case kv_operator_less_than:
    case kv_operator_greater_than:
    case kv_operator_less_than_or_equals:
    case kv_operator_greater_than_or_equals:
        return compare(e, out);
    default:
        return fail(kv_error_error);
    }
}

int Generator::label(const kv_expression_s *e, const char *&out)
{
    switch (e->op) {
    case kv_operator_label:
        out = e->payload.label;
        return kv_error_none;
    case kv_operator_node: {
        size_t i = position(e->payload.node);
        if (i == SIZE_MAX || parents_[i]->subtype != kv_subtype_label)
            return fail(kv_error_error);
        const kv_node_s *p = parents_[i];
        out = p->state_labels && p->state_labels[state_[i]] ? p->state_labels[state_[i]] : "";
        return kv_error_none;
    }
    case kv_operator_if: {
        bool c;
        if (int s = boolean(e->payload.operands[0], c))
            return s;
        return label(e->payload.operands[c ? 1 : 2], out);
    }
    default:
        return fail(kv_error_error);
    }
}

// ---------------------------------------------------------------------------
// The node itself.

int Generator::deterministic(const kv_expression_s *e, double *row)
{
    std::fill(row, row + k_, 0.0);
    size_t state = 0;
    const kv_node_s *n = node_;
    switch (n->subtype) {
    case kv_subtype_boolean: {
        bool b;
        if (int s = boolean(e, b))
            return s;
        state = b ? 1 : 0;
        break;
    }
    case kv_subtype_label: {
        const char *text;
        if (int s = label(e, text))
            return s;
        size_t i = 0;
        for (; i < k_; ++i)
            if (std::strcmp(n->state_labels && n->state_labels[i] ? n->state_labels[i] : "", text) == 0)
                break;
        if (i == k_) {
            _kv_log(d_, "Node %s does not have a state labeled `%s'\n", name_of(n), text);
            return fail(kv_error_invalid_expression);
        }
        state = i;
        break;
    }
    case kv_subtype_number: {
        double x;
        if (int s = numeric(e, x))
            return s;
        if (!std::isfinite(x))
            return fail(kv_error_inappropriate_arguments);
        // The same tolerance as a number read from a case file.
        double tolerance = 1e-10 * std::fabs(x);
        size_t i = 0;
        for (; i < k_; ++i)
            if (std::fabs(x - n->state_values[i]) <= tolerance)
                break;
        if (i == k_) {
            _kv_log(d_, "Node %s does not have a state with value %g\n", name_of(n), x);
            return fail(kv_error_invalid_expression);
        }
        state = i;
        break;
    }
    case kv_subtype_interval: {
        double x;
        if (int s = numeric(e, x))
            return s;
        if (std::isnan(x))
            return fail(kv_error_inappropriate_arguments);
        const double *v = n->state_values;
        if (!(x >= v[0] && x <= v[k_])) {
            _kv_log(d_, "Value for node %s out of bounds: %g\n", name_of(n), x);
            return fail(kv_error_invalid_expression);
        }
        // Half-open intervals, the last one closed above.
        state = k_ - 1;
        for (size_t i = 0; i < k_; ++i)
            if (x < v[i + 1]) {
                state = i;
                break;
            }
        break;
    }
    default:
        return fail(kv_error_error);
    }
    row[state] = 1.0;
    return kv_error_none;
}

// The masses of the intervals of an interval node.
int Generator::interval_masses(uint32_t op, const double *p, size_t count, double *out)
{
    const double *v = node_->state_values;
    bool ok = true;
    switch (op) {
    case kv_operator_Normal:
        ok = kv::Gauss_masses(v, k_, p[0], p[1], out);
        break;
    case kv_operator_Beta:
        ok = kv::Beta_masses(v, k_, p[0], p[1], count == 4 ? p[2] : 0.0, count == 4 ? p[3] : 1.0, out);
        break;
    case kv_operator_Gamma:
        if (!kv::Gamma_masses(v, k_, p[0], p[1], out)) {
            _kv_log(d_, "Computation failed for gamma distribution with parameters: shape = %g, scale = %g\n",
                    p[0], p[1]);
            return fail(kv_error_computation_failed);
        }
        return kv_error_none;
    case kv_operator_Exponential:
    case kv_operator_Weibull:
    case kv_operator_Uniform:
        for (size_t i = 0; i < k_ && ok; ++i) {
            double m = op == kv_operator_Exponential ? kv::Exponential_cdf(v[i], v[i + 1], p[0])
                       : op == kv_operator_Weibull   ? kv::Weibull_cdf(v[i], v[i + 1], p[0], p[1])
                                                     : kv::Uniform_cdf(v[i], v[i + 1], p[0], p[1]);
            ok = m >= 0;
            out[i] = m;
        }
        break;
    case kv_operator_Binomial:
        ok = kv::Binomial_masses(v, k_, p[0], p[1], out);
        break;
    case kv_operator_Poisson:
        ok = kv::Poisson_masses(v, k_, p[0], out);
        break;
    case kv_operator_NegativeBinomial:
        ok = kv::NegativeBinomial_masses(v, k_, p[0], p[1], out);
        break;
    case kv_operator_Geometric:
        ok = kv::NegativeBinomial_masses(v, k_, 1, p[0], out);
        break;
    default:
        return fail(kv_error_error);
    }
    return ok ? kv_error_none : fail(kv_error_computation_failed);
}

// A number node with values 0, 1, ..., m-1 takes the point masses of its
// values, the last state the upper tail.
int Generator::number_masses(uint32_t op, const double *p, size_t count, double *out)
{
    (void)count;
    Vec<double> ends(k_ + 1);
    for (size_t i = 0; i < k_; ++i)
        ends[i] = double(i);
    ends[k_] = INFINITY;
    bool ok;
    switch (op) {
    case kv_operator_Binomial: ok = kv::Binomial_masses(ends.data(), k_, p[0], p[1], out); break;
    case kv_operator_Poisson: ok = kv::Poisson_masses(ends.data(), k_, p[0], out); break;
    case kv_operator_NegativeBinomial:
        ok = kv::NegativeBinomial_masses(ends.data(), k_, p[0], p[1], out);
        break;
    case kv_operator_Geometric: ok = kv::NegativeBinomial_masses(ends.data(), k_, 1, p[0], out); break;
    default: return fail(kv_error_error);
    }
    return ok ? kv_error_none : fail(kv_error_computation_failed);
}

int Generator::distribution(const kv_expression_s *e, double *row)
{
    // `if' composites choose the distribution.
    while (e->op == kv_operator_if) {
        bool c;
        if (int s = boolean(e->payload.operands[0], c))
            return s;
        e = e->payload.operands[c ? 1 : 2];
    }
    kv_expression_s *const *a = e->payload.operands;
    size_t count = 0;
    while (a[count])
        ++count;
    const kv_node_s *n = node_;
    uint32_t op = e->op;
    bool interval = n->subtype == kv_subtype_interval, number = n->subtype == kv_subtype_number;

    if (op == kv_operator_NoisyOR) {
        if (n->subtype != kv_subtype_boolean) {
            _kv_log(d_, "A Noisy-OR distribution can only be applied to boolean nodes\n");
            return fail(kv_error_invalid_expression);
        }
        double q = 1;
        for (size_t i = 0; i < count; i += 2) {
            bool c;
            double pi;
            if (int s = boolean(a[i], c))
                return s;
            if (int s = numeric(a[i + 1], pi))
                return s;
            if (!(pi >= 0 && pi <= 1))
                return fail(kv_error_inappropriate_arguments);
            if (c)
                q *= pi;
        }
        row[0] = q;
        row[1] = 1 - q;
        return kv_error_none;
    }

    // The parameters, all finite.
    params_.resize(count);
    for (size_t i = 0; i < count; ++i) {
        if (int s = numeric(a[i], params_[i]))
            return s;
        if (!std::isfinite(params_[i]))
            return fail(kv_error_inappropriate_arguments);
    }
    const double *p = params_.data();

    if (op == kv_operator_Distribution) {
        if (count != k_) {
            _kv_log(d_, "The number of arguments of a Distribution expression must match the number of states\n");
            return fail(kv_error_invalid_expression);
        }
        double sum = 0;
        for (size_t i = 0; i < count; ++i) {
            if (p[i] < 0) {
                _kv_log(d_, "Negative value in Distribution expression (state %s)\n", _kv_print_size(d_, i));
                return fail(kv_error_inappropriate_arguments);
            }
            sum += p[i];
        }
        if (!(sum > 0)) {
            _kv_log(d_, "At least one argument of a Distribution expression must be positive\n");
            return fail(kv_error_inappropriate_arguments);
        }
        for (size_t i = 0; i < count; ++i)
            row[i] = p[i] / sum;
        return kv_error_none;
    }

    const double *v = n->state_values;
    double lo = interval ? v[0] : 0, hi = interval ? v[k_] : 0;
    auto range = [&](bool ok, auto... message) -> int {
        if (ok)
            return kv_error_none;
        _kv_log(d_, message...);
        return fail(kv_error_insufficient_state_range);
    };
    auto parameters = [&](bool ok, auto... message) -> int {
        if (ok)
            return kv_error_none;
        _kv_log(d_, message...);
        return fail(kv_error_inappropriate_arguments);
    };
    auto subtype = [&](bool ok, const char *message) -> int {
        if (ok)
            return kv_error_none;
        if (message)
            _kv_log(d_, "%s\n", message);
        return fail(kv_error_invalid_expression);
    };
    int s = kv_error_none;
    switch (op) {
    case kv_operator_Normal:
        if ((s = subtype(interval, "A Normal distribution can only be applied to interval nodes")) ||
            (s = parameters(p[1] > 0, "Variance for a normal distribution must be positive (observed: %g)\n", p[1])) ||
            (s = range(lo <= -DBL_MAX && hi >= DBL_MAX,
                       "Node range must include (-inf, inf) for normal distribution\n")))
            return s;
        break;
    case kv_operator_Beta: {
        double blo = count == 4 ? p[2] : 0.0, bhi = count == 4 ? p[3] : 1.0;
        if ((s = subtype(interval, "A Beta distribution can only be applied to interval nodes")) ||
            (s = parameters(p[0] > 0 && p[1] > 0,
                            "Beta distribution (shape) parameters must be positive (observed: a = %g and b = %g)\n",
                            p[0], p[1])) ||
            (s = parameters(blo < bhi, "Beta distribution interval must have positive length (specified: [%g, %g])\n",
                            blo, bhi)) ||
            (s = range(lo <= blo && hi >= bhi, "Node range must include [%g, %g] for beta distribution\n", blo, bhi)))
            return s;
        break;
    }
    case kv_operator_Gamma:
        if ((s = subtype(interval, "A Gamma distribution can only be applied to interval nodes")) ||
            (s = parameters(p[0] > 0 && p[1] > 0,
                            "Gamma distribution parameters must be positive (observed: shape = %g and scale = %g)\n",
                            p[0], p[1])) ||
            (s = range(lo <= 0 && hi >= DBL_MAX, "Node range must include [0, inf) for gamma distribution\n")))
            return s;
        break;
    case kv_operator_Exponential:
        if ((s = subtype(interval, "An Exponential distribution can only be applied to interval nodes")) ||
            (s = parameters(p[0] > 0, "Exponential distribution parameter must be positive (observed: %g)\n", p[0])) ||
            (s = range(lo <= 0 && hi >= DBL_MAX, "Node range must include [0, inf) for exponential distribution\n")))
            return s;
        break;
    case kv_operator_Weibull:
        if ((s = subtype(interval, "A Weibull distribution can only be applied to interval nodes")) ||
            (s = parameters(p[0] > 0 && p[1] > 0,
                            "Weibull distribution parameters must be positive (observed: a = %g, b = %g)\n", p[0],
                            p[1])) ||
            (s = range(lo <= 0 && hi >= DBL_MAX, "Node range must include [0, inf) for Weibull distribution\n")))
            return s;
        break;
    case kv_operator_Uniform:
        if ((s = subtype(interval, nullptr)) ||
            (s = parameters(p[0] < p[1],
                            "Uniform distribution: first parameter must be less than the second parameter "
                            "(observed: a = %g and b = %g)\n",
                            p[0], p[1])) ||
            (s = range(lo <= p[0] && hi >= p[1], "Node range must include [a, b] = [%g, %g] for uniform distribution\n",
                       p[0], p[1])))
            return s;
        break;
    case kv_operator_Binomial:
    case kv_operator_Poisson:
    case kv_operator_NegativeBinomial:
    case kv_operator_Geometric: {
        const char *message = op == kv_operator_Binomial
                                  ? "A Binomial distribution can only be applied to numbered or interval nodes"
                              : op == kv_operator_Poisson
                                  ? "A Poisson distribution can only be applied to numbered or interval nodes"
                              : op == kv_operator_NegativeBinomial
                                  ? "A Negative Binomial distribution can only be applied to numbered or interval nodes"
                                  : "A Geometric distribution can only be applied to numbered or interval nodes";
        if ((s = subtype(interval || number, message)))
            return s;
        // Parameters (no messages).
        bool ok = op == kv_operator_Binomial ? p[0] >= 0 && p[0] == std::trunc(p[0]) && p[1] >= 0 && p[1] <= 1
                  : op == kv_operator_Poisson ? p[0] >= 0
                  : op == kv_operator_NegativeBinomial ? p[0] > 0 && p[1] > 0 && p[1] <= 1
                                                       : p[0] > 0 && p[0] <= 1;
        if (!ok)
            return fail(kv_error_inappropriate_arguments);
        // The states must hold all the mass: the support starts at 0, and
        // ends at n for the binomial, nowhere for the others.
        if (number) {
            for (size_t i = 0; i < k_; ++i)
                if (v[i] != double(i))
                    return fail(kv_error_insufficient_state_range);
            return number_masses(op, p, count, row);
        }
        bool covered = lo <= 0 && (op == kv_operator_Binomial ? hi > p[0] : hi >= DBL_MAX);
        if (!covered)
            return fail(kv_error_insufficient_state_range);
        break;
    }
    default:
        return fail(kv_error_error);
    }
    return interval_masses(op, p, count, row);
}

int Generator::at_node(const kv_expression_s *e, double *row)
{
    double *minimum = row + k_, *maximum = row + 2 * k_;
    int s;
    if (!chance_) {
        s = numeric(e, row[0]);
        if (!s && !std::isfinite(row[0]))
            s = fail(kv_error_inappropriate_arguments);
    } else if (base_type(e) == KV_TYPE_DISTRIBUTION) {
        s = distribution(e, row);
    } else {
        s = deterministic(e, row);
    }
    if (s)
        return s;
    std::copy(row, row + k_, minimum);
    std::copy(row, row + k_, maximum);
    return kv_error_none;
}

// The walk over the parents' values: number parents their state values,
// interval parents the sample points of their intervals (results averaged,
// extremes kept), others their states only.
int Generator::walk(size_t level, const kv_expression_s *e, double *row)
{
    if (level == parents_.size())
        return at_node(e, row);
    const kv_node_s *p = parents_[level];
    size_t s = state_[level];
    if (p->subtype == kv_subtype_number) {
        value_[level] = p->state_values[s];
        return walk(level + 1, e, row);
    }
    if (p->subtype != kv_subtype_interval)
        return walk(level + 1, e, row);
    double lower = p->state_values[s], upper = p->state_values[s + 1];
    bool low_infinite = lower <= -DBL_MAX, high_infinite = upper >= DBL_MAX;
    if (low_infinite || high_infinite) {
        double x;
        if (low_infinite && high_infinite)
            x = 0;
        else if (low_infinite)
            x = upper > 0 ? 0.999 * upper : upper < 0 ? 1.001 * upper : -1;
        else
            x = lower > 0 ? 1.001 * lower : lower < 0 ? 0.999 * lower : 1;
        value_[level] = x;
        return walk(level + 1, e, row);
    }
    size_t width = 3 * k_;
    double *sub = work_.data() + (level + 1) * width;
    double *sum = row, *minimum = row + k_, *maximum = row + 2 * k_;
    std::fill(sum, sum + k_, 0.0);
    std::fill(minimum, minimum + k_, INFINITY);
    std::fill(maximum, maximum + k_, -INFINITY);
    for (size_t j = 0; j < samples_; ++j) {
        value_[level] = lower + (double(j) + 0.5) * (upper - lower) / double(samples_);
        if (int status = walk(level + 1, e, sub))
            return status;
        for (size_t i = 0; i < k_; ++i) {
            sum[i] += sub[i];
            minimum[i] = std::min(minimum[i], sub[k_ + i]);
            maximum[i] = std::max(maximum[i], sub[2 * k_ + i]);
        }
    }
    for (size_t i = 0; i < k_; ++i)
        sum[i] /= double(samples_);
    return kv_error_none;
}

// "interval(" and the parents' current state indices, each "%s,".
void Generator::log_configuration()
{
    _kv_log(d_, "interval(");
    for (size_t i = 0; i < parents_.size(); ++i)
        _kv_log(d_, "%s,", _kv_print_size(d_, state_[i]));
}

int Generator::run(Vec<double> &data)
{
    chance_ = node_->category == kv_category_chance;
    k_ = chance_ ? node_->number_of_states : 1;
    // Strides in the table (last node fastest) and in the model's numbering.
    size_t count = table_->discrete_count;
    Vec<size_t> strides(count);
    size_t stride = 1;
    for (size_t i = count; i-- > 0;) {
        strides[i] = stride;
        stride *= table_->nodes[i]->number_of_states;
    }
    for (size_t i = 0; i < count; ++i) {
        kv_node_s *t = table_->nodes[i];
        if (t == node_) {
            own_stride_ = strides[i];
            continue;
        }
        parents_.push_back(t);
        table_stride_.push_back(strides[i]);
        // t's stride in the model's numbering; 0 when it is not a model node.
        size_t ms = 0, m = 1;
        for (size_t j = _kv_node_list_length(model_->nodes); j-- > 0;) {
            if (model_->nodes[j] == t)
                ms = m;
            m *= model_->nodes[j]->number_of_states;
        }
        model_stride_.push_back(ms);
    }
    if (!chance_)
        own_stride_ = 0;
    size_t largest = 0;
    for (kv_node_s *p : parents_)
        largest = std::max(largest, p->index);
    slot_of_index_.assign(largest + 1, SIZE_MAX);
    for (size_t i = 0; i < parents_.size(); ++i)
        slot_of_index_[parents_[i]->index] = i;
    state_.assign(parents_.size(), 0);
    value_.assign(parents_.size(), 0.0);
    work_.assign(3 * k_ * (parents_.size() + 1), 0.0);
    data.assign(table_->size, 0.0);
    double *row = work_.data();
    size_t configurations = table_->size / k_;
    for (size_t c = 0; c < configurations; ++c) {
        size_t base = 0, slot = 0;
        for (size_t i = 0; i < parents_.size(); ++i) {
            base += state_[i] * table_stride_[i];
            slot += state_[i] * model_stride_[i];
        }
        const kv_expression_s *e = model_->expressions[slot];
        int status = walk(0, e, row);
        if (status) {
            if (!chance_ && d_->log_file) {
                log_configuration();
                _kv_log(d_, "): evaluation failed\n");
            }
            return status;
        }
        double *minimum = row + k_, *maximum = row + 2 * k_;
        bool negative = false;
        for (size_t i = 0; i < k_; ++i) {
            if (maximum[i] > minimum[i] || minimum[i] < 0) {
                if (d_->log_file) {
                    log_configuration();
                    if (chance_)
                        _kv_log(d_, "%s): ", _kv_print_size(d_, i));
                    else
                        _kv_log(d_, "): ");
                    _kv_log(d_, "%g (min=%g, max=%g)\n", row[i], minimum[i], maximum[i]);
                }
                negative = negative || (chance_ && minimum[i] < 0);
            }
            data[base + i * own_stride_] = row[i];
        }
        if (negative)
            return fail(kv_error_negative_probability);
        // The next configuration, last parent fastest.
        for (size_t i = parents_.size(); i-- > 0;) {
            if (++state_[i] < parents_[i]->number_of_states)
                break;
            state_[i] = 0;
        }
    }
    return kv_error_none;
}

int generate(kv_node_s *n)
{
    kv_model_s *m = n->model;
    if (!m->touched)
        return kv_error_none;
    kv_domain_s *d = n->home;
    if (!m->expressions) {
        _kv_log(d, "Model for %s is unspecified\n", name_of(n));
        return _kv_set_error_code(kv_error_invalid_expression);
    }
    kv_table_s *t = _kv_node_get_table(n);
    if (!t)
        return kv_error_code();
    _kv_log(d, "Using model for %s to generate a %s table\n", name_of(n),
            n->category == kv_category_chance ? "conditional probability" : "utility");
    if (int s = check_state_values(d, n))
        return s;
    for (kv_node_s **p = n->parents; p && *p; ++p)
        if (int s = check_state_values(d, *p))
            return s;
    bool bad = false;
    for (size_t i = 0; i < m->size; ++i) {
        if (!m->expressions[i]) {
            _kv_log(d, "No expression at index %s\n", _kv_print_size(d, i));
            bad = true;
        } else if (_kv_node_check_expression(n, m->expressions[i])) {
            _kv_log(d, "Invalid expression at index %s\n", _kv_print_size(d, i));
            bad = true;
        }
    }
    if (bad)
        return _kv_set_error_code(kv_error_invalid_expression);
    if (n->category != kv_category_chance && n->category != kv_category_utility)
        return _kv_set_error_code(kv_error_error);
    if (t->continuous_count || t->size == SIZE_MAX)
        return _kv_set_error_code(kv_error_error);
    if (!t->discrete_data)
        if (int s = _kv_allocate_data_arrays(t))
            return s;
    // Into scratch first: a failed generation leaves the table as it was.
    Vec<double> data;
    Generator g(n, t);
    if (int s = g.run(data))
        return s;
    std::copy(data.begin(), data.end(), t->discrete_data);
    m->touched = 0;
    kv_node_touch_table(n);
    if (int s = _kv_domain_flush_log_file(d))
        return s;
    return _kv_set_error_code(kv_error_none);
}

} // namespace

kv_status_t kv_node_generate_table(kv_node_t n)
{
    if (_kv_set_error_code(!n || !n->model))
        return kv_error_usage;
    return kv::guard_status([&] { return generate(n); });
}

kv_status_t kv_domain_generate_tables(kv_domain_t d)
{
    if (_kv_set_error_code(!d))
        return kv_error_usage;
    return kv::guard_status([&] {
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->model)
                if (int s = generate(n))
                    return s;
        return _kv_set_error_code(kv_error_none);
    });
}

int _kv_jt_generate_tables(kv_junction_tree_s *jt)
{
    return kv::guard_status([&] {
        for (kv_node_s **n = jt->nodes; n && *n; ++n)
            if ((*n)->model)
                if (int s = generate(*n))
                    return s;
        return int(kv_error_none);
    });
}

kv_status_t kv_class_generate_tables(kv_class_t c)
{
    if (_kv_set_error_code(!c || !_kv_domain_is_class(c)))
        return kv_error_usage;
    return kv_domain_generate_tables(c);
}
