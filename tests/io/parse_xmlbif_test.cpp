// The XMLBIF reader: every shared network written as XMLBIF by the writer
// here reads back to its NET domain bit for bit; the published Dog-Problem
// form with its prolog, properties, entities and comments; and a message
// with its line for each kind of malformed input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../integration/nets_fixture.h"
#include "exchange_fixture.h"
#include "kelvo.h"

using namespace exchange;

namespace {

std::string escaped(const char *s)
{
    std::string out;
    for (; *s; ++s)
        out += *s == '&' ? "&amp;" : *s == '<' ? "&lt;" : *s == '>' ? "&gt;" : std::string(1, *s);
    return out;
}

std::string write_xmlbif(kv_domain_t d)
{
    std::string out = "<?xml version=\"1.0\"?>\n<BIF VERSION=\"0.3\">\n<NETWORK>\n<NAME>test</NAME>\n";
    std::vector<kv_node_t> nodes = nodes_in_order(d);
    for (kv_node_t n : nodes) {
        out += "<VARIABLE TYPE=\"nature\">\n  <NAME>" + escaped(kv_node_get_name(n)) + "</NAME>\n";
        for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
            out += "  <OUTCOME>" + escaped(kv_node_get_state_label(n, s)) + "</OUTCOME>\n";
        out += "</VARIABLE>\n";
    }
    for (kv_node_t n : nodes) {
        kv_table_t t = kv_node_get_table(n);
        out += "<DEFINITION>\n  <FOR>" + escaped(kv_node_get_name(n)) + "</FOR>\n";
        for (kv_node_t *p = kv_table_get_nodes(t); *p; ++p)
            if (*p != n)
                out += "  <GIVEN>" + escaped(kv_node_get_name(*p)) + "</GIVEN>\n";
        out += "  <TABLE>";
        for (size_t i = 0; i < kv_table_get_size(t); ++i)
            out += (i ? " " : "") + number(kv_table_get_data(t)[i]);
        out += "</TABLE>\n</DEFINITION>\n";
    }
    return out + "</NETWORK>\n</BIF>\n";
}

class SharedXmlbifTest : public ::testing::TestWithParam<nets::fs::path> {};

} // namespace

TEST_P(SharedXmlbifTest, ReadsBackTheNetDomain)
{
    std::string name = GetParam().stem().string();
    kv_domain_t net = kv_net_parse_domain(GetParam().c_str(), nets::no_messages, &name);
    ASSERT_NE(net, nullptr);
    std::string text = write_xmlbif(net);
    Messages m;
    kv_domain_t xml = kv_xmlbif_parse_from_string(text.c_str(), Messages::take, &m);
    ASSERT_NE(xml, nullptr) << name << ": " << (m.got.empty() ? "" : m.got[0].second);
    expect_equal_domains(net, xml, name);
    kv_domain_delete(net);
    kv_domain_delete(xml);
}

INSTANTIATE_TEST_SUITE_P(Shared, SharedXmlbifTest, ::testing::ValuesIn(nets::networks()),
                         [](const auto &info) { return info.param.stem().string(); });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SharedXmlbifTest);

