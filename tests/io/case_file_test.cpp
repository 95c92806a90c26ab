#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"
#include "kelvo.h"

namespace {

// Every kind of node an item can name.
const char *network = R"(
node A { label = "Answer \"x\""; states = ("yes" "no"); }
node B { states = ("lo" "hi"); }
node Dup { states = ("x" "x" "y"); }
node Bool { states = ("f" "t"); subtype = boolean; }
node Num { states = ("1" "2" "3" "4"); subtype = number; state_values = (1 2.5 1000000 1000001); }
node Int { states = ("low" "high"); subtype = interval; state_values = (0 10 20); }
node Open { states = ("low" "high"); subtype = interval; state_values = (0 10 infinity); }
node Bad { states = ("a" "b"); subtype = number; state_values = (2 1); }
continuous node C { }
node D { states = ("d0" "d1"); }
)";

// Decisions and utilities (which cannot be with continuous nodes).
const char *influence_diagram = R"(
node A { states = ("yes" "no"); }
decision D { states = ("d0" "d1"); }
utility U { }
potential (U | D) { data = (1 2); }
)";

struct Message {
    size_t position;
    std::string text;
};

void collect(size_t position, kv_string_t message, void *data)
{
    static_cast<std::vector<Message> *>(data)->push_back({position, message});
}

class CaseFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        d = kv_net_parse_from_string(network, nullptr);
        ASSERT_NE(d, nullptr);
        id = kv_net_parse_from_string(influence_diagram, nullptr);
        ASSERT_NE(id, nullptr);
        file = ::testing::TempDir() + "kelvo_case_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    }
    void TearDown() override
    {
        kv_domain_delete(d);
        kv_domain_delete(id);
        std::remove(file.c_str());
    }

    kv_node_t node(const char *name) { return kv_domain_get_node_by_name(d, name); }

    void write(const std::string &text)
    {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }

    std::string read()
    {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    kv_status_t parse_case(const std::string &text, kv_domain_t into = nullptr)
    {
        write(text);
        messages.clear();
        return kv_domain_parse_case(into ? into : d, file.c_str(), collect, &messages);
    }

    kv_status_t parse_cases(const std::string &text, kv_domain_t into = nullptr)
    {
        write(text);
        messages.clear();
        return kv_domain_parse_cases(into ? into : d, file.c_str(), collect, &messages);
    }

    std::vector<double> finding(const char *name)
    {
        kv_node_t n = node(name);
        std::vector<double> f;
        for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
            f.push_back(kv_node_get_entered_finding(n, s));
        return f;
    }

    bool any_evidence()
    {
        for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
            if (kv_node_get_category(n) != kv_category_utility && kv_node_evidence_is_entered(n) == 1)
                return true;
        return false;
    }

    kv_domain_t d = nullptr;
    kv_domain_t id = nullptr;
    std::string file;
    std::vector<Message> messages;
};

using Findings = std::vector<double>;

} // namespace

TEST_F(CaseFileTest, ItemsOfEveryKindEnterTheirEvidence)
{
    ASSERT_EQ(kv_node_select_state(node("Dup"), 2), 0); // retracted by the parse
    ASSERT_EQ(parse_case("A: \"yes\"\nB: (0.2 0.8) % soft\nC: -1.5\nBool: true\nD: #1\n"
                         "Num: 1000001\nInt: 10\nOpen: 20\n"),
              0);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(finding("A"), (Findings{1, 0}));
    EXPECT_EQ(finding("B"), (Findings{0.2, 0.8}));
    EXPECT_EQ(kv_node_get_entered_value(node("C")), -1.5);
    EXPECT_EQ(finding("Bool"), (Findings{0, 1}));
    EXPECT_EQ(finding("D"), (Findings{0, 1}));
    EXPECT_EQ(finding("Num"), (Findings{0, 0, 0, 1}));
    EXPECT_EQ(finding("Int"), (Findings{0, 1}));
    EXPECT_EQ(finding("Open"), (Findings{0, 1}));
    EXPECT_EQ(kv_node_evidence_is_entered(node("Dup")), 0);
}

