// NET class files and the old keyword-less format.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "kelvo.h"

namespace {

std::vector<std::string> messages;
std::vector<size_t> lines;

void collect(size_t line, kv_string_t message, void *)
{
    lines.push_back(line);
    messages.push_back(message);
}

// A file of this test's own: the tests run in parallel processes.
std::string path_of(const std::string &name)
{
    return ::testing::TempDir() + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
}

std::string write(const std::string &name, const std::string &text)
{
    std::string path = path_of(name);
    FILE *f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    return path;
}

class ParseClassesTest : public ::testing::Test {
  protected:
    void SetUp() override { cc = kv_new_class_collection(); }
    void TearDown() override
    {
        kv::fail_allocation_after(0);
        EXPECT_EQ(kv_cc_delete(cc), 0);
    }
    int parse(const std::string &text, kv_class_loader_t loader = nullptr, void *data = nullptr)
    {
        messages.clear();
        lines.clear();
        return kv_net_parse_classes(write("classes.net", text).c_str(), cc, loader, collect, data);
    }
    // Parses a text that must fail with one fatal message.
    void fails(const std::string &text, const std::string &message, int code = kv_error_parse)
    {
        size_t before = kv_cc_get_members(cc) ? count() : 0;
        EXPECT_EQ(parse(text), code) << text;
        ASSERT_FALSE(messages.empty()) << text;
        EXPECT_EQ(messages.back(), message) << text;
        EXPECT_EQ(count(), before) << "the classes of a failed parse are gone";
    }
    size_t count()
    {
        size_t n = 0;
        for (kv_class_t *m = kv_cc_get_members(cc); *m; ++m)
            ++n;
        return n;
    }
    kv_class_collection_t cc;
};

const char *sensor = R"(
class Sensor {
  inputs = (truth);
  outputs = (out1 out2);
  node_size = (40 20);
  author = "lab";
  node truth { states = ("off" "on"); }
  node out1 { states = ("low" "high"); label = "Reading"; }
  node out2 { states = ("no" "yes"); }
  potential (truth) { data = (0.5 0.5); }
  potential (out1 | truth) { data = (0.9 0.1 0.2 0.8); }
  potential (out2 | out1) { data = (1 0 0 1); }
}
)";