TEST(XmlbifTest, PublishedForm)
{
    const char *text = "<?xml version=\"1.0\" encoding=\"US-ASCII\"?>\n"
                       "<!DOCTYPE BIF [\n"
                       "  <!ELEMENT BIF ( NETWORK )*>\n"
                       "  <!ATTLIST BIF VERSION CDATA #REQUIRED>\n"
                       "]>\n"
                       "<BIF VERSION=\"0.3\">\n"
                       "<NETWORK>\n"
                       "<NAME>Dog-Problem</NAME>\n"
                       "<!-- the variables -->\n"
                       "<VARIABLE TYPE=\"nature\">\n"
                       "  <NAME>light-on</NAME>\n"
                       "  <OUTCOME>true</OUTCOME>\n"
                       "  <OUTCOME>&lt;off&gt; &amp; dark&#x21;</OUTCOME>\n"
                       "  <PROPERTY>position = (218, 195)</PROPERTY>\n"
                       "</VARIABLE>\n"
                       "<VARIABLE TYPE=\"nature\">\n"
                       "  <NAME>family-out</NAME>\n"
                       "  <OUTCOME>true</OUTCOME>\n"
                       "  <OUTCOME>false</OUTCOME>\n"
                       "</VARIABLE>\n"
                       "<DEFINITION>\n"
                       "  <FOR>light-on</FOR>\n"
                       "  <GIVEN>family-out</GIVEN>\n"
                       "  <TABLE>0.6 0.4 0.05 0.95 </TABLE>\n"
                       "</DEFINITION>\n"
                       "<PROBABILITY>\n"
                       "  <FOR>family-out</FOR>\n"
                       "  <TABLE>\n 0.15\n 0.85\n </TABLE>\n"
                       "</PROBABILITY>\n"
                       "</NETWORK>\n"
                       "</BIF>\n";
    Messages m;
    kv_domain_t d = kv_xmlbif_parse_from_string(text, Messages::take, &m);
    ASSERT_NE(d, nullptr) << (m.got.empty() ? "" : m.got[0].second);
    std::vector<kv_node_t> n = nodes_in_order(d);
    ASSERT_EQ(n.size(), 2u);
    EXPECT_STREQ(kv_node_get_name(n[0]), "light_on");
    EXPECT_STREQ(kv_node_get_label(n[0]), "light-on");
    EXPECT_STREQ(kv_node_get_state_label(n[0], 1), "<off> & dark!");
    EXPECT_STREQ(kv_node_get_name(n[1]), "family_out");
    const double *light = kv_table_get_data(kv_node_get_table(n[0]));
    EXPECT_EQ(std::vector<double>(light, light + 4), (std::vector<double>{0.6, 0.4, 0.05, 0.95}));
    const double *family = kv_table_get_data(kv_node_get_table(n[1]));
    EXPECT_EQ(std::vector<double>(family, family + 2), (std::vector<double>{0.15, 0.85}));
    kv_domain_delete(d);
}

TEST(XmlbifTest, MalformedInputs)
{
    const std::string var = "<VARIABLE><NAME>a</NAME><OUTCOME>y</OUTCOME><OUTCOME>n</OUTCOME></VARIABLE>\n";
    std::vector<Malformed> cases = {
        {"", 1, "an element expected"},
        {"<BIF>\n<NETWORK>\n</NETWORK>\n</BIF>", 4, "no variables"},
        {"<HTML></HTML>", 1, "<BIF> expected, not <HTML>"},
        {"<BIF>\n<NETWORK>\n</BIF>", 3, "</BIF> closes <NETWORK> of line 2"},
        {"<BIF><NETWORK>\n<!-- open", 2, "comment not closed"},
        {"<BIF a=1>", 1, "a quoted value expected for attribute A"},
        {"<BIF><NETWORK>" + var + "<DEFINITION><FOR>a</FOR><TABLE>1 0 x</TABLE></DEFINITION></NETWORK></BIF>", 2,
         "`x' is not a number"},
        {"<BIF><NETWORK>" + var + "<DEFINITION><FOR>a</FOR><TABLE>1</TABLE></DEFINITION></NETWORK></BIF>", 2,
         "the table of `a' needs 2 numbers, not 1"},
        {"<BIF><NETWORK>\n<VARIABLE TYPE=\"decision\"><NAME>d</NAME></VARIABLE></NETWORK></BIF>", 2,
         "variables of type `decision' are not supported"},
        {"<BIF><NETWORK>\n<VARIABLE><OUTCOME>y</OUTCOME></VARIABLE></NETWORK></BIF>", 2, "<VARIABLE> without <NAME>"},
        {"<BIF><NETWORK>" + var + var + "</NETWORK></BIF>", 2, "variable `a' declared twice"},
        {"<BIF><NETWORK>\n<VARIABLE><NAME>b</NAME></VARIABLE></NETWORK></BIF>", 2, "variable `b' has no states"},
        {"<BIF><NETWORK>" + var + "<DEFINITION><FOR>a</FOR><GIVEN>z</GIVEN><TABLE>1 0</TABLE></DEFINITION>"
                                  "</NETWORK></BIF>",
         2, "variable `z' not declared"},
        {"<BIF><NETWORK><NAME>&nbsp;</NAME>", 1, "unknown entity `&nbsp;'"},
        {"<BIF></BIF> trailing", 1, "text after the document element"},
    };
    expect_one_message(cases, kv_xmlbif_parse_from_string);
    // Deep nesting is refused, not followed down the stack.
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<A>";
    Messages m;
    EXPECT_EQ(kv_xmlbif_parse_from_string(deep.c_str(), Messages::take, &m), nullptr);
    ASSERT_EQ(m.got.size(), 1u);
    EXPECT_EQ(m.got[0].second, "elements nested too deeply");
}
