// Runtime domains and domain copies.  The central check: random nested
// class hierarchies, written as a NET class file and unfolded, against the
// same network flattened by hand (by the generator below) into a NET
// domain file: every belief, mean, variance and P(e) agrees.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "kelvo.h"

namespace {

std::string temp_file(const std::string &stem, const std::string &text)
{
    std::string path = ::testing::TempDir() + "create_domain_" + stem;
    FILE *f = std::fopen(path.c_str(), "w");
    EXPECT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return path;
}

std::string collected;
void collect(size_t line, kv_string_t message, void *)
{
    collected += std::to_string(line) + ": " + message + "\n";
}

// ---------------------------------------------------------------------------
// A random hierarchy: class k may instantiate classes 0 .. k-1.

using Ref = std::vector<std::string>; // "v3", or "I5", "v2" (an output of I5), ...

struct Node {
    std::string name;
    bool continuous = false;
    int states = 0;
    bool input = false;
    std::vector<Ref> parents; // discrete first
    std::vector<bool> parent_continuous;
    std::vector<int> parent_states;
    std::vector<double> numbers; // probabilities, or per configuration: mean, betas, variance
};

struct Instance {
    std::string name;
    int cls;
    std::vector<std::pair<std::string, Ref>> bindings; // formal input name, actual
};

struct Item {
    bool is_node;
    Node node;
    Instance instance;
};

struct Available {
    Ref ref;
    bool continuous;
    int states;
    bool input;
};

struct Class {
    std::string name;
    std::vector<Item> items;
    std::vector<Ref> outputs;
    std::vector<Available> output_info; // as seen from outside, without the instance prefix
    std::vector<Available> inputs;
};

struct Hierarchy {
    std::vector<Class> classes;
    int instance_counter = 0;

