#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kelvo.h"

namespace {

// A number node A (0, 1, 2), a label node B (red, green), a boolean C, an
// interval node X ([0, 10), [10, 20)) and the children built in each test.
class GenerateTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        d = kv_net_parse_from_string(R"(
node A { states = ("0" "1" "2"); subtype = number; state_values = (0 1 2); }
node B { states = ("red" "green"); }
node C { states = ("no" "yes"); subtype = boolean; }
node X { states = ("low" "high"); subtype = interval; state_values = (0 10 20); }
node W { states = ("neg" "pos" "all"); subtype = interval; state_values = (-infinity 0 5 infinity); }
)",
                                     nullptr);
        ASSERT_NE(d, nullptr);
        log = std::tmpfile();
        ASSERT_EQ(kv_domain_set_log_file(d, log), 0);
    }
    void TearDown() override
    {
        kv_domain_delete(d); // closes the log
    }

    kv_node_t node(const char *name) { return kv_domain_get_node_by_name(d, name); }

    // A child of the given parents (its table in this order) with a model
    // over model_nodes.
    kv_node_t child(kv_node_category_t category, std::vector<const char *> parents,
                    std::vector<const char *> model_nodes, size_t states = 2)
    {
        kv_node_t n = kv_domain_new_node(d, category, kv_kind_discrete);
        if (category != kv_category_utility)
            kv_node_set_number_of_states(n, states);
        // A new parent goes to the front: the last added comes first.
        for (auto p = parents.rbegin(); p != parents.rend(); ++p)
            EXPECT_EQ(kv_node_add_parent(n, node(*p)), 0) << *p;
        std::vector<kv_node_t> list;
        for (const char *m : model_nodes)
            list.push_back(node(m));
        list.push_back(nullptr);
        model = kv_node_new_model(n, list.data());
        EXPECT_NE(model, nullptr);
        return n;
    }

    void set(size_t index, const char *text)
    {
        kv_expression_t e = kv_string_parse_expression(text, model, nullptr, nullptr);
        ASSERT_NE(e, nullptr) << text;
        ASSERT_EQ(kv_model_set_expression(model, index, e), 0) << text;
    }

    std::vector<double> data(kv_node_t n)
    {
        kv_table_t t = kv_node_get_table(n);
        double *v = kv_table_get_data(t);
        return std::vector<double>(v, v + kv_table_get_size(t));
    }

    std::string logged()
    {
        std::fflush(log);
        std::rewind(log);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, log)) > 0)
            text.append(buffer, n);
        FILE *old = log;
        log = std::tmpfile();
        kv_domain_set_log_file(d, log);
        std::fclose(old);
        return text;
    }

    kv_domain_t d = nullptr;
    kv_model_t model = nullptr;
    FILE *log = nullptr;
};

} // namespace