TEST_F(CaseFileTest, NumbersNameStatesByValueAndInterval)
{
    struct {
        const char *node;
        const char *value;
        Findings expected; // empty: no state has the value
    } cases[] = {
        {"Num", "2.5", {0, 1, 0, 0}},
        // Within 1e-10 of the value, relative to it.
        {"Num", "1000001.00005", {0, 0, 0, 1}},
        {"Num", "1000001.0002", {}},
        {"Num", "-1.0e0", {}},
        {"Int", "0", {1, 0}},
        {"Int", "9.999", {1, 0}},
        {"Int", "10", {0, 1}},
        {"Int", "20", {}},
        {"Int", "-0.5", {}},
        {"Open", "20", {0, 1}},
        {"Open", "1e300", {0, 1}},
    };
    for (const auto &c : cases) {
        std::string text = std::string(c.node) + ": " + c.value;
        kv_status_t status = parse_case(text);
        if (c.expected.empty()) {
            EXPECT_EQ(status, kv_error_parse) << text;
            ASSERT_EQ(messages.size(), 1u) << text;
            char expected[100];
            std::snprintf(expected, sizeof expected, "no state of `%s' corresponds to the value %G", c.node,
                          std::strtod(c.value, nullptr));
            EXPECT_EQ(messages[0].text, expected) << text;
        } else {
            EXPECT_EQ(status, 0) << text;
            EXPECT_EQ(finding(c.node), c.expected) << text;
        }
    }
}

TEST_F(CaseFileTest, EveryMessageWithItsLineAndNoEvidenceLeft)
{
    struct {
        const char *text;
        const char *message;
        size_t line;
    } cases[] = {
        {"A: \"yes\"\nA: \"no\"\n", "findings specified twice for `A'", 2},
        {"\n\nZ: \"yes\"", "the domain has no node named `Z'", 3},
        {"A \"yes\"", "`:' expected", 1},
        {"1: 2", "node name expected", 1},
        {"A: ;", "illegal token", 1},
        {"A: *", "illegal token", 1},
        {"A:", "unexpected end-of-file", 1},
        {"C: #0", "state index can only be specified for discrete nodes", 1},
        {"A: #2", "`#' must be followed by a valid state index", 1},
        {"A: #0.5", "`#' must be followed by a valid state index", 1},
        {"A: #-1", "`#' must be followed by a valid state index", 1},
        {"A: #\"yes\"", "`#' must be followed by a valid state index", 1},
        {"A: yes", "state labels must be quoted", 1},
        {"A: true", "state labels must be quoted", 1},
        {"Num: true", "illegal token", 1},
        {"Num: \"1\"", "state labels are only allowed for labeled nodes", 1},
        {"C: \"1\"", "state labels are only allowed for labeled nodes", 1},
        {"A: \"maybe\"", "\"maybe\" is not a (unique) state label of `A'", 1},
        {"Dup: \"x\"", "\"x\" is not a (unique) state label of `Dup'", 1},
        {"A: 1", "numeric findings are only allowed for CG, numbered, and interval nodes", 1},
        {"Bad: 1", "the state values of `Bad' do not form an increasing sequence", 1},
        {"Num: 1.5", "no state of `Num' corresponds to the value 1.5", 1},
        {"C: (1 2)", "likelihood can only be specified for discrete nodes", 1},
        {"B: (0.2 -1)", "likelihood numbers must be nonnegative", 1},
        {"B: (0.2 x)", "number expected", 1},
        {"B: (1 2 3)", "likelihood vector too long", 1},
        {"B: (1)", "likelihood vector too short", 1},
        {"B: (1 2 x)", "')' expected", 1},
        {"B: (1\n2", "unexpected end-of-file", 2},
        {"C: 1e999", "number expected", 1},
        {"C: -inf", "number expected", 1},
        {"C: - 1", "number expected", 1},
        {"A: @", "unexpected character: `@'", 1},
        {"A: \"yes", "string did not end", 1},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(kv_node_select_state(node("Dup"), 2), 0);
        EXPECT_EQ(parse_case(std::string("Open: 5\n") + c.text), kv_error_parse) << c.text;
        ASSERT_EQ(messages.size(), 1u) << c.text;
        EXPECT_EQ(messages[0].text, c.message) << c.text;
        EXPECT_EQ(messages[0].position, c.line + 1) << c.text;
        EXPECT_FALSE(any_evidence()) << c.text;
    }
}