TEST_F(ParseClassesTest, ClassesInstancesAndBindings)
{
    std::string text = std::string(sensor) + R"(
class Plant {
  instance I1 : Sensor (truth = state; y = out1) { label = "first"; position = (-5 7); kind = "probe"; }
  instance I2 : Sensor (; ) {}
  node reading { states = ("a" "b"); }
  potential (reading | y I2.out2) { data = (0.1 0.9 0.2 0.8 0.3 0.7 0.4 0.6); }
  node state { states = ("off" "on"); }
  outputs = (I2.out1);
}
)";
    ASSERT_EQ(parse(text), 0) << (messages.empty() ? "" : messages[0]);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    kv_class_t s = kv_cc_get_class_by_name(cc, "Sensor");
    kv_class_t p = kv_cc_get_class_by_name(cc, "Plant");
    ASSERT_TRUE(s && p);
    EXPECT_EQ(kv_cc_get_members(cc)[0], s);
    EXPECT_EQ(kv_class_get_inputs(s)[0], kv_class_get_node_by_name(s, "truth"));
    EXPECT_EQ(kv_class_get_outputs(s)[1], kv_class_get_node_by_name(s, "out2"));
    size_t w, h;
    ASSERT_EQ(kv_class_get_node_size(s, &w, &h), 0);
    EXPECT_EQ(w, 40u);
    EXPECT_EQ(h, 20u);
    EXPECT_STREQ(kv_class_get_attribute(s, "author"), "lab");
    EXPECT_STREQ(kv_class_get_file_name(s), path_of("classes.net").c_str());
    // Declaration order, highest index at the head.
    kv_node_t first = kv_class_get_first_node(s);
    EXPECT_STREQ(kv_node_get_name(first), "truth");
    EXPECT_EQ(first->index, 3u);

    kv_node_t i1 = kv_class_get_node_by_name(p, "I1");
    ASSERT_NE(i1, nullptr);
    EXPECT_EQ(kv_node_get_instance_class(i1), s);
    EXPECT_STREQ(kv_node_get_label(i1), "first");
    int x, y;
    kv_node_get_position(i1, &x, &y);
    EXPECT_EQ(x, -5);
    EXPECT_EQ(y, 7);
    EXPECT_STREQ(kv_node_get_attribute(i1, "kind"), "probe");
    kv_node_t clone = kv_class_get_node_by_name(p, "y");
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(kv_node_get_master(clone), kv_class_get_node_by_name(s, "out1"));
    EXPECT_EQ(kv_node_get_input(i1, kv_class_get_node_by_name(s, "truth")), kv_class_get_node_by_name(p, "state"));
    kv_node_t i2 = kv_class_get_node_by_name(p, "I2");
    EXPECT_EQ(kv_node_get_input(i2, kv_class_get_node_by_name(s, "truth")), nullptr);
    kv_node_t reading = kv_class_get_node_by_name(p, "reading");
    EXPECT_EQ(kv_node_get_parents(reading)[0], clone);
    EXPECT_EQ(kv_node_get_parents(reading)[1], kv_node_get_output(i2, kv_class_get_node_by_name(s, "out2")));
    EXPECT_EQ(kv_class_get_outputs(p)[0], kv_node_get_output(i2, kv_class_get_node_by_name(s, "out1")));

    // The runtime domain: Plant's order with each instance's nodes in place.
    kv_domain_t d = kv_class_create_domain(p);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 7u); // I1's truth replaced by state
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_EQ(kv_domain_delete(d), 0);
}

void load_sensor(kv_string_t name, kv_class_collection_t cc, void *data)
{
    auto *calls = static_cast<std::vector<std::string> *>(data);
    calls->push_back(name);
    if (std::string(name) == "Sensor")
        kv_net_parse_classes(write("sensor.net", sensor).c_str(), cc, nullptr, nullptr, nullptr);
}

TEST_F(ParseClassesTest, LoaderFetchesMissingClasses)
{
    const char *plant = "class Plant { instance I : Sensor () {} instance J : Sensor () {} }";
    EXPECT_EQ(parse(plant), kv_error_parse);
    EXPECT_EQ(messages.back(), "loading class `Sensor' failed");
    EXPECT_EQ(lines.back(), 1u);
    EXPECT_EQ(count(), 0u);

    std::vector<std::string> calls;
    ASSERT_EQ(parse(plant, load_sensor, &calls), 0);
    EXPECT_EQ(calls, std::vector<std::string>{"Sensor"}); // the second instance finds it
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(kv_cc_get_members(cc)[0], kv_cc_get_class_by_name(cc, "Plant"));

    // A loader that loads nothing.
    calls.clear();
    EXPECT_EQ(parse("class Other { instance I : Missing () {} }", load_sensor, &calls), kv_error_parse);
    EXPECT_EQ(calls, std::vector<std::string>{"Missing"});
    EXPECT_EQ(messages.back(), "loading class `Missing' failed");
    EXPECT_EQ(count(), 2u);
}

TEST_F(ParseClassesTest, ForwardReferencesResolveAfterTheBody)
{
    std::string text = std::string(sensor) +
                       "class P { instance I : Sensor (truth = later) {} outputs = (later); "
                       "node later { states = (\"off\" \"on\"); } }";
    ASSERT_EQ(parse(text), 0) << (messages.empty() ? "" : messages[0]);
    kv_class_t p = kv_cc_get_class_by_name(cc, "P");
    EXPECT_EQ(kv_node_get_input(kv_class_get_node_by_name(p, "I"),
                                kv_class_get_node_by_name(kv_cc_get_class_by_name(cc, "Sensor"), "truth")),
              kv_class_get_node_by_name(p, "later"));
}

