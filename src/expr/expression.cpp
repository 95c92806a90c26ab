// Expressions: construction with arity and type checks, accessors, sharing
// by reference count, cloning, type checking and the text form.
#include "expression.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/api.h"
#include "core/host.h"
#include "core/memory.h"
#include "io/writer.h"

namespace {

struct OperatorInfo {
    const char *name;
};

constexpr const char *operator_names[] = {
    "Normal", "Beta", "Gamma", "Exponential", "Weibull", "Uniform", "Binomial", "Poisson",
    "NegativeBinomial", "Geometric", "Distribution", "NoisyOR", "min", "max", "log", "log2",
    "log10", "exp", "sin", "cos", "tan", "sinh", "cosh", "tanh", "sqrt", "abs", "floor", "ceil",
    "mod", "if", "and", "or", "not"};

const char *infix_symbol(uint32_t op)
{
    switch (op) {
    case kv_operator_add: return "+";
    case kv_operator_subtract: return "-";
    case kv_operator_multiply: return "*";
    case kv_operator_divide: return "/";
    case kv_operator_power: return "^";
    case kv_operator_equals: return "==";
    case kv_operator_less_than: return "<";
    case kv_operator_greater_than: return ">";
    case kv_operator_not_equals: return "!=";
    case kv_operator_less_than_or_equals: return "<=";
    case kv_operator_greater_than_or_equals: return ">=";
    default: return "?";
    }
}

bool numeric(uint32_t t)
{
    return t == KV_TYPE_NUMERIC || t == KV_TYPE_NUMERIC_NODE || t == KV_TYPE_NODE;
}

bool boolean(uint32_t t)
{
    return t == KV_TYPE_BOOLEAN || t == KV_TYPE_BOOLEAN_NODE || t == KV_TYPE_NODE;
}

// Base type for comparisons: 0 numeric, 1 boolean, 2 label, 3 distribution,
// 4 unresolved node.
uint32_t base(uint32_t t)
{
    return t >= KV_TYPE_NUMERIC_NODE ? t - KV_TYPE_NUMERIC_NODE : t;
}

bool same_base(uint32_t a, uint32_t b)
{
    return base(a) == KV_TYPE_NODE || base(b) == KV_TYPE_NODE || base(a) == base(b);
}

size_t count(kv_expression_s *const *operands)
{
    size_t n = 0;
    while (operands[n])
        ++n;
    return n;
}

// The construction rules: arity and operand types; the result type, or -1.
long construction_type(uint32_t op, kv_expression_s *const *a, size_t n)
{
    constexpr long none = -1;
    auto all = [&](bool (*ok)(uint32_t)) {
        for (size_t i = 0; i < n; ++i)
            if (!ok(a[i]->type))
                return false;
        return true;
    };
    switch (op) {
    case kv_operator_Normal: case kv_operator_Gamma: case kv_operator_Weibull:
    case kv_operator_Uniform: case kv_operator_Binomial: case kv_operator_NegativeBinomial:
        return n == 2 && all(numeric) ? KV_TYPE_DISTRIBUTION : none;
    case kv_operator_Beta:
        return (n == 2 || n == 4) && all(numeric) ? KV_TYPE_DISTRIBUTION : none;
    case kv_operator_Exponential: case kv_operator_Poisson: case kv_operator_Geometric:
        return n == 1 && all(numeric) ? KV_TYPE_DISTRIBUTION : none;
    case kv_operator_Distribution:
        return n >= 1 && all(numeric) ? KV_TYPE_DISTRIBUTION : none;
    case kv_operator_NoisyOR:
        if (n == 0 || n % 2)
            return none;
        for (size_t i = 0; i < n; i += 2)
            if (!boolean(a[i]->type) || !numeric(a[i + 1]->type))
                return none;
        return KV_TYPE_DISTRIBUTION;
    case kv_operator_min: case kv_operator_max:
        return n >= 1 && all(numeric) ? KV_TYPE_NUMERIC : none;
    case kv_operator_mod:
        return n == 2 && all(numeric) ? KV_TYPE_NUMERIC : none;
    case kv_operator_if:
        if (n != 3 || !boolean(a[0]->type) || !same_base(a[1]->type, a[2]->type))
            return none;
        return base(a[1]->type) == KV_TYPE_NODE ? a[2]->type : a[1]->type;
    case kv_operator_and: case kv_operator_or:
        return all(boolean) ? KV_TYPE_BOOLEAN : none;
    case kv_operator_not:
        return n == 1 && all(boolean) ? KV_TYPE_BOOLEAN : none;
    case kv_operator_add: case kv_operator_subtract: case kv_operator_multiply:
    case kv_operator_divide: case kv_operator_power:
        return n == 2 && all(numeric) ? KV_TYPE_NUMERIC : none;
    case kv_operator_negate:
        return n == 1 && all(numeric) ? KV_TYPE_NUMERIC : none;
    case kv_operator_equals: case kv_operator_not_equals:
        return n == 2 && base(a[0]->type) != KV_TYPE_DISTRIBUTION &&
                       base(a[1]->type) != KV_TYPE_DISTRIBUTION && same_base(a[0]->type, a[1]->type)
                   ? KV_TYPE_BOOLEAN
                   : none;
    case kv_operator_less_than: case kv_operator_greater_than:
    case kv_operator_less_than_or_equals: case kv_operator_greater_than_or_equals:
        return n == 2 && all(numeric) ? KV_TYPE_BOOLEAN : none;
    default:
        if (op >= kv_operator_log && op <= kv_operator_ceil)
            return n == 1 && all(numeric) ? KV_TYPE_NUMERIC : none;
        return none;
    }
}

kv_expression_s *new_expression(uint32_t op, uint32_t type)
{
    kv_expression_s *e = kv::allocate_array<kv_expression_s>(1);
    if (!e)
        return nullptr;
    std::memset(e, 0, sizeof *e);
    e->op = op;
    e->type = type;
    return e;
}

void free_expression(kv_expression_s *e)
{
    if (!e || e->reference_count)
        return;
    if (e->op < kv_operator_number) {
        for (kv_expression_s **o = e->payload.operands; *o; ++o)
            _kv_expr_decrement_ref_count_and_free(*o);
        std::free(e->payload.operands);
    } else if (e->op == kv_operator_label) {
        std::free(e->payload.label);
    }
    // An expression belongs to no domain: the bridge knows its own call.
    _kv_host_release_peer(nullptr, e->back_pointer);
    std::free(e);
}

bool is_leaf(const kv_expression_s *e)
{
    return e->op >= kv_operator_number;
}

} // namespace

