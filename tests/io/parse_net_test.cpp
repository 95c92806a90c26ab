#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "core/attribute.h"
#include "core/domain.h"
#include "io/parser.h"
#include "kelvo.h"
#include "table/table.h"

namespace {

std::vector<std::string> messages;
std::vector<size_t> positions;

void collect(size_t position, kv_string_t message)
{
    positions.push_back(position);
    messages.push_back(message);
}

kv_domain_t parse(const std::string &text)
{
    messages.clear();
    positions.clear();
    return kv_net_parse_from_string(text.c_str(), collect);
}

std::vector<double> data(kv_table_t t)
{
    double *v = kv_table_get_data(t);
    return std::vector<double>(v, v + kv_table_get_size(t));
}

const char *two_states = R"(node A { states = ("a0" "a1"); }
node B { states = ("b0" "b1"); }
node C { states = ("c0" "c1"); }
)";

} // namespace

TEST(ParseNetTest, FlatAndNestedTablesFillAlike)
{
    kv_domain_t flat = parse(std::string(two_states) +
                             "potential (A | B C) { data = (0.1 0.9 0.2 0.8 0.3 0.7 0.4 0.6); }");
    ASSERT_NE(flat, nullptr);
    kv_node_t a = kv_domain_get_node_by_name(flat, "A");
    kv_table_t t = kv_node_get_table(a);
    kv_node_t *nodes = kv_table_get_nodes(t);
    EXPECT_STREQ(kv_node_get_name(nodes[0]), "B");
    EXPECT_STREQ(kv_node_get_name(nodes[1]), "C");
    EXPECT_STREQ(kv_node_get_name(nodes[2]), "A");
    EXPECT_EQ(data(t), (std::vector<double>{0.1, 0.9, 0.2, 0.8, 0.3, 0.7, 0.4, 0.6}));
    kv_domain_t nested = parse(std::string(two_states) +
                               "potential (A | B C) { data = (((0.1 0.9) (0.2 0.8)) ((0.3 0.7) (0.4 0.6))); }");
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(data(kv_node_get_table(kv_domain_get_node_by_name(nested, "A"))), data(t));
    EXPECT_TRUE(messages.empty());
    kv_domain_delete(flat);
    kv_domain_delete(nested);
}

TEST(ParseNetTest, DeclarationOrderAndAttributes)
{
    kv_domain_t d = parse(R"(net { node_size = (80 40); b = "2"; a = "1"; }
node First { label = "the first"; position = (10 -20); x = "1"; y = "2"; states = ("s"); }
node Second { }
)");
    ASSERT_NE(d, nullptr) << (messages.empty() ? "" : messages[0]);
    kv_node_t first = kv_domain_get_first_node(d);
    EXPECT_STREQ(kv_node_get_name(first), "First");
    EXPECT_EQ(first->index, 2u) << "the first declared node has the highest index";
    EXPECT_STREQ(kv_node_get_label(first), "the first");
    int x, y;
    kv_node_get_position(first, &x, &y);
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, -20);
    EXPECT_STREQ(kv_attribute_get_key(kv_node_get_first_attribute(first)), "x");
    EXPECT_STREQ(kv_attribute_get_key(kv_domain_get_first_attribute(d)), "b") << "written order";
    size_t w, h;
    kv_domain_get_node_size(d, &w, &h);
    EXPECT_EQ(w, 80u);
    EXPECT_EQ(h, 40u);
    kv_domain_delete(d);
    kv_domain_t empty = parse("net { }");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(kv_domain_get_number_of_nodes(empty), 0u);
    kv_domain_delete(empty);
}

TEST(ParseNetTest, StateValues)
{
    kv_domain_t d = parse(R"(node N { states = ("a" "b" "c"); subtype = interval;
state_values = (0 1 2 infinity); })");
    ASSERT_NE(d, nullptr);
    kv_node_t n = kv_domain_get_first_node(d);
    EXPECT_EQ(kv_node_get_subtype(n), kv_subtype_interval);
    EXPECT_EQ(kv_node_get_state_value(n, 3), DBL_MAX);
    EXPECT_EQ(kv_node_get_state_value(n, 1), 1.0);
    kv_domain_delete(d);
    EXPECT_EQ(parse(R"(node N { states = ("a" "b" "c"); subtype = interval; state_values = (0 1 2); })"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"incorrect number of state values"});
    EXPECT_EQ(kv_error_code(), kv_error_parse);
    EXPECT_EQ(parse(R"(node N { subtype = number; state_values = (0 1); })"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"states must be specified before state values"});
    EXPECT_EQ(parse(R"(node N { states = ("a" "b"); state_values = (0 1); })"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"only numeric nodes can have state values"});
    EXPECT_EQ(parse(R"(node N { states = ("a" "b" "c"); subtype = boolean; })"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"a boolean node must have exactly two states"});
}