    std::mt19937 rng;
    explicit Hierarchy(unsigned seed) : rng(seed) {}
    int uniform(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    double real(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }

    void make_class(int k, bool allow_continuous)
    {
        Class c;
        c.name = "K" + std::to_string(k);
        std::vector<Available> avail;
        int n_inputs = k == 0 ? 1 + uniform(2) : uniform(3);
        int n_items = 3 + uniform(5);
        int v = 0;
        for (int i = 0; i < n_inputs; ++i) {
            Item it{true, {}, {}};
            it.node.name = "v" + std::to_string(v++);
            it.node.continuous = allow_continuous && uniform(5) == 0;
            it.node.states = it.node.continuous ? 0 : 2 + uniform(2);
            it.node.input = true;
            fill_numbers(it.node);
            avail.push_back({{it.node.name}, it.node.continuous, it.node.states, true});
            c.inputs.push_back(avail.back());
            c.items.push_back(it);
        }
        for (int i = 0; i < n_items; ++i) {
            if (k > 0 && uniform(3) == 0) {
                Item it{false, {}, {}};
                it.instance.name = "I" + std::to_string(++instance_counter);
                it.instance.cls = uniform(k);
                const Class &l = classes[it.instance.cls];
                std::vector<bool> used(avail.size(), false);
                for (const Available &x : l.inputs) {
                    if (uniform(10) < 4)
                        continue;
                    std::vector<int> fits;
                    for (size_t a = 0; a < avail.size(); ++a)
                        if (!used[a] && avail[a].continuous == x.continuous && avail[a].states == x.states)
                            fits.push_back(int(a));
                    if (fits.empty())
                        continue;
                    int a = fits[uniform(int(fits.size()))];
                    used[a] = true;
                    it.instance.bindings.push_back({x.ref[0], avail[a].ref});
                }
                for (const Available &o : l.output_info) {
                    Available seen = o;
                    seen.ref.insert(seen.ref.begin(), it.instance.name);
                    seen.input = false;
                    avail.push_back(seen);
                }
                c.items.push_back(it);
                continue;
            }
            Item it{true, {}, {}};
            Node &n = it.node;
            n.name = "v" + std::to_string(v++);
            n.continuous = allow_continuous && uniform(4) == 0;
            n.states = n.continuous ? 0 : 2 + uniform(2);
            int wanted = uniform(4);
            std::vector<bool> taken(avail.size(), false);
            for (int pass = 0; pass < 2; ++pass) // discrete parents first
                for (int tries = 0; tries < 6 && int(n.parents.size()) < wanted; ++tries) {
                    if (avail.empty())
                        break;
                    int a = uniform(int(avail.size()));
                    if (taken[a] || avail[a].continuous != (pass == 1))
                        continue;
                    if (!n.continuous && avail[a].continuous)
                        continue;
                    taken[a] = true;
                    n.parents.push_back(avail[a].ref);
                    n.parent_continuous.push_back(avail[a].continuous);
                    n.parent_states.push_back(avail[a].states);
                }
            fill_numbers(n);
            avail.push_back({{n.name}, n.continuous, n.states, false});
            c.items.push_back(it);
        }
        for (const Available &a : avail)
            if (!a.input && uniform(2) == 0) {
                c.outputs.push_back(a.ref);
                c.output_info.push_back(a);
            }
        classes.push_back(c);
    }

    void fill_numbers(Node &n)
    {
        size_t configurations = 1;
        size_t continuous_parents = 0;
        for (size_t i = 0; i < n.parents.size(); ++i)
            if (n.parent_continuous[i])
                ++continuous_parents;
            else
                configurations *= size_t(n.parent_states[i]);
        if (!n.continuous) {
            for (size_t i = 0; i < configurations * size_t(n.states); ++i)
                n.numbers.push_back(std::round(real(0.05, 1.0) * 1000) / 1000);
            return;
        }
        for (size_t i = 0; i < configurations; ++i) {
            n.numbers.push_back(std::round(real(-2, 2) * 100) / 100);
            for (size_t j = 0; j < continuous_parents; ++j)
                n.numbers.push_back(std::round(real(-1, 1) * 100) / 100);
            n.numbers.push_back(std::round(real(0.2, 2) * 100) / 100);
        }
    }

    static std::string dotted(const Ref &r)
    {
        std::string s;
        for (const std::string &x : r)
            s += (s.empty() ? "" : ".") + x;
        return s;
    }

    static std::string declaration(const Node &n, const std::string &name)
    {
        std::string s = n.continuous ? "continuous node " + name + " {}\n" : "node " + name + " { states = (";
        if (!n.continuous) {
            for (int i = 0; i < n.states; ++i)
                s += " \"s" + std::to_string(i) + "\"";
            s += " ); }\n";
        }
        return s;
    }

    static std::string potential(const Node &n, const std::string &name, const std::vector<std::string> &parents)
    {
        std::string s = "potential (" + name + (parents.empty() ? "" : " |");
        for (const std::string &p : parents)
            s += " " + p;
        s += ") { data = (";
        char buf[64];
        if (!n.continuous) {
            for (double x : n.numbers) {
                std::snprintf(buf, sizeof buf, " %g", x);
                s += buf;
            }
        } else {
            std::vector<std::string> tails;
            for (size_t i = 0; i < parents.size(); ++i)
                if (n.parent_continuous[i])
                    tails.push_back(parents[i]);
            size_t block = tails.size() + 2;
            for (size_t c = 0; c < n.numbers.size(); c += block) {
                std::snprintf(buf, sizeof buf, " normal ( %g", n.numbers[c]);
                s += buf;
                for (size_t j = 0; j < tails.size(); ++j) {
                    double beta = n.numbers[c + 1 + j];
                    std::snprintf(buf, sizeof buf, " %c %g * ", beta < 0 ? '-' : '+', std::fabs(beta));
                    s += buf + tails[j];
                }
                std::snprintf(buf, sizeof buf, ", %g )", n.numbers[c + block - 1]);
                s += buf;
            }
        }
        return s + " ); }\n";
    }

    std::string class_file() const
    {
        std::string s;
        for (const Class &c : classes) {
            s += "class " + c.name + " {\n  inputs = (";
            for (const Available &x : c.inputs)
                s += " " + x.ref[0];
            s += " );\n  outputs = (";
            for (const Ref &r : c.outputs)
                s += " " + dotted(r);
            s += " );\n";
            for (const Item &it : c.items) {
                if (!it.is_node) {
                    s += "instance " + it.instance.name + " : " + classes[it.instance.cls].name + " (";
                    for (size_t b = 0; b < it.instance.bindings.size(); ++b)
                        s += (b ? ", " : "") + it.instance.bindings[b].first + " = " +
                             dotted(it.instance.bindings[b].second);
                    s += ") {}\n";
                    continue;
                }
                std::vector<std::string> parents;
                for (const Ref &r : it.node.parents)
                    parents.push_back(dotted(r));
                s += declaration(it.node, it.node.name) + potential(it.node, it.node.name, parents);
            }
            s += "}\n";
        }
        return s;
    }

    // ----- the hand flattening -----
    struct Context {
        int cls;
        std::string prefix; // "I3_I7_" or ""
        std::map<std::string, std::string> bound; // input name -> flat name
    };

    const Instance &instance_named(int cls, const std::string &name) const
    {
        for (const Item &it : classes[cls].items)
            if (!it.is_node && it.instance.name == name)
                return it.instance;
        ADD_FAILURE() << "no instance " << name;
        return classes[cls].items[0].instance;
    }

    Context enter(const Context &c, const Instance &i) const
    {
        Context inner{i.cls, c.prefix + i.name + "_", {}};
        for (const auto &b : i.bindings)
            inner.bound[b.first] = resolve(c, b.second, 0);
        return inner;
    }

    std::string resolve(const Context &c, const Ref &r, size_t from) const
    {
        if (from + 1 == r.size()) {
            auto it = c.bound.find(r[from]);
            return it != c.bound.end() ? it->second : c.prefix + r[from];
        }
        return resolve(enter(c, instance_named(c.cls, r[from])), r, from + 1);
    }

    void flatten(const Context &c, std::string &out) const
    {
        for (const Item &it : classes[c.cls].items) {
            if (!it.is_node) {
                flatten(enter(c, it.instance), out);
                continue;
            }
            if (c.bound.count(it.node.name))
                continue; // replaced by its actual node
            std::vector<std::string> parents;
            for (const Ref &r : it.node.parents)
                parents.push_back(resolve(c, r, 0));
            std::string name = c.prefix + it.node.name;
            out += declaration(it.node, name) + potential(it.node, name, parents);
        }
    }

    std::string flat_file() const
    {
        std::string s;
        flatten(Context{int(classes.size()) - 1, "", {}}, s);
        return s;
    }
};

// The flat name of a runtime node: its source path's names joined.
std::string source_name(kv_node_t n)
{
    kv_node_t *path = kv_node_get_source(n);
    std::string s;
    for (size_t i = 0; path && path[i]; ++i)
        s += (i ? "_" : "") + std::string(kv_node_get_name(path[i]));
    return s;
}

TEST(RuntimeDomainTest, RandomHierarchiesEqualTheirHandFlattening)
{
    int compared = 0, with_continuous = 0, nested = 0;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        Hierarchy h(seed);
        bool continuous = seed % 3 == 0;
        int levels = 2 + int(seed % 4);
        for (int k = 0; k < levels; ++k)
            h.make_class(k, continuous);
        std::string classes = temp_file("hierarchy.net", h.class_file());
        std::string flat = temp_file("flat.net", h.flat_file());
        SCOPED_TRACE("seed " + std::to_string(seed) + "\n" + h.class_file());

        kv_class_collection_t cc = kv_new_class_collection();
        collected.clear();
        ASSERT_EQ(kv_net_parse_classes(classes.c_str(), cc, nullptr, collect, nullptr), 0) << collected;
        kv_class_t top = kv_cc_get_class_by_name(cc, h.classes.back().name.c_str());
        ASSERT_NE(top, nullptr);
        kv_domain_t runtime = kv_class_create_domain(top);
        ASSERT_NE(runtime, nullptr) << kv_error_name(kv_error_code());
        kv_domain_t reference = kv_net_parse_domain(flat.c_str(), collect, nullptr);
        ASSERT_NE(reference, nullptr) << collected << h.flat_file();

        ASSERT_EQ(kv_domain_get_number_of_nodes(runtime), kv_domain_get_number_of_nodes(reference));
        std::vector<std::pair<kv_node_t, kv_node_t>> pairs;
        for (kv_node_t n = kv_domain_get_first_node(runtime); n; n = kv_node_get_next(n)) {
            kv_node_t r = kv_domain_get_node_by_name(reference, source_name(n).c_str());
            ASSERT_NE(r, nullptr) << source_name(n);
            pairs.push_back({n, r});
            if (kv_node_get_source(n)[1])
                ++nested;
        }
        if (kv_domain_get_number_of_continuous_nodes(runtime))
            ++with_continuous;
        ASSERT_EQ(kv_domain_compile(runtime), 0);
        ASSERT_EQ(kv_domain_compile(reference), 0);
        std::mt19937 rng(seed);
        for (int round = 0; round < 3; ++round) {
            for (auto &[n, r] : pairs) {
                if (kv_node_get_kind(n) != kv_kind_discrete || rng() % 4)
                    continue;
                size_t s = rng() % kv_node_get_number_of_states(n);
                ASSERT_EQ(kv_node_select_state(n, s), 0);
                ASSERT_EQ(kv_node_select_state(r, s), 0);
            }
            int a = kv_domain_propagate(runtime, kv_equilibrium_sum, kv_mode_normal);
            int b = kv_domain_propagate(reference, kv_equilibrium_sum, kv_mode_normal);
            ASSERT_EQ(a, b);
            if (a == 0) {
                double pa = kv_domain_get_normalization_constant(runtime);
                double pb = kv_domain_get_normalization_constant(reference);
                EXPECT_NEAR(pa, pb, 1e-12 * pb);
                for (auto &[n, r] : pairs) {
                    if (kv_node_get_kind(n) == kv_kind_continuous) {
                        EXPECT_NEAR(kv_node_get_mean(n), kv_node_get_mean(r), 1e-12);
                        EXPECT_NEAR(kv_node_get_variance(n), kv_node_get_variance(r), 1e-12);
                        continue;
                    }
                    for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
                        EXPECT_NEAR(kv_node_get_belief(n, s), kv_node_get_belief(r, s), 1e-12);
                }
                ++compared;
            }
            ASSERT_EQ(kv_domain_initialize(runtime), 0);
            ASSERT_EQ(kv_domain_initialize(reference), 0);
            for (auto &[n, r] : pairs) {
                kv_node_retract_findings(n);
                kv_node_retract_findings(r);
            }
        }
        EXPECT_EQ(kv_domain_delete(runtime), 0);
        EXPECT_EQ(kv_domain_delete(reference), 0);
        EXPECT_EQ(kv_cc_delete(cc), 0);
    }
    EXPECT_GE(compared, 80);
    EXPECT_GE(with_continuous, 5);
    EXPECT_GE(nested, 20);
}

// ---------------------------------------------------------------------------
// The Part's small cases, built through the API.

class UnfoldTest : public ::testing::Test {
  protected:
    void SetUp() override { cc = kv_new_class_collection(); }
    void TearDown() override
    {
        kv::fail_allocation_after(0);
        EXPECT_EQ(kv_cc_delete(cc), 0);
    }
    kv_class_t make_class(const char *name)
    {
        kv_class_t c = kv_cc_new_class(cc);
        EXPECT_EQ(kv_class_set_name(c, name), 0);
        return c;
    }
    kv_node_t node(kv_class_t c, const char *name, kv_node_category_t category = kv_category_chance,
                   kv_node_kind_t kind = kv_kind_discrete)
    {
        kv_node_t n = kv_class_new_node(c, category, kind);
        EXPECT_EQ(kv_node_set_name(n, name), 0);
        if (kind == kv_kind_discrete && category != kv_category_utility) {
            EXPECT_EQ(kv_node_set_number_of_states(n, 2), 0);
        }
        return n;
    }
    kv_class_collection_t cc;
};

TEST_F(UnfoldTest, SourcePathsOrderAndReplacedNodes)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t x = node(b, "x"), b1 = node(b, "b1"), b2 = node(b, "b2");
    ASSERT_EQ(kv_node_add_to_inputs(x), 0);
    ASSERT_EQ(kv_node_add_parent(b1, x), 0);
    ASSERT_EQ(kv_node_add_parent(b2, b1), 0);
    ASSERT_EQ(kv_node_add_to_outputs(b2), 0);
    double *t = kv_table_get_data(kv_node_get_table(b1));
    t[0] = 0.9, t[1] = 0.1, t[2] = 0.3, t[3] = 0.7;
    ASSERT_EQ(kv_node_set_attribute(b1, "colour", "red"), 0);
    ASSERT_EQ(kv_node_set_label(b1, "First"), 0);
    ASSERT_EQ(kv_node_set_position(b1, 10, -20), 0);
    ASSERT_EQ(kv_node_set_state_label(b1, 1, "on"), 0);