void _kv_expr_decrement_ref_count_and_free(kv_expression_s *e)
{
    if (!e)
        return;
    if (e->reference_count)
        --e->reference_count;
    free_expression(e);
}

kv_expression_t kv_number_make_expression(kv_number_t x)
{
    _kv_set_error_code(kv_error_none);
    kv_expression_s *e = new_expression(kv_operator_number, KV_TYPE_NUMERIC);
    if (e)
        e->payload.number = x;
    return e;
}

kv_expression_t kv_boolean_make_expression(kv_boolean_t b)
{
    _kv_set_error_code(kv_error_none);
    kv_expression_s *e = new_expression(kv_operator_boolean, KV_TYPE_BOOLEAN);
    if (e)
        e->payload.boolean = b != 0;
    return e;
}

kv_expression_t kv_label_make_expression(kv_string_t text)
{
    if (_kv_set_error_code(!text))
        return nullptr;
    kv_expression_s *e = new_expression(kv_operator_label, KV_TYPE_LABEL);
    if (!e)
        return nullptr;
    e->payload.label = _kv_allocate_string(text);
    if (!e->payload.label) {
        std::free(e);
        return nullptr;
    }
    return e;
}

kv_expression_t kv_node_make_expression(kv_node_t n)
{
    if (_kv_set_error_code(!n))
        return nullptr;
    kv_expression_s *e = new_expression(kv_operator_node, KV_TYPE_NODE);
    if (e)
        e->payload.node = n;
    return e;
}

kv_expression_t kv_make_composite_expression(kv_operator_t op, kv_expression_t *operands)
{
    if (_kv_set_error_code(!operands || op < kv_operator_Normal || op > kv_operator_greater_than_or_equals))
        return nullptr;
    size_t n = count(operands);
    long type = construction_type(op, operands, n);
    if (type < 0)
        return _kv_set_error_code(kv_error_invalid_expression), nullptr;
    kv_expression_s **copy = kv::allocate_array<kv_expression_s *>(n + 1);
    if (!copy)
        return nullptr;
    std::memcpy(copy, operands, (n + 1) * sizeof *copy);
    kv_expression_s *e = new_expression(op, uint32_t(type));
    if (!e) {
        std::free(copy);
        return nullptr;
    }
    e->payload.operands = copy;
    for (size_t i = 0; i < n; ++i)
        ++copy[i]->reference_count;
    return e;
}

