#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/memory.h"
#include "expr/expression.h"
#include "kelvo.h"

namespace {

std::vector<std::string> messages;

void collect(size_t, kv_string_t message, void *)
{
    messages.push_back(message);
}

class ExpressionTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        d = kv_new_domain();
        a = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(a, "a");
        kv_node_set_number_of_states(a, 2);
        b = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(b, "b");
        kv_node_set_number_of_states(b, 2);
        c = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(c, "c");
    }
    void TearDown() override { kv_domain_delete(d); }
    kv_expression_t parse(const char *text)
    {
        messages.clear();
        return kv_domain_string_to_expression(d, text, collect, nullptr);
    }
    std::string round(const char *text)
    {
        kv_expression_t e = parse(text);
        if (!e)
            return std::string("<") + kv_error_name(kv_error_code()) + ">";
        char *s = kv_expression_to_string(e);
        std::string out = s;
        std::free(s);
        kv_expression_delete(e);
        return out;
    }
    kv_domain_t d;
    kv_node_t a, b, c;
};

} // namespace

TEST_F(ExpressionTest, Precedence)
{
    kv_expression_t e = parse("-3");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(kv_expression_get_operator(e), kv_operator_number);
    EXPECT_EQ(kv_expression_get_number(e), -3.0);
    kv_expression_delete(e);
    e = parse("-a");
    EXPECT_EQ(kv_expression_get_operator(e), kv_operator_negate);
    kv_expression_delete(e);
    e = parse("2^3^2");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(kv_expression_get_operator(kv_expression_get_operands(e)[1]), kv_operator_power);
    kv_expression_delete(e);
    // A leading minus negates the whole term: printing needs no parentheses.
    EXPECT_EQ(round("-2^2"), "-2 ^ 2");
    EXPECT_EQ(round("-a*b"), "-a * b");
    EXPECT_EQ(round("a - (b - c)"), "a - (b - c)");
    EXPECT_EQ(round("(a - b) - c"), "a - b - c");
    EXPECT_EQ(round("a * (-2)"), "a * (-2)");
    EXPECT_EQ(round("1 / (-0)"), "1 / (-0)") << "negative zero is printed as a negative number";
    EXPECT_EQ(round("a * -2"), "<syntax>") << "a factor cannot start with a sign";
    EXPECT_EQ(round("-(a + b)"), "-(a + b)");
    EXPECT_EQ(round("a = b"), "a == b");
    EXPECT_EQ(round("a <> b"), "a != b");
    EXPECT_EQ(round("(a * b) ^ 2"), "(a * b) ^ 2");
    EXPECT_EQ(round("Normal(a, 1)"), "Normal (a, 1)");
    EXPECT_EQ(round("if(a < 2, \"x\", \"y\")"), "if (a < 2, \"x\", \"y\")");
    EXPECT_EQ(round("true and not(false)"), "<syntax>");
    EXPECT_EQ(round("and(true, not(false))"), "and (true, not (false))");
}