TEST_F(CaseFileTest, DecisionsTakeItemsAndUtilitiesDoNot)
{
    EXPECT_EQ(parse_case("A: \"no\"\nD: \"d1\"\n", id), 0);
    EXPECT_EQ(kv_node_get_entered_finding(kv_domain_get_node_by_name(id, "D"), 0), 0.0);
    EXPECT_EQ(parse_case("D: #0\nU: 1\n", id), kv_error_parse);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "only chance and decision nodes can have findings");
    EXPECT_EQ(messages[0].position, 2u);
    EXPECT_EQ(kv_node_evidence_is_entered(kv_domain_get_node_by_name(id, "D")), 0);
    EXPECT_EQ(parse_cases("D A U\n", id), kv_error_parse);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "node `U' is not a chance or a decision node");
    EXPECT_EQ(parse_cases("D A\n#1 \"yes\"\n", id), 0);
    kv_node_t dn = kv_domain_get_node_by_name(id, "D");
    EXPECT_EQ(kv_node_get_case_state(dn, 0), 1u);
    kv_node_t with_utility[] = {dn, kv_domain_get_node_by_name(id, "U"), nullptr};
    EXPECT_EQ(kv_domain_save_cases(id, file.c_str(), with_utility, nullptr, 0, ",", "*"), kv_error_usage);
    kv_node_t decision[] = {dn, nullptr};
    EXPECT_EQ(kv_domain_save_cases(id, file.c_str(), decision, nullptr, 0, ",", "*"), 0);
    EXPECT_EQ(read(), "D\n\n\"d1\"\n");
}

