// The text grammar of expressions: comparisons, sums, terms, powers, and
// factors (numbers, labels, operator calls, node names, true and false).
#include <cstring>

#include "core/api.h"
#include "expression.h"
#include "io/parser.h"

namespace {

using kv::Parser;

// Every partial tree is released on failure; a failure sets p.status.
kv_expression_s *parse_expression(Parser &p);

kv_expression_s *fail(Parser &p, int code)
{
    if (!p.status)
        p.status = code;
    _kv_set_error_code(p.status);
    return nullptr;
}

// A constructor's result; its failure (no_memory) becomes the parse's.
kv_expression_s *made(Parser &p, kv_expression_s *e)
{
    return e ? e : fail(p, kv_error_code());
}

kv_expression_s *binary(Parser &p, kv_operator_t op, kv_expression_s *a, kv_expression_s *b)
{
    kv_expression_s *operands[] = {a, b, nullptr};
    kv_expression_s *e = kv_make_composite_expression(op, operands);
    if (!e) {
        int code = kv_error_code();
        kv::report(p, "API error: %s", kv_error_name(static_cast<kv_error_t>(code)));
        kv_expression_delete(a);
        kv_expression_delete(b);
        return fail(p, code);
    }
    return e;
}

// Every nested construct passes through a factor: hostile text must not
// exhaust the stack (the recursion takes a few frames per level).
constexpr unsigned max_nesting = 1000;

kv_expression_s *factor(Parser &p)
{
    struct Level {
        unsigned &nesting;
        ~Level() { --nesting; }
    } level{++p.nesting};
    if (p.nesting > max_nesting) {
        kv::report(p, "expression nested too deeply");
        return fail(p, kv_error_syntax);
    }
    int t = kv::next_token(p);
    switch (t) {
    case kv::T_NUMBER:
        return made(p, kv_number_make_expression(p.number));
    case kv::T_STRING:
        return made(p, kv_label_make_expression(p.text_value()));
    case kv::T_DOTTED: {
        kv_node_s *n = kv::lookup_node(p, p.target, p.text_value());
        return n ? made(p, kv_node_make_expression(n)) : fail(p, kv_error_syntax);
    }
    case '(': {
        kv_expression_s *e = parse_expression(p);
        if (!e)
            return nullptr;
        if (kv::next_token(p) != ')') {
            kv_expression_delete(e);
            return fail(p, kv_error_syntax);
        }
        return e;
    }
    case kv::T_NAME:
        break;
    case kv::T_ERROR:
        return fail(p, kv_error_syntax);
    default:
        return fail(p, kv_error_syntax);
    }
    std::vector<char, kv::ScratchAlloc<char>> name = p.text;
    int next = kv::next_token(p);
    if (next == '(') {
        uint32_t op = 0;
        for (uint32_t code = kv_operator_Normal; code <= kv_operator_not; ++code)
            if (std::strcmp(_kv_operator_name(code), name.data()) == 0)
                op = code;
        if (!op) {
            kv::report(p, "unknown operator `%s'", name.data());
            return fail(p, kv_error_syntax);
        }
        std::vector<kv_expression_s *, kv::ScratchAlloc<kv_expression_s *>> args;
        auto release = [&] {
            for (kv_expression_s *a : args)
                kv_expression_delete(a);
        };
        int token = kv::next_token(p);
        if (token != ')') {
            kv::unget_token(p, token);
            for (;;) {
                kv_expression_s *a = parse_expression(p);
                if (!a) {
                    release();
                    return nullptr;
                }
                args.push_back(a);
                token = kv::next_token(p);
                if (token == ')')
                    break;
                if (token != ',') {
                    kv::report(p, "`,' or `)' expected");
                    release();
                    return fail(p, kv_error_syntax);
                }
            }
        }
        args.push_back(nullptr);
        kv_expression_s *e = kv_make_composite_expression(static_cast<kv_operator_t>(op), args.data());
        if (!e) {
            int code = kv_error_code();
            kv::report(p, "API error: %s", kv_error_name(static_cast<kv_error_t>(code)));
            args.pop_back();
            release();
            return fail(p, code);
        }
        return e;
    }
    kv::unget_token(p, next);
    kv_node_s *n = p.target ? _kv_find_node_by_name(p.target, name.data()) : nullptr;
    if (n)
        return made(p, kv_node_make_expression(n));
    if (std::strcmp(name.data(), "false") == 0)
        return made(p, kv_boolean_make_expression(0));
    if (std::strcmp(name.data(), "true") == 0)
        return made(p, kv_boolean_make_expression(1));
    kv::report(p, "no such node");
    return fail(p, kv_error_syntax);
}

kv_expression_s *power(Parser &p)
{
    kv_expression_s *base = factor(p);
    if (!base)
        return nullptr;
    int t = kv::next_token(p);
    if (t != '^') {
        kv::unget_token(p, t);
        return base;
    }
    kv_expression_s *exponent = power(p);
    if (!exponent) {
        kv_expression_delete(base);
        return nullptr;
    }
    return binary(p, kv_operator_power, base, exponent);
}

kv_expression_s *term(Parser &p)
{
    kv_expression_s *e = power(p);
    while (e) {
        int t = kv::next_token(p);
        if (t != '*' && t != '/') {
            kv::unget_token(p, t);
            break;
        }
        kv_expression_s *r = power(p);
        if (!r) {
            kv_expression_delete(e);
            return nullptr;
        }
        e = binary(p, t == '*' ? kv_operator_multiply : kv_operator_divide, e, r);
    }
    return e;
}

kv_expression_s *sum(Parser &p)
{
    int t = kv::next_token(p);
    bool negate = t == '-';
    if (t != '+' && t != '-')
        kv::unget_token(p, t);
    kv_expression_s *e = term(p);
    if (!e)
        return nullptr;
    if (negate) {
        if (e->op == kv_operator_number) {
            e->payload.number = -e->payload.number;
        } else {
            kv_expression_s *operands[] = {e, nullptr};
            kv_expression_s *m = kv_make_composite_expression(kv_operator_negate, operands);
            if (!m) {
                kv_expression_delete(e);
                return fail(p, kv_error_code());
            }
            e = m;
        }
    }
    while (e) {
        t = kv::next_token(p);
        if (t != '+' && t != '-') {
            kv::unget_token(p, t);
            break;
        }
        kv_expression_s *r = term(p);
        if (!r) {
            kv_expression_delete(e);
            return nullptr;
        }
        e = binary(p, t == '+' ? kv_operator_add : kv_operator_subtract, e, r);
    }
    return e;
}

kv_operator_t comparison(int t)
{
    switch (t) {
    case kv::T_EQ: return kv_operator_equals;
    case kv::T_NE: return kv_operator_not_equals;
    case kv::T_LT: return kv_operator_less_than;
    case kv::T_LE: return kv_operator_less_than_or_equals;
    case kv::T_GT: return kv_operator_greater_than;
    case kv::T_GE: return kv_operator_greater_than_or_equals;
    default: return kv_operator_error;
    }
}

kv_expression_s *parse_expression(Parser &p)
{
    kv_expression_s *e = sum(p);
    if (!e)
        return nullptr;
    int t = kv::next_token(p);
    kv_operator_t op = comparison(t);
    if (op == kv_operator_error) {
        kv::unget_token(p, t);
        return e;
    }
    kv_expression_s *r = sum(p);
    if (!r) {
        kv_expression_delete(e);
        return nullptr;
    }
    return binary(p, op, e, r);
}

} // namespace