TEST_F(ExpressionTest, Errors)
{
    EXPECT_EQ(parse("Normal(1)"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_invalid_expression);
    EXPECT_EQ(messages, std::vector<std::string>{"API error: invalid_expression"});
    EXPECT_EQ(parse("Nrmal(1, 2)"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"unknown operator `Nrmal'"});
    EXPECT_EQ(kv_error_code(), kv_error_syntax);
    EXPECT_EQ(parse("zz + 1"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"no such node"});
    EXPECT_EQ(parse("max(1 2)"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"`,' or `)' expected"});
    EXPECT_EQ(parse("a < b < c"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_syntax);
    EXPECT_EQ(parse("a ! b"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"`!' must be followed by `='"});
    EXPECT_EQ(parse("if(true, 1, \"x\")"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_invalid_expression);
}

// Nesting is bounded, so that hostile text cannot exhaust the stack: 999
// levels of parentheses (1000 nested factors) read, 1000 do not.
TEST_F(ExpressionTest, NestingIsBounded)
{
    auto nested = [](size_t levels, const char *inner) {
        return std::string(levels, '(') + inner + std::string(levels, ')');
    };
    EXPECT_EQ(round(nested(999, "1").c_str()), "1");
    EXPECT_EQ(round(nested(1000, "1").c_str()), "<syntax>");
    EXPECT_EQ(messages, std::vector<std::string>{"expression nested too deeply"});
    EXPECT_EQ(round(("2 * " + nested(100000, "a")).c_str()), "<syntax>");
    EXPECT_EQ(round(nested(998, "-1").c_str()), "-1");
}

TEST_F(ExpressionTest, SharingAndRelease)
{
    kv_expression_t x = kv_number_make_expression(1.0);
    kv_expression_t y = kv_node_make_expression(a);
    kv_expression_t ops[] = {x, y, nullptr};
    kv_expression_t sum = kv_make_composite_expression(kv_operator_add, ops);
    ASSERT_NE(sum, nullptr);
    EXPECT_EQ(kv_expression_delete(x), 0) << "held by the composite: left alone";
    EXPECT_EQ(kv_expression_get_number(x), 1.0);
    kv_expression_t copy = kv_expression_clone(sum);
    EXPECT_NE(kv_expression_get_operands(copy)[0], x);
    EXPECT_EQ(kv_expression_delete(sum), 0); // releases x and y too (sanitizers check)
    EXPECT_EQ(kv_expression_delete(copy), 0);
    EXPECT_EQ(kv_make_composite_expression(static_cast<kv_operator_t>(105), ops), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_expression_t label = kv_label_make_expression("\001" "7\t\"");
    char *text = kv_expression_to_string(label);
    EXPECT_STREQ(text, "\"\\0017\\t\\\"\"");
    std::free(text);
    kv_expression_delete(label);
}

TEST_F(ExpressionTest, RandomTreesPrintAndParseBack)
{
    std::mt19937 rng(5);
    std::function<kv_expression_t(int)> make = [&](int depth) -> kv_expression_t {
        int pick = depth <= 0 ? int(rng() % 3) : int(rng() % 9);
        switch (pick) {
        case 0: return kv_number_make_expression(double(int(rng() % 200) - 100) / 4);
        case 1: return kv_node_make_expression(rng() % 2 ? a : b);
        case 2: return kv_number_make_expression(double(rng() % 10));
        case 3: {
            kv_expression_t ops[] = {make(depth - 1), nullptr};
            return kv_make_composite_expression(kv_operator_negate, ops);
        }
        case 4: {
            kv_expression_t ops[] = {make(depth - 1), make(depth - 1), nullptr};
            return kv_make_composite_expression(kv_operator_max, ops);
        }
        default: {
            static const kv_operator_t infix[] = {kv_operator_add, kv_operator_subtract, kv_operator_multiply,
                                                  kv_operator_divide, kv_operator_power};
            kv_expression_t ops[] = {make(depth - 1), make(depth - 1), nullptr};
            return kv_make_composite_expression(infix[rng() % 5], ops);
        }
        }
    };
    // The parser folds the negation of a number into the number.
    std::function<bool(kv_expression_t, double &)> folded = [&](kv_expression_t x, double &v) {
        if (kv_expression_get_operator(x) == kv_operator_number) {
            v = kv_expression_get_number(x);
            return true;
        }
        if (kv_expression_get_operator(x) == kv_operator_negate && folded(kv_expression_get_operands(x)[0], v)) {
            v = -v;
            return true;
        }
        return false;
    };
    std::function<bool(kv_expression_t, kv_expression_t)> equal = [&](kv_expression_t x, kv_expression_t y) {
        double vx, vy;
        if (folded(x, vx) || folded(y, vy))
            return folded(x, vx) && folded(y, vy) && vx == vy;
        if (kv_expression_get_operator(x) != kv_expression_get_operator(y))
            return false;
        switch (kv_expression_get_operator(x)) {
        case kv_operator_number: return kv_expression_get_number(x) == kv_expression_get_number(y);
        case kv_operator_node: return kv_expression_get_node(x) == kv_expression_get_node(y);
        default: break;
        }
        kv_expression_t *p = kv_expression_get_operands(x), *q = kv_expression_get_operands(y);
        for (; *p && *q; ++p, ++q)
            if (!equal(*p, *q))
                return false;
        return !*p && !*q;
    };
    for (int i = 0; i < 300; ++i) {
        kv_expression_t e = make(4);
        char *text = kv_expression_to_string(e);
        kv_expression_t back = parse(text);
        ASSERT_NE(back, nullptr) << text;
        EXPECT_TRUE(equal(e, back)) << text;
        std::free(text);
        kv_expression_delete(e);
        kv_expression_delete(back);
    }
}

TEST(ModelParseTest, ModelsReadFromNet)
{
    const char *text = R"(node A { states = ("a" "b"); }
node B { states = ("x" "y"); }
potential (A) { data = (0.5 0.5); }
potential (B | A) { model_nodes = (A); model_data = (Distribution(1, 3), ); samples_per_interval = 5; })";
    messages.clear();
    kv_domain_t d = kv_net_parse_from_string(text, [](size_t, kv_string_t m) { messages.push_back(m); });
    ASSERT_NE(d, nullptr) << (messages.empty() ? "" : messages[0]);
    kv_model_t m = kv_node_get_model(kv_domain_get_node_by_name(d, "B"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(kv_model_get_size(m), 2u);
    char *e0 = kv_expression_to_string(kv_model_get_expression(m, 0));
    EXPECT_STREQ(e0, "Distribution (1, 3)");
    std::free(e0);
    EXPECT_EQ(kv_model_get_expression(m, 1), nullptr) << "an empty slot";
    EXPECT_EQ(kv_model_get_number_of_samples_per_interval(m), 5u);
    // Removing the model node deletes the model.
    kv_node_remove_parent(kv_domain_get_node_by_name(d, "B"), kv_domain_get_node_by_name(d, "A"));
    EXPECT_EQ(kv_node_get_model(kv_domain_get_node_by_name(d, "B")), nullptr);
    kv_domain_delete(d);
    EXPECT_EQ(kv_net_parse_from_string("node A { }\npotential (A) { model_data = (1); }",
                                       [](size_t, kv_string_t m) { messages.push_back(m); }),
              nullptr);
    EXPECT_EQ(messages.back(), "`model_nodes' attribute has not been specified");
    EXPECT_EQ(kv_net_parse_from_string("node A { }\npotential (A) { model_nodes = (); samples_per_interval = 2.5; }",
                                       [](size_t, kv_string_t m) { messages.push_back(m); }),
              nullptr);
    EXPECT_EQ(messages.back(), "`samples_per_interval' must be a positive integer");
}

namespace {

// Y with parents A (a model node, number subtype) and L (labelled, not a
// model node); X is a spare node like A, Z one like L.
class ModelBookkeepingTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        d = kv_new_domain();
        a = node("A", 2);
        l = node("L", 2);
        x = node("X", 2);
        z = node("Z", 2);
        y = node("Y", 2);
        for (kv_node_t n : {a, x}) {
            ASSERT_EQ(kv_node_set_subtype(n, kv_subtype_number), 0);
            ASSERT_EQ(kv_node_set_state_value(n, 0, 1.0), 0);
            ASSERT_EQ(kv_node_set_state_value(n, 1, 2.0), 0);
        }
        ASSERT_EQ(kv_node_add_parent(y, a), 0);
        ASSERT_EQ(kv_node_add_parent(y, l), 0);
        kv_node_t nodes[] = {a, nullptr};
        m = kv_node_new_model(y, nodes);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(kv_model_get_size(m), 2u);
        shared = kv_domain_string_to_expression(d, "if (L == \"l1\", Distribution (A, 1), Distribution (1, A))",
                                                nullptr, nullptr);
        ASSERT_NE(shared, nullptr);
        ASSERT_EQ(kv_model_set_expression(m, 0, shared), 0);
        ASSERT_EQ(kv_model_set_expression(m, 1, shared), 0);
        m->touched = 0;
    }
    void TearDown() override
    {
        _kv_expr_decrement_ref_count_and_free(held);
        kv_domain_delete(d);
    }
    kv_node_t node(const char *name, size_t states)
    {
        kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        kv_node_set_name(n, name);
        kv_node_set_number_of_states(n, states);
        for (size_t s = 0; s < states; ++s)
            kv_node_set_state_label(n, s, (std::string(1, char(std::tolower(name[0]))) + char('0' + s)).c_str());
        return n;
    }
    std::string slot(size_t i)
    {
        kv_expression_t e = kv_model_get_expression(m, i);
        if (!e)
            return "<none>";
        char *s = kv_expression_to_string(e);
        std::string out = s;
        std::free(s);
        return out;
    }
    kv_domain_t d;
    kv_node_t a, l, x, z, y;
    kv_model_t m;
    kv_expression_t shared, held = nullptr;
};

} // namespace

// A new state count of a model node frees the slots, numbered over it; of
// any other parent or of the owner it keeps them.  All touch the model.
TEST_F(ModelBookkeepingTest, StateCountChangesFollowTheSlots)
{
    ASSERT_EQ(kv_node_set_number_of_states(l, 3), 0);
    EXPECT_EQ(m->touched, 1);
    EXPECT_EQ(slot(1), "if (L == \"l1\", Distribution (A, 1), Distribution (1, A))");
    m->touched = 0;
    ASSERT_EQ(kv_node_set_number_of_states(y, 3), 0);
    EXPECT_EQ(m->touched, 1);
    EXPECT_EQ(kv_model_get_size(m), 2u);
    m->touched = 0;
    ASSERT_EQ(kv_node_set_number_of_states(a, 3), 0);
    EXPECT_EQ(m->touched, 1);
    EXPECT_EQ(kv_model_get_size(m), 3u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(slot(i), "<none>") << i;
    ASSERT_EQ(kv_node_set_number_of_states(a, 1), 0);
    EXPECT_EQ(kv_model_get_size(m), 1u);
}

// Labels, values and subtypes of a parent touch the child's model.
TEST_F(ModelBookkeepingTest, ParentEditsTouchTheChildsModel)
{
    ASSERT_EQ(kv_node_set_state_value(a, 1, 3.0), 0);
    EXPECT_EQ(m->touched, 1);
    m->touched = 0;
    ASSERT_EQ(kv_node_set_state_label(l, 0, "first"), 0);
    EXPECT_EQ(m->touched, 1);
    m->touched = 0;
    ASSERT_EQ(kv_node_set_state_label(a, 0, "one"), 0);
    EXPECT_EQ(m->touched, 0) << "labels of a number node do not enter expressions";
    ASSERT_EQ(kv_node_set_subtype(l, kv_subtype_boolean), 0);
    EXPECT_EQ(m->touched, 1);
}

// Switching a parent replaces it in the model's node list and in every slot
// through substituted copies: the shared expression keeps the old parent.
// Deleting the old parent afterwards leaves the model intact.
TEST_F(ModelBookkeepingTest, SwitchedParentsAreReplacedInTheModel)
{
    held = shared;
    ++held->reference_count; // as another model would hold it
    ASSERT_EQ(kv_node_switch_parent(y, a, x), 0);
    EXPECT_EQ(m->touched, 1);
    ASSERT_EQ(kv_node_get_model(y), m);
    EXPECT_EQ(kv_model_get_nodes(m)[0], x);
    EXPECT_EQ(kv_model_get_nodes(m)[1], nullptr);
    EXPECT_EQ(slot(0), "if (L == \"l1\", Distribution (X, 1), Distribution (1, X))");
    EXPECT_EQ(slot(1), slot(0));
    char *text = kv_expression_to_string(held);
    EXPECT_STREQ(text, "if (L == \"l1\", Distribution (A, 1), Distribution (1, A))");
    std::free(text);
    EXPECT_EQ(held->reference_count, 1u) << "the slots let go of the old tree";
    // The untouched branch is shared by the copies, not copied.
    kv_expression_t branch = kv_expression_get_operands(kv_model_get_expression(m, 0))[0];
    EXPECT_EQ(branch, kv_expression_get_operands(held)[0]);
    ASSERT_EQ(kv_node_delete(a), 0);
    EXPECT_EQ(kv_node_get_model(y), m);
    ASSERT_EQ(kv_node_set_state_label(z, 0, "l0"), 0);
    ASSERT_EQ(kv_node_set_state_label(z, 1, "l1"), 0);
    ASSERT_EQ(kv_node_switch_parent(y, l, z), 0);
    EXPECT_EQ(kv_model_get_nodes(m)[0], x) << "L is not a model node";
    EXPECT_EQ(slot(1), "if (Z == \"l1\", Distribution (X, 1), Distribution (1, X))");
    ASSERT_EQ(kv_node_delete(l), 0);
    EXPECT_EQ(slot(0), slot(1));
    ASSERT_EQ(kv_node_delete(x), 0);
    EXPECT_EQ(kv_node_get_model(y), nullptr) << "deleting a model node deletes the model";
}

// Running out of memory while copying the slots leaves the switch undone.
TEST_F(ModelBookkeepingTest, SwitchOutOfMemoryChangesNothing)
{
    int failures = 0;
    for (long n = 1; n < 50; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_node_switch_parent(y, a, x);
        bool pending = kv::allocation_failure_pending();
        kv::fail_allocation_after(0);
        if (status == 0) {
            EXPECT_TRUE(pending) << n;
            break;
        }
        ++failures;
        EXPECT_EQ(status, kv_error_no_memory);
        EXPECT_EQ(kv_node_get_parents(y)[1], a);
        EXPECT_EQ(kv_model_get_nodes(m)[0], a);
        EXPECT_EQ(slot(0), "if (L == \"l1\", Distribution (A, 1), Distribution (1, A))");
        EXPECT_EQ(kv_model_get_expression(m, 0), shared);
    }
    EXPECT_GT(failures, 2);
    EXPECT_EQ(slot(0), "if (L == \"l1\", Distribution (X, 1), Distribution (1, X))");
}