TEST_F(CaseFileTest, UnreadableFileKeepsTheEvidence)
{
    ASSERT_EQ(kv_node_select_state(node("A"), 1), 0);
    EXPECT_EQ(kv_domain_parse_case(d, (file + ".missing").c_str(), nullptr, nullptr), kv_error_io);
    EXPECT_EQ(kv_error_code(), kv_error_io);
    EXPECT_EQ(finding("A"), (Findings{0, 1}));
    EXPECT_EQ(kv_domain_parse_case(nullptr, file.c_str(), nullptr, nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_parse_case(d, nullptr, nullptr, nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_save_case(d, nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_save_case(d, "/nonexistent-directory/case.txt"), kv_error_io);
}

TEST_F(CaseFileTest, SavedCaseText)
{
    ASSERT_EQ(kv_node_select_state(node("A"), 0), 0);
    ASSERT_EQ(kv_node_enter_finding(node("B"), 0, 0.2), 0);
    ASSERT_EQ(kv_node_enter_finding(node("B"), 1, 0.8), 0);
    ASSERT_EQ(kv_node_select_state(node("Dup"), 1), 0);
    ASSERT_EQ(kv_node_select_state(node("Bool"), 0), 0);
    ASSERT_EQ(kv_node_select_state(node("Num"), 3), 0);
    ASSERT_EQ(kv_node_select_state(node("Int"), 1), 0);
    ASSERT_EQ(kv_node_select_state(node("Bad"), 0), 0);
    ASSERT_EQ(kv_node_enter_value(node("C"), 123456789), 0);
    ASSERT_EQ(kv_node_enter_finding(node("D"), 0, 0), 0);
    ASSERT_EQ(kv_node_enter_finding(node("D"), 1, 0.5), 0);
    ASSERT_EQ(kv_domain_save_case(d, file.c_str()), 0);
    EXPECT_EQ(read(), "A: \"yes\"\t% \"Answer \\\"x\\\"\"\n"
                      "B: (0.2 0.8)\n"
                      "Dup: #1\n"
                      "Bool: false\n"
                      "Num: 1000001\n"
                      "Int: #1\n"
                      "Bad: #0\n"
                      "C: 123456789\n"
                      "D: (0 0.5)\n");
    // What was written reads back to the same evidence.
    ASSERT_EQ(parse_case(read()), 0);
    EXPECT_EQ(finding("A"), (Findings{1, 0}));
    EXPECT_EQ(finding("B"), (Findings{0.2, 0.8}));
    EXPECT_EQ(finding("Dup"), (Findings{0, 1, 0}));
    EXPECT_EQ(finding("Num"), (Findings{0, 0, 0, 1}));
    EXPECT_EQ(finding("Bad"), (Findings{1, 0}));
    EXPECT_EQ(finding("D"), (Findings{0, 0.5}));
    EXPECT_EQ(kv_node_get_entered_value(node("C")), 123456789);
}

TEST_F(CaseFileTest, SavedNumbersReadBackExactly)
{
    const double values[] = {0.1 + 0.2, 1.0 / 3, -2.5e-300, 1e21, 123456.7};
    for (double v : values) {
        ASSERT_EQ(kv_node_enter_value(node("C"), v), 0);
        ASSERT_EQ(kv_node_enter_finding(node("B"), 0, v > 0 ? v : -v), 0);
        ASSERT_EQ(kv_domain_save_case(d, file.c_str()), 0);
        ASSERT_EQ(parse_case(read()), 0) << read();
        EXPECT_EQ(kv_node_get_entered_value(node("C")), v) << read();
        EXPECT_EQ(kv_node_get_entered_finding(node("B"), 0), v > 0 ? v : -v) << read();
    }
}

TEST_F(CaseFileTest, CaseDataWithCountsLabelsAndMissingValues)
{
    ASSERT_EQ(parse_cases("# A, B\n2.5 \"yes\" *\n"), 0);
    EXPECT_TRUE(messages.empty());
    ASSERT_EQ(kv_domain_get_number_of_cases(d), 1u);
    EXPECT_EQ(kv_domain_get_case_count(d, 0), 2.5);
    EXPECT_EQ(kv_node_get_case_state(node("A"), 0), 0u);
    EXPECT_EQ(kv_node_case_is_set(node("B"), 0), 0);
    // Appended after the first; comments, blank lines, commas and every item.
    ASSERT_EQ(parse_cases("% a comment\n\nA, C Num Int Bool D\n"
                          "\"no\", 0.1, 2.5, 15, true, #0 % first\n"
                          "\n"
                          "? ? ? ? ? ?\n"
                          "\"yes\" -3e-5 \"1\" 0 false \"d1\"\n"),
              kv_error_parse);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "state labels are only allowed for labeled nodes");
    EXPECT_EQ(messages[0].position, 7u);
    EXPECT_EQ(kv_domain_get_number_of_cases(d), 1u);
    ASSERT_EQ(parse_cases("A, C Num Int Bool D\n"
                          "\"no\", 0.1, 2.5, 15, true, #0 % first\n"
                          "\n"
                          "? ? ? ? ? ?\n"
                          "\"yes\" -3e-5 #0 0 false \"d1\"\n"),
              0);
    ASSERT_EQ(kv_domain_get_number_of_cases(d), 4u);
    EXPECT_EQ(kv_node_get_case_state(node("A"), 1), 1u);
    EXPECT_EQ(kv_node_get_case_value(node("C"), 1), 0.1);
    EXPECT_EQ(kv_node_get_case_state(node("Num"), 1), 1u);
    EXPECT_EQ(kv_node_get_case_state(node("Int"), 1), 1u);
    EXPECT_EQ(kv_node_get_case_state(node("Bool"), 1), 1u);
    EXPECT_EQ(kv_node_get_case_state(node("D"), 1), 0u);
    for (const char *name : {"A", "C", "Num", "Int", "Bool", "D"})
        EXPECT_EQ(kv_node_case_is_set(node(name), 2), 0) << name;
    EXPECT_EQ(kv_node_get_case_value(node("C"), 3), -3e-5);
    EXPECT_EQ(kv_node_get_case_state(node("D"), 3), 1u);
    EXPECT_EQ(kv_domain_get_case_count(d, 3), 1.0);
    // The last line needs no newline; nothing after the input is read.
    ASSERT_EQ(parse_cases("C\n12"), 0);
    EXPECT_EQ(kv_node_get_case_value(node("C"), 4), 12.0);
    // The first file's case is as it was.
    EXPECT_EQ(kv_domain_get_case_count(d, 0), 2.5);
    EXPECT_EQ(kv_node_case_is_set(node("C"), 0), 0);
}

TEST_F(CaseFileTest, CaseDataMessagesDropTheNewCases)
{
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 2), 0);
    ASSERT_EQ(kv_node_set_case_state(node("A"), 1, 1), 0);
    struct {
        const char *text;
        const char *message;
        size_t line;
    } cases[] = {
        {"", "node name expected", 1},
        {"#\n\"yes\"", "node name expected", 1},
        {"A, B,\n\"yes\" \"lo\"", "line is incomplete", 1},
        {"A 1", "node name expected", 1},
        {"A,,B", "node name expected", 1},
        {"Z", "the domain has no node named `Z'", 1},
        {"A B A", "node `A' listed twice", 1},
        {"# A\n\"yes\" \"yes\"", "case count expected", 2},
        {"# A\n-1 \"yes\"", "case counts must be nonnegative", 2},
        {"# A\n1e999 \"yes\"", "number expected", 2},
        {"# A\n1\n\"yes\"", "the case has too few data items", 2},
        {"A B\n\"yes\" \"lo\"\n\"no\"\n\"no\" \"hi\"", "the case has too few data items", 3},
        {"A B\n\"yes\"", "the case has too few data items", 2},
        {"A B\n\"yes\" \"lo\" \"hi\"\n", "the case has extra stuff at the end", 2},
        {"A B\n\"yes\",\n\"lo\"", "line is incomplete", 2},
        {"A B\n\"yes\" \"lo\",\n", "line is incomplete", 2},
        {"A B\n\"yes\",,\"lo\"", "syntax error", 2},
        {"A B\n\"yes\" \"lo\",,", "syntax error", 2},
        {"A B\n,\"yes\" \"lo\"", "syntax error", 2},
        {"A\n(1 0)", "likelihood vectors are not allowed in case data files", 2},
        {"C\n1e999", "number expected", 2},
        {"A\n#\n0", "`#' must be followed by a valid state index", 2},
        {"A\n\"maybe\"", "\"maybe\" is not a (unique) state label of `A'", 2},
        {"A\n\"yes\" @", "unexpected character: `@'", 2},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(parse_cases(c.text), kv_error_parse) << c.text;
        ASSERT_EQ(messages.size(), 1u) << c.text;
        EXPECT_EQ(messages[0].text, c.message) << c.text;
        EXPECT_EQ(messages[0].position, c.line) << c.text;
        EXPECT_EQ(kv_domain_get_number_of_cases(d), 2u) << c.text;
    }
    EXPECT_EQ(kv_node_get_case_state(node("A"), 1), 1u);
    EXPECT_EQ(kv_node_case_is_set(node("A"), 0), 0);
    // A header alone: a warning and no case.
    EXPECT_EQ(parse_cases("A B\n\n"), 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "warning: file contains no cases");
    EXPECT_EQ(kv_domain_get_number_of_cases(d), 2u);
    EXPECT_EQ(kv_domain_parse_cases(d, (file + ".missing").c_str(), nullptr, nullptr), kv_error_io);
    EXPECT_EQ(kv_domain_parse_cases(d, nullptr, nullptr, nullptr), kv_error_usage);
}