    kv_node_t a1 = node(a, "a1");
    kv_node_t i = kv_class_new_instance(a, b);
    ASSERT_EQ(kv_node_set_name(i, "I"), 0);
    kv_node_t a2 = node(a, "a2");
    ASSERT_EQ(kv_node_add_parent(a2, kv_node_get_output(i, b2)), 0);
    ASSERT_EQ(kv_class_set_attribute(a, "author", "me"), 0);
    ASSERT_EQ(kv_class_set_node_size(a, 80, 40), 0);

    // Unbound: x stays with its table from B.  Order: A's node list, with
    // I replaced by B's nodes.
    kv_domain_t d = kv_class_create_domain(a);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(kv_domain_get_number_of_nodes(d), 5u);
    std::vector<std::string> order;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        order.push_back(source_name(n));
    std::vector<std::string> expected;
    for (kv_node_t n = kv_class_get_first_node(a); n; n = kv_node_get_next(n)) {
        if (n == i)
            for (kv_node_t m = kv_class_get_first_node(b); m; m = kv_node_get_next(m))
                expected.push_back(std::string("I_") + kv_node_get_name(m));
        else if (!n->clone_source)
            expected.push_back(kv_node_get_name(n));
    }
    EXPECT_EQ(order, expected);
    size_t index = 5;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        EXPECT_EQ(n->index, index--);