TEST_F(ParseClassesTest, FatalMessages)
{
    ASSERT_EQ(parse(sensor), 0);
    const std::string s = "class X { ";
    fails("net { }", "expected `class' keyword");
    fails("class { }", "class name expected");
    fails("class Sensor { }", "a class with name `Sensor' already exists");
    fails("class X ( }", "`{' expected");
    fails(s + "class Y { } }", "nested classes are not permitted");
    fails(s + "inputs = (a); inputs = (b); }", "attribute `inputs' defined twice");
    fails(s + "outputs = (a 3); }", "node name or `)' expected");
    fails(s + "node_size = (-1 2); }", "<number> must be nonnegative");
    fails(s + "12 }", "unexpected token");
    fails(s + "instance : Sensor () {} }", "name expected");
    fails(s + "instance I Sensor () {} }", "`:' expected");
    fails(s + "instance I : () {} }", "name expected");
    fails(s + "instance I : Sensor {} }", "`(' expected");
    fails(s + "instance I : Sensor (3) {} }", "name, `;', or `)' expected");
    fails(s + "instance I : Sensor (truth = a, 3) {} }", "name expected");
    fails(s + "instance I : Sensor (truth 3) {} }", "`=' expected");
    fails(s + "instance I : Sensor (truth = 3) {} }", "name expected");
    fails(s + "instance I : Sensor (truth = a } {} }", "`,', `;', or `)' expected");
    fails(s + "instance I : Sensor (; y out1) {} }", "`=' expected");
    fails(s + "instance I : Sensor (; y = 3) {} }", "name expected");
    fails(s + "instance I : Sensor (; y = nothing) {} }", "class `Sensor' does not have a node named `nothing'");
    fails(s + "instance I : Sensor (; y = truth) {} }", "node `truth' is not an output node in class `Sensor'");
    fails(s + "instance I : Sensor (; y = out1 z = out2) {} }", "`,' or `)' expected");
    fails(s + "node y { } instance I : Sensor (; y = out1) {} }", "a node named `y' already exists");
    fails(s + "node I { } instance I : Sensor () {} }", "a node named `I' already exists");
    fails(s + "instance I : Sensor () ( }", "`{' expected");
    fails(s + "instance I : Sensor () { label = 3; } }", "string expected");
    fails(s + "instance I : Sensor () { colour = 3; } }", "value of a user-defined attribute must be a string");
    fails(s + "instance I : Sensor () { 3 } }", "`}' or an attribute name expected");
    fails(s + "instance I : X () {} }", "adding class instance `I' creates a cycle in the instance hierarchy",
          kv_error_cyclic_instance_hierarchy);
    fails(s + "node a {} inputs = (a); outputs = (a); }", "node `a' is specified both as input and as output");
    fails(s + "node a {} outputs = (a); inputs = (a); }", "node `a' is specified both as input and as output");
    fails(s + "node a {} inputs = (a a); }", "node `a' specified as input twice");
    fails(s + "node a {} outputs = (a a); }", "node `a' specified as output twice");
    fails(s + "node a {} node b {} potential (b | a) {} inputs = (b); }", "node `b' is not a valid input node");
    fails(s + "utility u {} outputs = (u); }", "node `u' is not a valid output node");
    fails(s + "inputs = (nothing); }", "class `X' has no node named `nothing'");
    fails(s + "node a {} inputs = (a.b); }", "node `a' is not an instance node in class `X'");
    fails(s + "instance I : Sensor () {} outputs = (I.truth); }", "node `truth' is not an output node in class `Sensor'");
    fails(s + "node a {} instance I : Sensor (nothing = a) {} }", "node `nothing' is not an input parameter of class `Sensor'");
    fails(s + "node a {} instance I : Sensor (out1 = a) {} }", "node `out1' is not an input parameter of class `Sensor'");
    fails(s + "node a {} instance I : Sensor (truth = a, truth = a) {} }", "input for node `truth' has been specified twice");
    fails(s + "continuous node a {} instance I : Sensor (truth = a) {} }", "nodes `a' and `truth' are not compatible");
    fails(s + "node a {} node b {} potential (a b) { data = (1); } }", "undirected links are not allowed in classes");
    EXPECT_EQ(count(), 1u);
}