TEST_F(CaseFileTest, SavedCaseDataText)
{
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 3), 0);
    kv_node_t a = node("A"), c = node("C"), dup = node("Dup"), num = node("Num");
    ASSERT_EQ(kv_node_set_case_state(a, 0, 1), 0);
    ASSERT_EQ(kv_node_set_case_value(c, 0, 0.1 + 0.2), 0);
    ASSERT_EQ(kv_node_set_case_state(dup, 0, 0), 0);
    ASSERT_EQ(kv_node_set_case_state(num, 0, 1), 0);
    ASSERT_EQ(kv_node_set_case_state(dup, 1, 2), 0);
    ASSERT_EQ(kv_node_set_case_value(c, 2, 1e6), 0);
    ASSERT_EQ(kv_domain_set_case_count(d, 1, 3), 0);
    ASSERT_EQ(kv_domain_set_case_count(d, 2, 0), 0);
    kv_node_t nodes[] = {a, c, dup, num, nullptr};
    ASSERT_EQ(kv_domain_save_cases(d, file.c_str(), nodes, nullptr, 1, ", ", "*"), 0);
    EXPECT_EQ(read(), "#, A, C, Dup, Num\n\n"
                      "1, \"no\", 0.30000000000000004, #0, 2.5\n"
                      "3, *, *, \"y\", *\n"
                      "0, *, 1E+06, *, *\n");
    // Without counts a case is written as often as it counts.
    kv_index_t some[] = {1, 0, kv_index_t(-1)};
    ASSERT_EQ(kv_domain_save_cases(d, file.c_str(), nodes, some, 0, "\t", "?"), 0);
    EXPECT_EQ(read(), "A\tC\tDup\tNum\n\n"
                      "?\t?\t\"y\"\t?\n?\t?\t\"y\"\t?\n?\t?\t\"y\"\t?\n"
                      "\"no\"\t0.30000000000000004\t#0\t2.5\n");
    // What was written reads back to the same store.
    ASSERT_EQ(kv_domain_save_cases(d, file.c_str(), nodes, nullptr, 1, ", ", "*"), 0);
    ASSERT_EQ(parse_cases(read()), 0);
    ASSERT_EQ(kv_domain_get_number_of_cases(d), 6u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(kv_domain_get_case_count(d, i + 3), kv_domain_get_case_count(d, i));
        for (kv_node_t n : {a, dup, num}) {
            EXPECT_EQ(kv_node_case_is_set(n, i + 3), kv_node_case_is_set(n, i));
            if (kv_node_case_is_set(n, i) == 1) {
                EXPECT_EQ(kv_node_get_case_state(n, i + 3), kv_node_get_case_state(n, i));
            }
        }
        EXPECT_EQ(kv_node_case_is_set(c, i + 3), kv_node_case_is_set(c, i));
    }
    EXPECT_EQ(kv_node_get_case_value(c, 3), 0.1 + 0.2);
}