kv_boolean_t kv_expression_is_composite(kv_expression_t e)
{
    if (_kv_set_error_code(!e))
        return -1;
    return !is_leaf(e);
}

kv_operator_t kv_expression_get_operator(kv_expression_t e)
{
    if (_kv_set_error_code(!e))
        return kv_operator_error;
    return static_cast<kv_operator_t>(e->op);
}

kv_expression_t *kv_expression_get_operands(kv_expression_t e)
{
    if (_kv_set_error_code(!e || is_leaf(e)))
        return nullptr;
    return e->payload.operands;
}

kv_node_t kv_expression_get_node(kv_expression_t e)
{
    if (_kv_set_error_code(!e || e->op != kv_operator_node))
        return nullptr;
    return e->payload.node;
}

kv_string_t kv_expression_get_label(kv_expression_t e)
{
    if (_kv_set_error_code(!e || e->op != kv_operator_label))
        return nullptr;
    return e->payload.label;
}

kv_number_t kv_expression_get_number(kv_expression_t e)
{
    if (_kv_set_error_code(!e || e->op != kv_operator_number))
        return -1.0;
    return e->payload.number;
}

kv_boolean_t kv_expression_get_boolean(kv_expression_t e)
{
    if (_kv_set_error_code(!e || e->op != kv_operator_boolean))
        return -1;
    return e->payload.boolean;
}

kv_status_t kv_expression_delete(kv_expression_t e)
{
    if (_kv_set_error_code(!e))
        return kv_error_usage;
    free_expression(e);
    return kv_error_none;
}

kv_expression_t kv_expression_clone(kv_expression_t e)
{
    if (_kv_set_error_code(!e))
        return nullptr;
    switch (e->op) {
    case kv_operator_number:
        return kv_number_make_expression(e->payload.number);
    case kv_operator_boolean:
        return kv_boolean_make_expression(e->payload.boolean);
    case kv_operator_label:
        return kv_label_make_expression(e->payload.label);
    case kv_operator_node:
        return kv_node_make_expression(e->payload.node);
    default:
        break;
    }
    size_t n = count(e->payload.operands);
    kv_expression_s **copies = kv::allocate_array<kv_expression_s *>(n + 1);
    if (!copies)
        return nullptr;
    size_t made = 0;
    for (; made < n; ++made)
        if (!(copies[made] = kv_expression_clone(e->payload.operands[made])))
            break;
    copies[made] = nullptr;
    kv_expression_s *c = made == n ? kv_make_composite_expression(static_cast<kv_operator_t>(e->op), copies) : nullptr;
    if (!c) {
        kv::KeepError keep;
        for (size_t i = 0; i < made; ++i)
            free_expression(copies[i]);
    }
    std::free(copies);
    return c;
}

bool _kv_expression_mentions(const kv_expression_s *e, const kv_node_s *node)
{
    if (e->op == kv_operator_node)
        return e->payload.node == node;
    if (is_leaf(e))
        return false;
    for (kv_expression_s **o = e->payload.operands; *o; ++o)
        if (_kv_expression_mentions(*o, node))
            return true;
    return false;
}

kv_expression_s *_kv_expression_substitute(kv_expression_s *e, const kv_node_s *old_node,
                                           kv_node_s *new_node)
{
    if (!_kv_expression_mentions(e, old_node))
        return e;
    if (e->op == kv_operator_node) {
        kv_expression_s *leaf = new_expression(kv_operator_node, KV_TYPE_NODE);
        if (leaf)
            leaf->payload.node = new_node;
        return leaf;
    }
    size_t n = count(e->payload.operands);
    kv_expression_s **operands = kv::allocate_array<kv_expression_s *>(n + 1);
    kv_expression_s *c = operands ? new_expression(e->op, e->type) : nullptr;
    size_t made = 0;
    for (; c && made < n; ++made) {
        kv_expression_s *o = _kv_expression_substitute(e->payload.operands[made], old_node, new_node);
        if (!o)
            break;
        operands[made] = o;
        ++o->reference_count;
    }
    if (!c || made < n) {
        for (size_t i = 0; i < made; ++i)
            _kv_expr_decrement_ref_count_and_free(operands[i]);
        std::free(operands);
        std::free(c);
        return nullptr;
    }
    operands[n] = nullptr;
    c->payload.operands = operands;
    return c;
}