TEST_F(ParseClassesTest, FailureDeletesOnlyTheNewClasses)
{
    ASSERT_EQ(parse(sensor), 0);
    // Two good classes, the second instantiating the first, then a bad one.
    EXPECT_EQ(parse("class A { } class B { instance I : A () {} } class C { 3 }"), kv_error_parse);
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(kv_class_get_instances(kv_cc_get_class_by_name(cc, "Sensor"))[0], nullptr);
    EXPECT_EQ(kv_net_parse_classes(nullptr, cc, nullptr, nullptr, nullptr), kv_error_usage);
    EXPECT_EQ(kv_net_parse_classes("/nonexistent/file.net", cc, nullptr, nullptr, nullptr), kv_error_io);

    // Failed allocations: the collection is back as it was each time.
    std::string text = std::string("class Q { instance I : Sensor (truth = t; y = out1) {} ") +
                       "node t { states = (\"off\" \"on\"); } outputs = (y); }";
    std::string path = write("alloc.net", text);
    int points = 0;
    for (long n = 1;; ++n) {
        kv::fail_allocation_after(n);
        int s = kv_net_parse_classes(path.c_str(), cc, nullptr, nullptr, nullptr);
        kv::fail_allocation_after(0);
        if (s == 0)
            break;
        ++points;
        ASSERT_EQ(s, kv_error_no_memory) << n;
        ASSERT_EQ(count(), 1u);
        EXPECT_EQ(kv_class_get_instances(kv_cc_get_class_by_name(cc, "Sensor"))[0], nullptr);
    }
    EXPECT_GE(points, 20);
    EXPECT_EQ(count(), 2u);
}

TEST_F(ParseClassesTest, ClassParseNodesReadsNamesOfTheClass)
{
    ASSERT_EQ(parse(sensor), 0);
    kv_class_t s = kv_cc_get_class_by_name(cc, "Sensor");
    kv_node_t *nodes = kv_class_parse_nodes(s, write("names.txt", "out2 truth").c_str(), collect, nullptr);
    ASSERT_NE(nodes, nullptr);
    EXPECT_EQ(nodes[0], kv_class_get_node_by_name(s, "out2"));
    EXPECT_EQ(nodes[1], kv_class_get_node_by_name(s, "truth"));
    EXPECT_EQ(nodes[2], nullptr);
    std::free(nodes);
}

// ---------------------------------------------------------------------------
// The old format.

std::vector<std::string> old_messages;
void collect_old(size_t line, kv_string_t message)
{
    old_messages.push_back(std::to_string(line) + ": " + message);
}

void collect_old3(size_t line, kv_string_t message, void *)
{
    collect_old(line, message);
}

// From a file, so that positions are lines.
kv_domain_t old(const std::string &text)
{
    old_messages.clear();
    return kv_net_parse_domain(write("old.net", text).c_str(), collect_old3, nullptr);
}