TEST_F(CaseFileTest, SaveCasesRefusesWhatCannotBeWrittenOrRead)
{
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 2), 0);
    kv_node_t a = node("A"), b = node("B");
    kv_node_t nodes[] = {a, b, nullptr};
    kv_node_t twice[] = {a, b, a, nullptr};
    kv_domain_t other = kv_net_parse_from_string(network, nullptr);
    kv_node_t foreign[] = {a, kv_domain_get_node_by_name(other, "B"), nullptr};
    kv_index_t bad_case[] = {0, 2, kv_index_t(-1)};
    const char *f = file.c_str();
    EXPECT_EQ(kv_domain_save_cases(nullptr, f, nodes, nullptr, 0, ",", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, nullptr, nodes, nullptr, 0, ",", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nullptr, nullptr, 0, ",", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 2, ",", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 0, nullptr, "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 0, ",", nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 0, ",\n", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 0, ",", "\n"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, twice, nullptr, 0, ",", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, foreign, nullptr, 0, ",", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, bad_case, 0, ",", "*"), kv_error_usage);
    EXPECT_EQ(a->mark, 0);
    EXPECT_EQ(b->mark, 0);
    // Counts that cannot be written as repeated lines.
    ASSERT_EQ(kv_domain_set_case_count(d, 1, 2.5), 0);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 0, ",", "*"), kv_error_usage);
    kv_index_t first[] = {0, kv_index_t(-1)};
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, first, 0, ",", "*"), 0);
    ASSERT_EQ(kv_domain_set_case_count(d, 1, 4294967295.0), 0);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 0, ",", "*"), kv_error_usage);
    EXPECT_EQ(kv_domain_save_cases(d, f, nodes, nullptr, 1, ",", "*"), 0);
    EXPECT_EQ(read(), "#,A,B\n\n1,*,*\n4294967295,*,*\n");
    EXPECT_EQ(kv_domain_save_cases(d, "/nonexistent-directory/cases.txt", nodes, nullptr, 1, ",", "*"),
              kv_error_io);
    kv_domain_delete(other);
}