    kv_node_t r_a2 = nullptr, r_b1 = nullptr, r_b2 = nullptr, r_a1 = nullptr;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        std::string s = source_name(n);
        if (s == "a2") r_a2 = n;
        if (s == "I_b1") r_b1 = n;
        if (s == "I_b2") r_b2 = n;
        if (s == "a1") r_a1 = n;
    }
    ASSERT_TRUE(r_a2 && r_b1 && r_b2 && r_a1);
    kv_node_t *path = kv_node_get_source(r_b1);
    EXPECT_EQ(path[0], i);
    EXPECT_EQ(path[1], b1);
    EXPECT_EQ(path[2], nullptr);
    EXPECT_EQ(kv_node_get_source(r_a1)[0], a1);
    EXPECT_EQ(kv_node_get_source(r_a1)[1], nullptr);
    EXPECT_EQ(kv_node_get_parents(r_a2)[0], r_b2); // the clone became its master
    EXPECT_STREQ(kv_node_get_attribute(r_b1, "colour"), "red");
    EXPECT_STREQ(kv_node_get_label(r_b1), "First");
    EXPECT_STREQ(kv_node_get_state_label(r_b1, 1), "on");
    int px, py;
    ASSERT_EQ(kv_node_get_position(r_b1, &px, &py), 0);
    EXPECT_EQ(px, 10);
    EXPECT_EQ(py, -20);
    EXPECT_STREQ(kv_domain_get_attribute(d, "author"), "me");
    size_t w, hgt;
    ASSERT_EQ(kv_domain_get_node_size(d, &w, &hgt), 0);
    EXPECT_EQ(w, 80u);
    EXPECT_EQ(hgt, 40u);
    double *rt = kv_table_get_data(kv_node_get_table(r_b1));
    EXPECT_EQ(rt[2], 0.3);
    EXPECT_NE(rt, t);
    EXPECT_STREQ(kv_node_get_name(r_b1), "C3"); // automatic, by index
    EXPECT_EQ(kv_domain_delete(d), 0);

    // Bound to a1: the copy of x disappears and b1 takes a1's copy.
    ASSERT_EQ(kv_node_set_input(i, x, a1), 0);
    d = kv_class_create_domain(a);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 4u);
    EXPECT_EQ(kv_domain_get_number_of_discrete_nodes(d), 4u);
    EXPECT_EQ(kv_domain_get_number_of_chance_nodes(d), 4u);
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        if (source_name(n) == "I_b1") {
            kv_node_t p = kv_node_get_parents(n)[0];
            EXPECT_EQ(kv_node_get_source(p)[0], a1);
            kv_table_t bt = kv_node_get_table(n);
            EXPECT_EQ(kv_table_get_nodes(bt)[0], p);
        }
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_domain_delete(d), 0);

    // The class is untouched by unfolding, and a NULL or a domain is usage.
    EXPECT_EQ(kv_class_get_node_by_name(b, "x"), x);
    EXPECT_EQ(kv_class_create_domain(nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_t plain = kv_new_domain();
    EXPECT_EQ(kv_class_create_domain(plain), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_node_t pn = kv_domain_new_node(plain, kv_category_chance, kv_kind_discrete);
    EXPECT_EQ(kv_node_get_source(pn), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_domain_delete(plain), 0);
}

TEST_F(UnfoldTest, IllegalBindingsAndMixedParts)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t x = node(b, "x"), y = node(b, "y"), c = node(b, "c");
    ASSERT_EQ(kv_node_add_to_inputs(x), 0);
    ASSERT_EQ(kv_node_add_to_inputs(y), 0);
    ASSERT_EQ(kv_node_add_parent(c, x), 0);
    ASSERT_EQ(kv_node_add_parent(c, y), 0);
    kv_node_t i = kv_class_new_instance(a, b);
    kv_node_t p = node(a, "p");
    ASSERT_EQ(kv_node_set_input(i, x, p), 0);
    ASSERT_EQ(kv_node_set_input(i, y, p), 0); // p would be c's parent twice
    EXPECT_EQ(kv_class_create_domain(a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_illegal_binding);

    kv_node_t three = node(a, "three");
    ASSERT_EQ(kv_node_set_number_of_states(three, 3), 0);
    ASSERT_EQ(kv_node_set_input(i, y, three), 0); // the states do not fit
    EXPECT_EQ(kv_class_create_domain(a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_illegal_binding);

    kv_node_t labelled = node(a, "labelled");
    ASSERT_EQ(kv_node_set_state_label(labelled, 0, "no"), 0);
    ASSERT_EQ(kv_node_set_input(i, y, labelled), 0); // labels differ from y's
    EXPECT_EQ(kv_class_create_domain(a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_illegal_binding);

    // An actual input below an output of the same instance closes a cycle.
    ASSERT_EQ(kv_node_add_to_outputs(c), 0);
    kv_node_t below = node(a, "below");
    ASSERT_EQ(kv_node_add_parent(below, kv_node_get_output(i, c)), 0);
    ASSERT_EQ(kv_node_set_input(i, y, below), 0);
    EXPECT_EQ(kv_class_create_domain(a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_cyclic_network);

    kv_node_t q = node(a, "q");
    ASSERT_EQ(kv_node_set_input(i, y, q), 0);
    kv_domain_t ok = kv_class_create_domain(a);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(kv_domain_get_number_of_nodes(ok), 6u); // a's 5 nodes and c
    EXPECT_EQ(kv_domain_delete(ok), 0);

    // Continuous nodes from an instance beside a decision.
    kv_class_t cont = make_class("Cont"), dec = make_class("Dec");
    node(cont, "z", kv_category_chance, kv_kind_continuous);
    node(dec, "d", kv_category_decision);
    ASSERT_NE(kv_class_new_instance(dec, cont), nullptr);
    EXPECT_EQ(kv_class_create_domain(dec), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_cg_influence_diagrams_not_supported);
}

TEST_F(UnfoldTest, ModelsAreCopiedOntoTheRuntimeNodes)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t x = node(b, "x"), y = node(b, "y");
    ASSERT_EQ(kv_node_set_number_of_states(y, 3), 0);
    ASSERT_EQ(kv_node_set_subtype(y, kv_subtype_number), 0);
    for (int s = 0; s < 3; ++s)
        ASSERT_EQ(kv_node_set_state_value(y, s, s), 0);
    ASSERT_EQ(kv_node_set_subtype(x, kv_subtype_number), 0);
    ASSERT_EQ(kv_node_set_state_value(x, 0, 1), 0);
    ASSERT_EQ(kv_node_set_state_value(x, 1, 2), 0);
    ASSERT_EQ(kv_node_add_to_inputs(x), 0);
    ASSERT_EQ(kv_node_add_parent(y, x), 0);
    kv_node_t model_nodes[] = {x, nullptr};
    kv_model_t m = kv_node_new_model(y, model_nodes);
    ASSERT_NE(m, nullptr);
    kv_expression_t e = kv_class_string_to_expression(b, "Binomial (2, x / 4)", nullptr, nullptr);
    ASSERT_NE(e, nullptr) << kv_error_name(kv_error_code());
    ASSERT_EQ(kv_model_set_expression(m, 0, e), 0);
    ASSERT_EQ(kv_model_set_expression(m, 1, kv_expression_clone(e)), 0);
    ASSERT_EQ(kv_class_generate_tables(b), 0);
    double *class_table = kv_table_get_data(kv_node_get_table(y));
    EXPECT_NEAR(class_table[0], 0.5625, 1e-15); // (3/4)^2 at x = 1

    kv_node_t i = kv_class_new_instance(a, b);
    (void)i;
    kv_domain_t d = kv_class_create_domain(a);
    ASSERT_NE(d, nullptr);
    kv_node_t ry = nullptr, rx = nullptr;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        (kv_node_get_source(n)[1] == y ? ry : rx) = n;
    kv_model_t rm = kv_node_get_model(ry);
    ASSERT_NE(rm, nullptr);
    EXPECT_NE(rm, m);
    EXPECT_EQ(kv_model_get_nodes(rm)[0], rx);
    kv_expression_t re = kv_model_get_expression(rm, 1);
    ASSERT_NE(re, nullptr);
    EXPECT_NE(re, e);
    ASSERT_EQ(kv_node_set_name(rx, "rx"), 0);
    char *text = kv_expression_to_string(re);
    EXPECT_STREQ(text, "Binomial (2, rx / 4)"); // the leaf is the runtime node
    std::free(text);
    // The class model was generated, so the copy stands as generated; a
    // change regenerates at compilation.
    ASSERT_EQ(kv_node_set_state_value(rx, 1, 4), 0);
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0);
    double *rt = kv_table_get_data(kv_node_get_table(ry));
    EXPECT_NEAR(rt[3], 0.0, 1e-15); // x = 4: Binomial(2, 1) puts all on 2
    EXPECT_NEAR(rt[5], 1.0, 1e-15);
    EXPECT_EQ(kv_domain_delete(d), 0);
}

TEST_F(UnfoldTest, FailedAllocationsLeaveNothingBehind)
{
    kv_class_t b = make_class("B"), a = make_class("A");
    kv_node_t x = node(b, "x"), y = node(b, "y");
    ASSERT_EQ(kv_node_add_to_inputs(x), 0);
    ASSERT_EQ(kv_node_add_parent(y, x), 0);
    ASSERT_EQ(kv_node_add_to_outputs(y), 0);
    ASSERT_EQ(kv_node_set_attribute(y, "k", "v"), 0);
    kv_node_t p = node(a, "p");
    kv_node_t i1 = kv_class_new_instance(a, b), i2 = kv_class_new_instance(a, b);
    ASSERT_EQ(kv_node_set_input(i1, x, p), 0);
    ASSERT_EQ(kv_node_set_input(i2, x, kv_node_get_output(i1, y)), 0);
    int points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        kv_domain_t d = kv_class_create_domain(a);
        kv::fail_allocation_after(0);
        if (d) {
            EXPECT_EQ(kv_domain_get_number_of_nodes(d), 3u);
            EXPECT_EQ(kv_domain_delete(d), 0);
            break;
        }
        ++points;
        ASSERT_EQ(kv_error_code(), kv_error_no_memory);
    }
    EXPECT_GE(points, 20);
    EXPECT_EQ(kv_domain_get_number_of_nodes(a), 5u);
}

// ---------------------------------------------------------------------------
// Copies of plain domains.

TEST(DomainCloneTest, CopiesNodesNamesTablesAndChainPotentials)
{
    const char *text =
        "net { author = \"me\"; node_size = (60 30); }\n"
        "node a { states = (\"x\" \"y\"); label = \"A\"; position = (5 6); colour = \"blue\"; }\n"
        "node b { states = (\"x\" \"y\"); }\n"
        "node c { states = (\"x\" \"y\"); }\n"
        "continuous node z {}\n"
        "potential (a) { data = (0.3 0.7); experience = (12); }\n"
        "potential (b c | a) { data = (1 2 3 4 5 6 7 8); }\n"
        "potential (z | c) { data = (normal (1, 2) normal (-1, 0.5)); }\n";
    kv_domain_t d = kv_net_parse_from_string(text, nullptr);
    ASSERT_NE(d, nullptr) << kv_error_name(kv_error_code());
    kv_domain_t copy = kv_domain_clone(d);
    ASSERT_NE(copy, nullptr) << kv_error_name(kv_error_code());
    EXPECT_EQ(kv_domain_get_number_of_nodes(copy), 4u);
    kv_node_t a = kv_domain_get_node_by_name(copy, "a");
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, kv_domain_get_node_by_name(d, "a"));
    EXPECT_EQ(kv_node_get_source(a), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_STREQ(kv_node_get_label(a), "A");
    EXPECT_STREQ(kv_node_get_attribute(a, "colour"), "blue");
    EXPECT_STREQ(kv_domain_get_attribute(copy, "author"), "me");
    EXPECT_EQ(kv_table_get_data(kv_node_get_experience_table(a))[0], 12.0);
    EXPECT_EQ(kv_table_get_data(kv_node_get_table(a))[1], 0.7);
    EXPECT_EQ(std::string(kv_node_get_name(kv_domain_get_first_node(copy))), "a");

    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_domain_compile(copy), 0);
    for (kv_domain_t x : {d, copy}) {
        ASSERT_EQ(kv_node_select_state(kv_domain_get_node_by_name(x, "b"), 1), 0);
        ASSERT_EQ(kv_domain_propagate(x, kv_equilibrium_sum, kv_mode_normal), 0);
    }
    for (const char *name : {"a", "b", "c"})
        for (size_t s = 0; s < 2; ++s)
            EXPECT_EQ(kv_node_get_belief(kv_domain_get_node_by_name(d, name), s),
                      kv_node_get_belief(kv_domain_get_node_by_name(copy, name), s));
    EXPECT_EQ(kv_node_get_mean(kv_domain_get_node_by_name(d, "z")),
              kv_node_get_mean(kv_domain_get_node_by_name(copy, "z")));
    EXPECT_EQ(kv_domain_get_normalization_constant(d), kv_domain_get_normalization_constant(copy));

    kv_class_collection_t cc = kv_new_class_collection();
    kv_class_t c = kv_cc_new_class(cc);
    EXPECT_EQ(kv_domain_clone(c), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_cc_delete(cc), 0);
    EXPECT_EQ(kv_domain_clone(nullptr), nullptr);
    EXPECT_EQ(kv_domain_delete(copy), 0);
    EXPECT_EQ(kv_domain_delete(d), 0);
}

} // namespace