namespace kv {
// One expression from the parser's input, for the NET grammar's model data.
kv_expression_s *parse_one_expression(Parser &p)
{
    return parse_expression(p);
}
} // namespace kv

kv_expression_s *_kv_parse_expression(kv_domain_s *container, const char *text,
                                      kv_error_handler_t handler, void *data)
{
    kv::Parser p;
    kv::start_parser(p, text, std::strlen(text), false, handler, data);
    p.reader = kv::get_expr_token;
    p.target = container;
    kv_expression_s *e = parse_expression(p);
    // Releasing partial trees resets the error code; the parse keeps its own.
    if (!e)
        return _kv_set_error_code(p.status ? p.status : kv_error_syntax), nullptr;
    if (kv::next_token(p) != kv::T_END) {
        kv_expression_delete(e);
        return _kv_set_error_code(kv_error_syntax), nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return e;
}

static kv_expression_t parse_in(kv_domain_s *container, kv_string_t text, kv_error_handler_t handler,
                                void *data)
{
    return kv::guard_ptr([&]() -> kv_expression_s * {
        char *saved = _kv_select_C_locale();
        if (!saved)
            return nullptr;
        kv_expression_s *e = _kv_parse_expression(container, text, handler, data);
        int code = kv_error_code();
        _kv_restore_locale(saved);
        _kv_set_error_code(code);
        return e;
    });
}

kv_expression_t kv_domain_string_to_expression(kv_domain_t d, kv_string_t text,
                                               kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!d || !text))
        return nullptr;
    return parse_in(d, text, handler, data);
}

kv_expression_t kv_class_string_to_expression(kv_class_t c, kv_string_t text,
                                              kv_error_handler_t handler, void *data)
{
    return kv_domain_string_to_expression(c, text, handler, data);
}

namespace {
struct Handler2 {
    kv_error_handler2_t handler;
};
void adapt(size_t position, kv_string_t message, void *data)
{
    static_cast<Handler2 *>(data)->handler(position, message);
}
} // namespace

kv_expression_t kv_string_to_expression(kv_string_t text, kv_domain_t d, kv_error_handler2_t handler)
{
    Handler2 wrapper{handler};
    return kv_domain_string_to_expression(d, text, handler ? adapt : nullptr, &wrapper);
}

kv_expression_t kv_string_parse_expression(kv_string_t text, kv_model_t m, kv_error_handler_t handler,
                                           void *data)
{
    if (_kv_set_error_code(!m || !text))
        return nullptr;
    return parse_in(m->owner->home, text, handler, data);
}