// Utilities over every operator, against the same formulas in C++.
TEST_F(GenerateTableTest, UtilitiesAgreeWithAnIndependentEvaluator)
{
    kv_node_t u = child(kv_category_utility, {"A", "B", "C"}, {});
    set(0, "if (and (B == \"red\", not (C)), A ^ 2 + 3 * A - 1, max (A, 0.5) / 2) + mod (A + 5, 3) "
           "- min (A, 1, 2) + log (A + 1) + exp (A / 4) + sqrt (A + 0.25) + abs (0 - A) "
           "+ floor (A / 2 + 0.3) + ceil (A / 3) + log2 (A + 2) + log10 (A + 10) + sin (A) * cos (A) "
           "+ tan (A / 10) + sinh (A / 3) - cosh (A / 5) + tanh (A) + (if (or (A >= 1, C), 1, 0)) "
           "+ (if (and (A != 2, B != \"green\"), 10, 20)) + (if (A <= 1, 100, 0)) + (if (A > 1, 0.5, 0))");
    std::function<double(double, int, int)> expected = [](double a, int b, int c) {
        bool red = b == 0, yes = c == 1;
        double v = (red && !yes ? std::pow(a, 2) + 3 * a - 1 : std::max(a, 0.5) / 2) + std::fmod(a + 5, 3) -
                   std::min(a, 1.0) + std::log(a + 1) + std::exp(a / 4) + std::sqrt(a + 0.25) + std::fabs(0 - a) +
                   std::floor(a / 2 + 0.3) + std::ceil(a / 3) + std::log2(a + 2) + std::log10(a + 10) +
                   std::sin(a) * std::cos(a) + std::tan(a / 10) + std::sinh(a / 3) - std::cosh(a / 5) +
                   std::tanh(a) + (a >= 1 || yes ? 1 : 0) + (a != 2 && red ? 10 : 20) +
                   (a <= 1 ? 100 : 0) + (a > 1 ? 0.5 : 0);
        return v;
    };
    ASSERT_EQ(kv_node_generate_table(u), 0) << logged();
    std::vector<double> t = data(u);
    ASSERT_EQ(t.size(), 12u);
    size_t i = 0;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 2; ++b)
            for (int c = 0; c < 2; ++c, ++i)
                EXPECT_NEAR(t[i], expected(a, b, c), 1e-12 * std::fabs(expected(a, b, c))) << a << b << c;
    EXPECT_EQ(logged(), "Using model for " + std::string(kv_node_get_name(u)) + " to generate a utility table\n");
}