kv_expression_s *_kv_expression_remap(const kv_expression_s *e,
                                     kv_node_s *(*map)(const kv_node_s *, void *), void *data)
{
    kv_expression_s *c = new_expression(e->op, e->type);
    if (!c)
        return nullptr;
    c->payload = e->payload;
    if (e->op == kv_operator_node) {
        c->payload.node = map(e->payload.node, data);
        return c;
    }
    if (e->op == kv_operator_label) {
        c->payload.label = _kv_allocate_string(e->payload.label);
        if (!c->payload.label) {
            std::free(c);
            return nullptr;
        }
        return c;
    }
    if (is_leaf(e))
        return c;
    size_t n = count(e->payload.operands);
    kv_expression_s **operands = kv::allocate_array<kv_expression_s *>(n + 1);
    size_t made = 0;
    for (; operands && made < n; ++made) {
        kv_expression_s *o = _kv_expression_remap(e->payload.operands[made], map, data);
        if (!o)
            break;
        operands[made] = o;
        ++o->reference_count;
    }
    if (!operands || made < n) {
        for (size_t i = 0; i < made; ++i)
            _kv_expr_decrement_ref_count_and_free(operands[i]);
        std::free(operands);
        std::free(c);
        return nullptr;
    }
    operands[n] = nullptr;
    c->payload.operands = operands;
    return c;
}

// ---------------------------------------------------------------------------
// Type checking.

int _kv_type_check_expression(kv_expression_s *e)
{
    if (e->op == kv_operator_node) {
        switch (e->payload.node->subtype) {
        case kv_subtype_label: e->type = KV_TYPE_LABEL_NODE; return kv_error_none;
        case kv_subtype_boolean: e->type = KV_TYPE_BOOLEAN_NODE; return kv_error_none;
        case kv_subtype_number:
        case kv_subtype_interval: e->type = KV_TYPE_NUMERIC_NODE; return kv_error_none;
        default: return _kv_set_error_code(kv_error_error);
        }
    }
    if (is_leaf(e))
        return kv_error_none;
    kv_expression_s **a = e->payload.operands;
    size_t n = count(a);
    for (size_t i = 0; i < n; ++i)
        if (int s = _kv_type_check_expression(a[i]))
            return s;
    auto strict_numeric = [](uint32_t t) { return t == KV_TYPE_NUMERIC || t == KV_TYPE_NUMERIC_NODE; };
    auto strict_boolean = [](uint32_t t) { return t == KV_TYPE_BOOLEAN || t == KV_TYPE_BOOLEAN_NODE; };
    bool ok = true;
    uint32_t op = e->op;
    if (op == kv_operator_NoisyOR) {
        for (size_t i = 0; i + 1 < n; i += 2)
            ok = ok && strict_boolean(a[i]->type) && strict_numeric(a[i + 1]->type);
    } else if (op == kv_operator_if) {
        uint32_t t = a[1]->type, f = a[2]->type;
        ok = strict_boolean(a[0]->type) && base(t) == base(f);
        if (ok && e->type >= KV_TYPE_NODE)
            e->type = t;
    } else if (op == kv_operator_and || op == kv_operator_or || op == kv_operator_not) {
        for (size_t i = 0; i < n; ++i)
            ok = ok && strict_boolean(a[i]->type);
    } else if (op == kv_operator_equals || op == kv_operator_not_equals) {
        ok = base(a[0]->type) == base(a[1]->type) && base(a[0]->type) <= KV_TYPE_LABEL;
    } else {
        for (size_t i = 0; i < n; ++i)
            ok = ok && strict_numeric(a[i]->type);
    }
    return ok ? kv_error_none : _kv_set_error_code(kv_error_invalid_expression);
}

int _kv_node_check_expression(const kv_node_s *n, kv_expression_s *e)
{
    if (int s = _kv_type_check_expression(e))
        return s;
    uint32_t t = base(e->type);
    bool ok = true;
    if (n->category == kv_category_chance) {
        if (t == KV_TYPE_NUMERIC)
            ok = n->subtype == kv_subtype_number || n->subtype == kv_subtype_interval;
        else if (t == KV_TYPE_BOOLEAN)
            ok = n->subtype == kv_subtype_boolean;
        else if (t == KV_TYPE_LABEL)
            ok = n->subtype == kv_subtype_label;
    } else if (n->category == kv_category_utility) {
        ok = t == KV_TYPE_NUMERIC;
    }
    return ok ? kv_error_none : _kv_set_error_code(kv_error_invalid_expression);
}