// Files much larger than one part of the streamed input: cases and line
// numbers stay right across the joins, strings continued over a newline
// included.
TEST_F(CaseFileTest, LargeCaseDataReadInParts)
{
    std::string text = "# A B C\n";
    const size_t n = 150000;
    for (size_t i = 0; i < n; ++i) {
        text += std::to_string(i % 7) + " ";
        text += i % 3 ? "\"yes\"" : "\"n\\\no\"";
        text += i % 2 ? " \"lo\" " : " * ";
        text += std::to_string(double(i) / 8) + "\n";
    }
    ASSERT_GT(text.size(), size_t(3) << 20) << "several parts";
    ASSERT_EQ(parse_cases(text), 0);
    ASSERT_EQ(kv_domain_get_number_of_cases(d), n);
    for (size_t i = 0; i < n; i += 997) {
        EXPECT_EQ(kv_domain_get_case_count(d, i), double(i % 7)) << i;
        EXPECT_EQ(kv_node_get_case_state(node("A"), i), i % 3 ? 0u : 1u) << i;
        EXPECT_EQ(kv_node_case_is_set(node("B"), i), i % 2 ? 1 : 0) << i;
        EXPECT_EQ(kv_node_get_case_value(node("C"), i), double(i) / 8) << i;
    }
    // Continued strings make two lines of one case; the bad item is on the
    // last line.
    ASSERT_EQ(parse_cases(text + "1 \"yes\" \"lo\" x\n"), kv_error_parse);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "state labels must be quoted");
    EXPECT_EQ(messages[0].position, 2 + n + (n + 2) / 3);
    EXPECT_EQ(kv_domain_get_number_of_cases(d), n);
}

TEST_F(CaseFileTest, FailedAllocationsAddNoCase)
{
    ASSERT_EQ(kv_domain_set_number_of_cases(d, 1), 0);
    write("# A B C\n2 \"yes\" \"lo\" 1.5\n1 \"no\" * 2\n");
    int failures = 0;
    for (long n = 1; n < 200; ++n) {
        kv::fail_allocation_after(n);
        kv_status_t status = kv_domain_parse_cases(d, file.c_str(), nullptr, nullptr);
        kv::fail_allocation_after(0);
        if (status == 0)
            break;
        ++failures;
        EXPECT_EQ(status, kv_error_no_memory) << n;
        EXPECT_EQ(kv_domain_get_number_of_cases(d), 1u) << n;
    }
    EXPECT_GT(failures, 3);
    EXPECT_EQ(kv_domain_get_number_of_cases(d), 3u);
    EXPECT_EQ(kv_node_get_case_value(node("C"), 2), 2.0);
}