TEST(ParseNetTest, CountedErrorsAreAllReported)
{
    std::string text = std::string(two_states) +
                       "potential (A) { data = (-0.5 1.5); }\npotential (A) { data = (0.5 0.5); }";
    EXPECT_EQ(parse(text), nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"<number> must be nonnegative",
                                                  "conditional probability potential specified twice for node `A'"}));
    // Positions count the characters read when each problem was found.
    EXPECT_EQ(positions, (std::vector<size_t>{text.find("-0.5") + 4,
                                              text.rfind("potential (A)") + 13}));
    EXPECT_EQ(kv_error_code(), kv_error_parse);
    // Utility tables take negative numbers.
    kv_domain_t d = parse("node A { states = (\"a\" \"b\"); }\nutility U { }\npotential (U | A) { data = (-5 10); }");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(data(kv_node_get_table(kv_domain_get_node_by_name(d, "U"))), (std::vector<double>{-5, 10}));
    kv_domain_delete(d);
}

TEST(ParseNetTest, PotentialChecks)
{
    EXPECT_EQ(parse("utility U { }\nnode A { }\npotential (A | U A) { }"), nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"utility node `U' specified as parent",
                                                  "node `A' appears twice in potential specification"}));
    EXPECT_EQ(parse("node A { }\npotential (A | B) { }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"node `B' not found"});
    EXPECT_EQ(parse("node A { }\npotential (A | A.x) { }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"node `A' is not an instance node"});
    EXPECT_EQ(parse("node A { }\nnode B { }\npotential (A | B) { }\npotential (B | A) { }"), nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"warning: no potential data specified",
                                                  "adding the link A --> B creates a directed cycle"}));
    EXPECT_EQ(kv_error_code(), kv_error_cyclic_network);
    kv_domain_t d = parse("decision D { states = (\"x\" \"y\"); }\nnode A { }\npotential (D | A) { }");
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(messages.empty()) << "a decision's potential carries no data";
    EXPECT_EQ(kv_node_get_parents(kv_domain_get_node_by_name(d, "D"))[0], kv_domain_get_node_by_name(d, "A"));
    kv_domain_delete(d);
    EXPECT_EQ(parse("decision D { }\nnode A { }\npotential (D | A) { data = (1); }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"`}' expected"});
    EXPECT_EQ(parse("node A { }\npotential (A) { colour = (1); }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"unknown field"});
}

TEST(ParseNetTest, ConditionalGaussianEntries)
{
    kv_domain_t d = parse(R"(continuous node X { }
continuous node Y { }
potential (X) { data = normal (2, 1); }
potential (Y | X) { data = normal (1 + 2 * X - X, 4); })");
    ASSERT_NE(d, nullptr) << (messages.empty() ? "" : messages[0]);
    kv_node_t x = kv_domain_get_node_by_name(d, "X"), y = kv_domain_get_node_by_name(d, "Y");
    EXPECT_EQ(kv_node_get_alpha(y, 0), 1.0);
    EXPECT_EQ(kv_node_get_beta(y, x, 0), 1.0);
    EXPECT_EQ(kv_node_get_gamma(y, 0), 4.0);
    EXPECT_EQ(kv_node_get_alpha(x, 0), 2.0);
    kv_domain_delete(d);
    EXPECT_EQ(parse("continuous node X { }\npotential (X) { data = normal (1, -1); }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"variance must be nonnegative"});
    EXPECT_EQ(parse("continuous node X { }\npotential (X) { data = gauss (1, 1); }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"the keyword `normal' was expected"});
}

TEST(ParseNetTest, LexicalErrors)
{
    EXPECT_EQ(parse("node A {\n label = \"unfinished\n\"; }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"string did not end"});
    EXPECT_EQ(parse("node A { label = \"\\q\"; }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"illegal escape sequence: `\\q'"});
    EXPECT_EQ(parse("node A { } $"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"unexpected character: `$'"});
    EXPECT_EQ(positions, std::vector<size_t>{12u}) << "characters read, for strings";
    EXPECT_EQ(parse("node A { }\npotential (A | x.1) { }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"`.' must be followed by a letter or a `_'"});
    EXPECT_EQ(parse("node A { } banana"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"unknown object type: banana"});
    EXPECT_EQ(parse("node 1"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"name expected"});
    EXPECT_EQ(parse("node A { }\nnode A { }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"a node with name `A' already exists"});
    EXPECT_EQ(kv_error_code(), kv_error_twice);
    EXPECT_EQ(parse("continuous decision D { }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"keyword `node' expected"});
}

TEST(ParseNetTest, StringEscapes)
{
    kv_domain_t d = parse("node A { label = \"\\x41414\\101\\n\\\"q\\\"\"; }");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::string(kv_node_get_label(kv_domain_get_first_node(d))), "\x14" "A\n\"q\"");
    kv_domain_delete(d);
    d = parse("node A { label = \"a\\0b\"; }");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"warning: null character in string"});
    kv_domain_delete(d);
}

TEST(ParseNetTest, TokenReaders)
{
    const char text[] = "name % comment\nsecond -1.5e3 x.y";
    kv::Parser p;
    kv::start_parser(p, text, sizeof text - 1, true, nullptr, nullptr);
    p.reader = kv::get_new_token;
    EXPECT_EQ(kv::get_new_token(p), kv::T_NAME);
    EXPECT_EQ(kv::get_new_token(p), kv::T_NAME);
    EXPECT_EQ(p.line, 2u);
    EXPECT_EQ(kv::get_new_token(p), kv::T_NUMBER);
    EXPECT_EQ(p.number, -1500.0);
    EXPECT_EQ(kv::get_new_token(p), kv::T_DOTTED);
    EXPECT_EQ(kv::get_new_token(p), kv::T_END);
    const char expr[] = "-1.5e3 = == <> != <= < >= >";
    kv::start_parser(p, expr, sizeof expr - 1, false, nullptr, nullptr);
    EXPECT_EQ(kv::get_expr_token(p), '-');
    EXPECT_EQ(kv::get_expr_token(p), kv::T_NUMBER);
    EXPECT_EQ(p.number, 1500.0);
    for (int want : {kv::T_EQ, kv::T_EQ, kv::T_NE, kv::T_NE, kv::T_LE, kv::T_LT, kv::T_GE, kv::T_GT})
        EXPECT_EQ(kv::get_expr_token(p), want);
    EXPECT_TRUE(kv::is_old_format("net \"x\" 1 2 3", 13));
    EXPECT_FALSE(kv::is_old_format("", 0));
    EXPECT_FALSE(kv::is_old_format("net { }", 7));
}

TEST(ParseNetTest, FilesReportLines)
{
    char path[] = "/tmp/kelvo_parse_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE *f = fdopen(fd, "w");
    std::fputs("node A {\n  states = (\"a\" \"b\");\n}\npotential (A) {\n  data = (0.5 -0.5);\n}\n", f);
    std::fclose(f);
    messages.clear();
    positions.clear();
    auto handler = [](size_t line, kv_string_t message, void *) {
        positions.push_back(line);
        messages.push_back(message);
    };
    EXPECT_EQ(kv_net_parse_domain(path, handler, nullptr), nullptr);
    EXPECT_EQ(positions, std::vector<size_t>{5u});
    f = std::fopen(path, "w");
    std::fputs("node A {\n  states = (\"a\" \"b\");\n}\npotential (A) {\n  data = (0.5 0.5);\n}\n", f);
    std::fclose(f);
    kv_domain_t d = kv_net_parse_domain(path, handler, nullptr);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(kv_domain_get_file_name(d), path);
    kv_domain_delete(d);
    std::remove(path);
    EXPECT_EQ(kv_net_parse_domain("/nonexistent/x.net", nullptr, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_io);
    EXPECT_EQ(kv_net_parse_domain(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST(ParseNodesTest, NamesInFileOrder)
{
    kv_domain_t d = parse(two_states);
    ASSERT_NE(d, nullptr);
    char path[] = "/tmp/kelvo_nodes_XXXXXX";
    int fd = mkstemp(path);
    FILE *f = fdopen(fd, "w");
    std::fputs("C A % a comment\nB\n", f);
    std::fclose(f);
    kv_node_t *list = kv_domain_parse_nodes(d, path, nullptr, nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(kv_node_get_name(list[0]), "C");
    EXPECT_STREQ(kv_node_get_name(list[1]), "A");
    EXPECT_STREQ(kv_node_get_name(list[2]), "B");
    EXPECT_EQ(list[3], nullptr);
    std::free(list);
    f = std::fopen(path, "w");
    std::fputs("A\nZ\n", f);
    std::fclose(f);
    std::vector<std::string> seen;
    std::vector<size_t> lines;
    auto handler = [](size_t line, kv_string_t message, void *data) {
        auto *v = static_cast<std::pair<std::vector<size_t> *, std::vector<std::string> *> *>(data);
        v->first->push_back(line);
        v->second->push_back(message);
    };
    std::pair<std::vector<size_t> *, std::vector<std::string> *> sink{&lines, &seen};
    EXPECT_EQ(kv_domain_parse_nodes(d, path, handler, &sink), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_parse);
    EXPECT_EQ(seen, std::vector<std::string>{"node `Z' not found"});
    EXPECT_EQ(lines, std::vector<size_t>{2u});
    std::remove(path);
    kv_domain_delete(d);
}

TEST(ParseNetTest, HugeNumbersAreClamped)
{
    // Found by fuzzing: converting 1e300 to a size was undefined.
    kv_domain_t d = parse("net { node_size = (1e300 7); }\nnode A { position = (-1e300 1e300); }");
    ASSERT_NE(d, nullptr);
    size_t w, h;
    kv_domain_get_node_size(d, &w, &h);
    EXPECT_EQ(w, SIZE_MAX);
    EXPECT_EQ(h, 7u);
    int x, y;
    kv_node_get_position(kv_domain_get_first_node(d), &x, &y);
    EXPECT_EQ(x, INT_MIN);
    EXPECT_EQ(y, INT_MAX);
    kv_domain_delete(d);
    EXPECT_EQ(parse("node A { }\npotential (A) { model_nodes = (); samples_per_interval = 1e300; }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"`samples_per_interval' must be a positive integer"});
}

// A domain's interface lists are read and dropped: their names need not be
// nodes at all.  Only their form and a second list of one kind are errors.
TEST(ParseNetTest, NetBlockInterfaceListsAreOnlyRead)
{
    kv_domain_t d = parse("net { inputs = (P Q); outputs = (R); }\nnode Q { }");
    ASSERT_NE(d, nullptr) << (messages.empty() ? "" : messages[0]);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(kv_domain_get_number_of_nodes(d), 1u);
    kv_domain_delete(d);
    EXPECT_EQ(parse("net { outputs = (P); outputs = (Q); }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"attribute `outputs' defined twice"});
    EXPECT_EQ(parse("net { inputs = (P \"Q\"); }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"node name or `)' expected"});
    EXPECT_EQ(kv_error_code(), kv_error_parse);
}

// Each negative number of node_size is counted where it stands.
TEST(ParseNetTest, NegativeNodeSizesCountedOneByOne)
{
    std::string text = "net { node_size = (-1 -2); }";
    EXPECT_EQ(parse(text), nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"<number> must be nonnegative",
                                                  "<number> must be nonnegative"}));
    EXPECT_EQ(positions, (std::vector<size_t>{text.find("-1") + 2, text.find("-2") + 2}));
    EXPECT_EQ(kv_error_code(), kv_error_parse);
    EXPECT_EQ(parse("net { node_size = (3 -2); }"), nullptr);
    EXPECT_EQ(messages, std::vector<std::string>{"<number> must be nonnegative"});
}

// Every character of value 0 that enters a string is reported.
TEST(ParseNetTest, EveryNullCharacterWarns)
{
    kv_domain_t d = parse("node A { label = \"a\\0b\\x0\"; }");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(messages, (std::vector<std::string>{"warning: null character in string",
                                                  "warning: null character in string"}));
    kv_domain_delete(d);
}