TEST(ParseOldNetTest, ReadsHeaderNodesAndNestedTables)
{
    // b is used as a parent of a before it is specified: its two states
    // come from the groups of a's table.
    const char *text = "net \"Old network\" 40 30 1.5\n"
                       "a \"Node a\" 10 20 (\"yes\" \"no\") b\n"
                       "  ((0.1 0.9) (0.6 0.4))\n"
                       "b \"Node b\" -3 4 (\"on\" \"off\")\n"
                       "  (0.3 0.7)\n"
                       "my-node.x \"odd name\" 0 0 (\"s\") a b (((1) (1)) ((1) (1)))\n";
    kv_domain_t d = old(text);
    ASSERT_NE(d, nullptr) << (old_messages.empty() ? "" : old_messages[0]);
    EXPECT_STREQ(kv_domain_get_attribute(d, "name"), "net");
    EXPECT_STREQ(kv_domain_get_attribute(d, "label"), "Old network");
    size_t w, h;
    ASSERT_EQ(kv_domain_get_node_size(d, &w, &h), 0);
    EXPECT_EQ(w, 40u);
    EXPECT_EQ(h, 30u);
    kv_node_t a = kv_domain_get_node_by_name(d, "a"), b = kv_domain_get_node_by_name(d, "b");
    ASSERT_TRUE(a && b);
    EXPECT_STREQ(kv_node_get_label(a), "Node a");
    EXPECT_STREQ(kv_node_get_state_label(b, 1), "off");
    int x, y;
    kv_node_get_position(b, &x, &y);
    EXPECT_EQ(x, -3);
    EXPECT_EQ(y, 4);
    kv_table_t t = kv_node_get_table(a);
    EXPECT_EQ(kv_table_get_nodes(t)[0], b);
    EXPECT_EQ(kv_table_get_data(t)[2], 0.6);
    kv_node_t odd = kv_domain_get_node_by_name(d, "my_node_x");
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(kv_node_get_parents(odd)[0], a);
    EXPECT_EQ(kv_node_get_parents(odd)[1], b);
    // Creation order: a, b (made as a's parent), then my-node.x.
    EXPECT_EQ(kv_domain_get_first_node(d), a);
    EXPECT_EQ(a->index, 3u);
    ASSERT_EQ(kv_domain_compile(d), 0);
    EXPECT_NEAR(kv_node_get_belief(a, 0), 0.3 * 0.1 + 0.7 * 0.6, 1e-15);
    EXPECT_EQ(kv_domain_delete(d), 0);
}

TEST(ParseOldNetTest, Messages)
{
    struct Case {
        const char *text, *message;
    } cases[] = {
        {"n \"l\" -1 2 3\n", "1: node width and height, and scale factor must be nonnegative"},
        {"n \"l\" 1 2 3\n(", "2: node name (or end-of-file) expected"},
        {"n \"l\" 1 2 3\na 3", "2: string expected"},
        {"n \"l\" 1 2 3\na \"x\" 1 b", "2: number expected"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 ()", "2: empty list of states"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\") \"p\"", "2: parent node name or a left parenthesis expected"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\" \"t\") b b ((1 1) (1 1))", "2: node `b' appears twice as a parent of `a'"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\") a (1)", "2: adding the link a --> a creates a directed cycle"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\") (1)\na \"x\" 1 2 (\"s\") (1)",
         "3: node `a' has already been defined (at line 2)"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\" \"t\") b\n((1 1) (1 1) (1 1))\nb \"y\" 0 0 (\"u\" \"v\") (1 1)",
         "4: number of states (2) does not match previous usage (line 2)"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\") b ((1) (1))", "2: node `b' (used at line 2) has not been defined"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\" \"t\") b ((1 1) (1))", "2: number expected"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\") b ((1) (1 1))", "2: `)' expected"},
        {"n \"l\" 1 2 3\na \"x\" 1 2 (\"s\") (-1)", "2: probabilities may not be negative"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(old(c.text), nullptr) << c.text;
        bool cycle = std::string(c.message).find("cycle") != std::string::npos;
        EXPECT_EQ(kv_error_code(), cycle ? kv_error_cyclic_network : kv_error_parse) << c.text;
        ASSERT_FALSE(old_messages.empty()) << c.text;
        EXPECT_EQ(old_messages[0], c.message) << c.text;
    }
}

} // namespace