// ---------------------------------------------------------------------------
// Text form.

namespace {

// Printed with a leading minus: -0 counts too (found by fuzzing).
bool negative_number(const kv_expression_s *e)
{
    return e->op == kv_operator_number && std::signbit(e->payload.number);
}

bool additive(const kv_expression_s *e)
{
    return e->op == kv_operator_add || e->op == kv_operator_subtract || e->op == kv_operator_negate ||
           negative_number(e);
}

bool multiplicative(const kv_expression_s *e)
{
    return e->op == kv_operator_multiply || e->op == kv_operator_divide;
}

bool comparison(const kv_expression_s *e)
{
    return e->op >= kv_operator_equals && e->op <= kv_operator_greater_than_or_equals;
}

void format(std::string &out, const kv_expression_s *e, const char *number_format);

void operand(std::string &out, const kv_expression_s *e, bool parenthesise, const char *number_format)
{
    if (parenthesise)
        out += '(';
    format(out, e, number_format);
    if (parenthesise)
        out += ')';
}

void format(std::string &out, const kv_expression_s *e, const char *number_format)
{
    char buffer[64];
    switch (e->op) {
    case kv_operator_number:
        if (!number_format) {
            _kv_write_number(out, e->payload.number, "%G"); // exact for files
            return;
        }
        std::snprintf(buffer, sizeof buffer, number_format, e->payload.number);
        out += buffer;
        return;
    case kv_operator_label:
        _kv_write_string(out, e->payload.label);
        return;
    case kv_operator_node:
        out += e->payload.node->name ? e->payload.node->name : "";
        return;
    case kv_operator_boolean:
        out += e->payload.boolean ? "true" : "false";
        return;
    default:
        break;
    }
    kv_expression_s *const *a = e->payload.operands;
    if (e->op <= kv_operator_not) {
        out += operator_names[e->op - kv_operator_Normal];
        out += " (";
        for (size_t i = 0; a[i]; ++i) {
            if (i)
                out += ", ";
            format(out, a[i], number_format);
        }
        out += ')';
        return;
    }
    if (e->op == kv_operator_negate) {
        out += '-';
        operand(out, a[0], additive(a[0]), number_format);
        return;
    }
    bool left = false, right = false;
    switch (e->op) {
    case kv_operator_add:
    case kv_operator_subtract:
        right = additive(a[1]);
        break;
    case kv_operator_multiply:
    case kv_operator_divide:
        left = additive(a[0]);
        right = additive(a[1]) || multiplicative(a[1]);
        break;
    case kv_operator_power:
        left = additive(a[0]) || multiplicative(a[0]) || a[0]->op == kv_operator_power;
        right = additive(a[1]) || multiplicative(a[1]);
        break;
    default: // comparisons
        left = comparison(a[0]);
        right = comparison(a[1]);
    }
    operand(out, a[0], left, number_format);
    out += ' ';
    out += infix_symbol(e->op);
    out += ' ';
    operand(out, a[1], right, number_format);
}

} // namespace

// The text form with a caller-chosen number format (the NET writer uses
// its own); the result belongs to the caller.
char *_kv_expression_to_string(const kv_expression_s *e, const char *number_format)
{
    std::string text;
    format(text, e, number_format);
    return _kv_allocate_string(text.c_str());
}

void _kv_write_expression(std::string &out, const kv_expression_s *e)
{
    format(out, e, nullptr);
}

bool _kv_expression_is_finite(const kv_expression_s *e)
{
    if (e->op == kv_operator_number)
        return std::isfinite(e->payload.number);
    if (is_leaf(e))
        return true;
    for (kv_expression_s **o = e->payload.operands; *o; ++o)
        if (!_kv_expression_is_finite(*o))
            return false;
    return true;
}

char *kv_expression_to_string(kv_expression_t e)
{
    if (_kv_set_error_code(!e))
        return nullptr;
    return kv::guard_ptr([&]() -> char * {
        char *saved = _kv_select_C_locale();
        if (!saved)
            return nullptr;
        char *text = _kv_expression_to_string(e, "%G");
        _kv_restore_locale(saved);
        return text;
    });
}

const char *_kv_operator_name(uint32_t op)
{
    return op >= kv_operator_Normal && op <= kv_operator_not ? operator_names[op - kv_operator_Normal] : nullptr;
}