// Deterministic children of every subtype, and expressions chosen by the
// model nodes.
TEST_F(GenerateTableTest, DeterministicRelationsAndModelNodes)
{
    kv_node_t n = child(kv_category_chance, {"A", "C"}, {"C"}, 4);
    ASSERT_EQ(kv_node_set_subtype(n, kv_subtype_number), 0);
    for (size_t s = 0; s < 4; ++s)
        ASSERT_EQ(kv_node_set_state_value(n, s, double(s)), 0);
    set(0, "A");     // C = no
    set(1, "A + 1"); // C = yes
    ASSERT_EQ(kv_node_generate_table(n), 0) << logged();
    EXPECT_EQ(data(n), (std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0,
                                            0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
    kv_node_t l = child(kv_category_chance, {"B"}, {});
    ASSERT_EQ(kv_node_set_state_label(l, 0, "green"), 0);
    ASSERT_EQ(kv_node_set_state_label(l, 1, "red"), 0);
    set(0, "B");
    ASSERT_EQ(kv_node_generate_table(l), 0);
    EXPECT_EQ(data(l), (std::vector<double>{0, 1, 1, 0}));
    kv_node_t b = child(kv_category_chance, {"A"}, {});
    ASSERT_EQ(kv_node_set_subtype(b, kv_subtype_boolean), 0);
    set(0, "A > 0");
    ASSERT_EQ(kv_node_generate_table(b), 0);
    EXPECT_EQ(data(b), (std::vector<double>{1, 0, 0, 1, 0, 1}));
    // An interval child: inner boundaries belong to the upper state, the
    // upper end to the last.
    kv_node_t i = child(kv_category_chance, {"A"}, {}, 2);
    ASSERT_EQ(kv_node_set_subtype(i, kv_subtype_interval), 0);
    kv_node_set_state_value(i, 0, 0);
    kv_node_set_state_value(i, 1, 1);
    kv_node_set_state_value(i, 2, 2);
    set(0, "A");
    ASSERT_EQ(kv_node_generate_table(i), 0);
    EXPECT_EQ(data(i), (std::vector<double>{1, 0, 0, 1, 0, 1}));
}

// Interval parents are sampled at the midpoints of n equal parts; infinite
// ends give one point.  A linear expression averages to its midpoint value.
TEST_F(GenerateTableTest, IntervalParentsAreSampled)
{
    kv_node_t u = child(kv_category_utility, {"X", "W"}, {});
    set(0, "2 * X + W");
    ASSERT_EQ(kv_node_generate_table(u), 0);
    std::vector<double> t = data(u);
    // W: (-inf, 0) at -1, [0, 5) sampled, [5, inf) at 5.005.
    const double w[3] = {-1, 2.5, 5.005};
    for (size_t x = 0; x < 2; ++x)
        for (size_t k = 0; k < 3; ++k)
            EXPECT_NEAR(t[x * 3 + k], 2 * (5 + 10.0 * x) + w[k], 1e-12) << x << k;
    std::string text = logged();
    EXPECT_NE(text.find("interval(0,0,): 9 (min=-0.6, max=18.6)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("interval(1,1,): 32.5 (min=20.5, max=44.5)\n"), std::string::npos) << text;

    // 25 samples in [0, 10]: 0.2, 0.6, ..., 9.8.
    kv_node_t v = child(kv_category_utility, {"X"}, {});
    set(0, "if (X < 0.3, 1, 0) + if (X > 9.7, 100, 0)");
    ASSERT_EQ(kv_node_generate_table(v), 0);
    EXPECT_NEAR(data(v)[0], 101.0 / 25, 1e-15);
    ASSERT_EQ(kv_model_set_number_of_samples_per_interval(model, 2), 0);
    ASSERT_EQ(kv_node_generate_table(v), 0);
    EXPECT_NEAR(data(v)[0], 0.0, 0);
    EXPECT_EQ(kv_model_set_number_of_samples_per_interval(model, 0), kv_error_usage);
}

TEST_F(GenerateTableTest, DistributionsOverTheChildsStates)
{
    kv_node_t n = child(kv_category_chance, {"A"}, {}, 3);
    ASSERT_EQ(kv_node_set_subtype(n, kv_subtype_interval), 0);
    kv_node_set_state_value(n, 0, -DBL_MAX);
    kv_node_set_state_value(n, 1, 0);
    kv_node_set_state_value(n, 2, 1);
    kv_node_set_state_value(n, 3, DBL_MAX);
    set(0, "Normal (A, 1)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    std::vector<double> t = data(n);
    EXPECT_NEAR(t[0], 0.5, 1e-16);
    EXPECT_NEAR(t[1], 0.34134474606854293, 1e-15);
    EXPECT_NEAR(t[2], 0.15865525393145707, 1e-15);
    set(0, "Exponential (2)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    t = data(n);
    EXPECT_EQ(t[0], 0.0);
    EXPECT_NEAR(t[1], 1 - std::exp(-0.5), 1e-15);
    EXPECT_NEAR(t[2], std::exp(-0.5), 1e-15);
    set(0, "Poisson (1.5)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    t = data(n);
    EXPECT_EQ(t[0], 0.0);
    EXPECT_NEAR(t[1], std::exp(-1.5), 1e-15);
    EXPECT_NEAR(t[2], 1 - std::exp(-1.5), 1e-15);
    set(0, "Distribution (1, A, 2)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    EXPECT_EQ(data(n), (std::vector<double>{1.0 / 3, 0, 2.0 / 3, 0.25, 0.25, 0.5, 0.2, 0.4, 0.4}));

    // A number child 0, 1, ..., takes point masses and the upper tail; a
    // large mean does not underflow.
    kv_node_t p = child(kv_category_chance, {}, {}, 1101);
    ASSERT_EQ(kv_node_set_subtype(p, kv_subtype_number), 0);
    for (size_t s = 0; s < 1101; ++s)
        kv_node_set_state_value(p, s, double(s));
    set(0, "Poisson (1000)");
    ASSERT_EQ(kv_node_generate_table(p), 0);
    t = data(p);
    EXPECT_NEAR(t[1000], 1.26146113487215e-2, 1e-15);
    double sum = 0;
    for (double x : t)
        sum += x;
    EXPECT_NEAR(sum, 1.0, 1e-13);
    set(0, "Binomial (2000, 0.5)");
    EXPECT_EQ(kv_node_generate_table(p), 0);
    t = data(p);
    EXPECT_NEAR(t[1000], 1.7839011145854321e-2, 1e-15);
    sum = 0;
    for (double x : t)
        sum += x;
    EXPECT_NEAR(sum, 1.0, 1e-13);
}

// Each check with its log line and code; a failed generation keeps the
// table it had.
TEST_F(GenerateTableTest, ChecksMessagesAndCodes)
{
    kv_node_t n = child(kv_category_chance, {"A"}, {"A"}, 3);
    std::string name = kv_node_get_name(n);
    EXPECT_EQ(kv_node_generate_table(n), kv_error_invalid_expression);
    EXPECT_EQ(logged(), "Model for " + name + " is unspecified\n");
    set(1, "Distribution (1, 1, 1)");
    set(2, "\"x\" == \"x\"");
    EXPECT_EQ(kv_node_generate_table(n), kv_error_invalid_expression);
    EXPECT_EQ(logged(), "Using model for " + name + " to generate a conditional probability table\n"
                        "No expression at index 0\nInvalid expression at index 2\n");
    std::vector<double> before = data(n);
    set(0, "Distribution (1, 1, 1)");
    set(2, "Distribution (1, 2)");
    EXPECT_EQ(kv_node_generate_table(n), kv_error_invalid_expression);
    EXPECT_EQ(data(n), before);
    logged();
    struct {
        const char *expression;
        int code;
        const char *line;
    } cases[] = {
        {"Distribution (1, 2)", kv_error_invalid_expression,
         "The number of arguments of a Distribution expression must match the number of states\n"},
        {"Distribution (1, -2, 1)", kv_error_inappropriate_arguments,
         "Negative value in Distribution expression (state 1)\n"},
        {"Distribution (0, 0, 0)", kv_error_inappropriate_arguments,
         "At least one argument of a Distribution expression must be positive\n"},
        {"Normal (0, 1)", kv_error_invalid_expression, "A Normal distribution can only be applied to interval nodes\n"},
        {"NoisyOR (true, 0.5)", kv_error_invalid_expression,
         "A Noisy-OR distribution can only be applied to boolean nodes\n"},
        {"Poisson (2)", kv_error_invalid_expression,
         "A Poisson distribution can only be applied to numbered or interval nodes\n"},
        {"Distribution (1, 1 / (A - A), 1)", kv_error_division_by_zero, ""},
        {"Distribution (1, sqrt (0 - 1), 1)", kv_error_inappropriate_arguments, ""},
        {"Distribution (1, mod (1, 0), 1)", kv_error_division_by_zero, ""},
    };
    for (const auto &c : cases) {
        set(0, c.expression);
        EXPECT_EQ(kv_node_generate_table(n), c.code) << c.expression;
        std::string text = logged();
        std::string head = "Using model for " + name + " to generate a conditional probability table\n";
        EXPECT_EQ(text, head + c.line) << c.expression;
        EXPECT_EQ(data(n), before) << c.expression;
    }
}

TEST_F(GenerateTableTest, ChecksOfTheIntervalDistributions)
{
    kv_node_t n = child(kv_category_chance, {}, {}, 2);
    ASSERT_EQ(kv_node_set_subtype(n, kv_subtype_interval), 0);
    kv_node_set_state_value(n, 0, 0);
    kv_node_set_state_value(n, 1, 1);
    kv_node_set_state_value(n, 2, 2);
    std::string head = "Using model for " + std::string(kv_node_get_name(n)) +
                       " to generate a conditional probability table\n";
    struct {
        const char *expression;
        int code;
        const char *line;
    } cases[] = {
        {"Normal (0, 0)", kv_error_inappropriate_arguments, "Variance for a normal distribution must be positive (observed: 0)\n"},
        {"Normal (0, 1)", kv_error_insufficient_state_range, "Node range must include (-inf, inf) for normal distribution\n"},
        {"Gamma (1, -2)", kv_error_inappropriate_arguments,
         "Gamma distribution parameters must be positive (observed: shape = 1 and scale = -2)\n"},
        {"Gamma (1, 2)", kv_error_insufficient_state_range, "Node range must include [0, inf) for gamma distribution\n"},
        {"Exponential (0)", kv_error_inappropriate_arguments,
         "Exponential distribution parameter must be positive (observed: 0)\n"},
        {"Weibull (1, 0)", kv_error_inappropriate_arguments,
         "Weibull distribution parameters must be positive (observed: a = 1, b = 0)\n"},
        {"Weibull (1, 2)", kv_error_insufficient_state_range, "Node range must include [0, inf) for Weibull distribution\n"},
        {"Uniform (1, 1)", kv_error_inappropriate_arguments,
         "Uniform distribution: first parameter must be less than the second parameter (observed: a = 1 and b = 1)\n"},
        {"Uniform (1, 3)", kv_error_insufficient_state_range,
         "Node range must include [a, b] = [1, 3] for uniform distribution\n"},
        {"Beta (0, 1)", kv_error_inappropriate_arguments,
         "Beta distribution (shape) parameters must be positive (observed: a = 0 and b = 1)\n"},
        {"Beta (1, 1, 2, 2)", kv_error_inappropriate_arguments,
         "Beta distribution interval must have positive length (specified: [2, 2])\n"},
        {"Beta (1, 1, 0, 3)", kv_error_insufficient_state_range, "Node range must include [0, 3] for beta distribution\n"},
        {"Binomial (1.5, 0.5)", kv_error_inappropriate_arguments, ""},
        {"Binomial (2, 0.5)", kv_error_insufficient_state_range, ""},
        {"Geometric (0.5)", kv_error_insufficient_state_range, ""},
    };
    for (const auto &c : cases) {
        set(0, c.expression);
        EXPECT_EQ(kv_node_generate_table(n), c.code) << c.expression;
        EXPECT_EQ(logged(), head + c.line) << c.expression;
    }
    set(0, "Uniform (0.5, 1.5)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    EXPECT_EQ(data(n), (std::vector<double>{0.5, 0.5}));
    set(0, "Beta (2, 2, 0, 2)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    EXPECT_NEAR(data(n)[0], 0.5, 1e-15);
    set(0, "Binomial (1, 0.25)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    EXPECT_NEAR(data(n)[0], 0.75, 1e-15);
    EXPECT_NEAR(data(n)[1], 0.25, 1e-15);
}

TEST_F(GenerateTableTest, StateValuesAndChildValuesAreChecked)
{
    kv_node_t n = child(kv_category_chance, {"A"}, {}, 2);
    ASSERT_EQ(kv_node_set_subtype(n, kv_subtype_number), 0);
    kv_node_set_state_value(n, 0, 0);
    kv_node_set_state_value(n, 1, 0);
    set(0, "A");
    std::string name = kv_node_get_name(n);
    EXPECT_EQ(kv_node_generate_table(n), kv_error_invalid_state_values);
    EXPECT_EQ(logged(), "Using model for " + name + " to generate a conditional probability table\n"
                        "The state values of node " + name + " do not form an increasing sequence.\n");
    kv_node_set_state_value(n, 1, 1);
    EXPECT_EQ(kv_node_generate_table(n), kv_error_invalid_expression);
    EXPECT_EQ(logged(), "Using model for " + name + " to generate a conditional probability table\n"
                        "Node " + name + " does not have a state with value 2\n");
    // Within 1e-10 of a state value, relative to it, is that state.
    set(0, "if (A == 2, 1.00000000001, A)");
    ASSERT_EQ(kv_node_generate_table(n), 0) << logged();
    EXPECT_EQ(data(n), (std::vector<double>{1, 0, 0, 1, 0, 1}));

    kv_node_t i = child(kv_category_chance, {"A"}, {}, 2);
    ASSERT_EQ(kv_node_set_subtype(i, kv_subtype_interval), 0);
    kv_node_set_state_value(i, 0, 0);
    kv_node_set_state_value(i, 1, 0.5);
    kv_node_set_state_value(i, 2, 1);
    set(0, "A");
    EXPECT_EQ(kv_node_generate_table(i), kv_error_invalid_expression);
    EXPECT_NE(logged().find("Value for node " + std::string(kv_node_get_name(i)) + " out of bounds: 2\n"),
              std::string::npos);

    kv_node_t l = child(kv_category_chance, {"B"}, {}, 2);
    set(0, "if (B == \"red\", \"yes\", \"no\")");
    kv_node_set_state_label(l, 0, "yes");
    kv_node_set_state_label(l, 1, "maybe");
    EXPECT_EQ(kv_node_generate_table(l), kv_error_invalid_expression);
    EXPECT_NE(logged().find("Node " + std::string(kv_node_get_name(l)) + " does not have a state labeled `no'\n"),
              std::string::npos);
}

// Generation happens when the model changed: twice in a row does nothing,
// a parent's new state values regenerate, and a compiled domain takes the
// new table in at its next propagation.
TEST_F(GenerateTableTest, GeneratesOnlyAfterChanges)
{
    kv_node_t n = child(kv_category_chance, {"A"}, {}, 3);
    set(0, "Distribution (1, A, 1)");
    ASSERT_EQ(kv_node_generate_table(n), 0);
    kv_table_t t = kv_node_get_table(n);
    kv_table_get_data(t)[0] = 0.75; // a change the model does not know of
    ASSERT_EQ(kv_node_generate_table(n), 0);
    EXPECT_EQ(kv_table_get_data(t)[0], 0.75);
    ASSERT_EQ(kv_node_set_state_value(node("A"), 2, 3), 0);
    ASSERT_EQ(kv_node_generate_table(n), 0);
    EXPECT_EQ(data(n), (std::vector<double>{0.5, 0, 0.5, 1.0 / 3, 1.0 / 3, 1.0 / 3, 0.2, 0.6, 0.2}));

    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_NEAR(kv_node_get_belief(n, 1), (0 + 1.0 / 3 + 0.6) / 3, 1e-15);
    set(0, "Distribution (1, 1, 1)");
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    EXPECT_NEAR(kv_node_get_belief(n, 1), 1.0 / 3, 1e-15);
    // A failing model fails the propagation and keeps the table.
    set(0, "Distribution (1, 1)");
    EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), kv_error_invalid_expression);
    EXPECT_EQ(data(n)[0], 1.0 / 3);
    EXPECT_EQ(kv_node_generate_table(nullptr), kv_error_usage);
    EXPECT_EQ(kv_node_generate_table(node("A")), kv_error_usage);
    EXPECT_EQ(kv_domain_generate_tables(nullptr), kv_error_usage);
}

// A utility whose evaluation fails names the configuration in the log.
TEST_F(GenerateTableTest, FailedUtilityEvaluationIsLogged)
{
    kv_node_t u = child(kv_category_utility, {"C", "X"}, {});
    set(0, "if (C, 1 / (X - 15), 0)"); // 15 is a sample point of [10, 20)
    EXPECT_EQ(kv_node_generate_table(u), kv_error_division_by_zero);
    std::string text = logged();
    std::string head = "Using model for " + std::string(kv_node_get_name(u)) + " to generate a utility table\n";
    EXPECT_EQ(text, head + "interval(1,0,): -0.109838 (min=-0.192308, max=-0.0675676)\n"
                           "interval(1,1,): evaluation failed\n");
    EXPECT_EQ(data(u), (std::vector<double>{0, 0, 0, 0})) << "the table keeps its contents";
}
