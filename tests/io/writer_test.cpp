#include <gtest/gtest.h>

#include <cfloat>
#include <string>

#include "io/writer.h"
#include "kelvo.h"

namespace {

std::string quoted(const char *text)
{
    std::string out;
    _kv_write_string(out, text);
    return out;
}

std::string number(double v, const char *format = "%G")
{
    std::string out;
    _kv_write_number(out, v, format);
    return out;
}

std::string state_value(double v)
{
    std::string out;
    _kv_write_state_value(out, v);
    return out;
}

} // namespace

TEST(WriterTest, StringsEscapeWhatTheReaderWouldMisread)
{
    EXPECT_EQ(quoted("plain text"), "\"plain text\"");
    EXPECT_EQ(quoted("a\tb\"c\\d\ne\rf"), "\"a\\tb\\\"c\\\\d\\ne\\rf\"");
    // Octal: padded to three digits only when an octal digit follows.
    EXPECT_EQ(quoted("\x01" "7"), "\"\\0017\"");
    EXPECT_EQ(quoted("\x01" "8"), "\"\\18\"");
    EXPECT_EQ(quoted("\x01z\x7f"), "\"\\1z\\177\"");
    EXPECT_EQ(quoted("\xe9t\xe9"), "\"\\351t\\351\"");
    EXPECT_EQ(quoted(""), "\"\"");
}

TEST(WriterTest, NumbersReadBackExactlyInTheShortestForm)
{
    // What the six-digit form prints exactly stays as it is.
    EXPECT_EQ(number(0.1), "0.1");
    EXPECT_EQ(number(0.333333), "0.333333");
    EXPECT_EQ(number(0), "0");
    EXPECT_EQ(number(-0.0), "-0");
    EXPECT_EQ(number(999999), "999999");
    EXPECT_EQ(number(-42), "-42");
    EXPECT_EQ(number(1e6), "1E+06");
    EXPECT_EQ(number(1.5e-7), "1.5E-07");
    EXPECT_EQ(number(1e21), "1E+21");
    // Otherwise the fewest of fifteen, sixteen or seventeen digits.
    EXPECT_EQ(number(123456789), "123456789");
    EXPECT_EQ(number(1000001), "1000001");
    EXPECT_EQ(number(1234567.5), "1234567.5");
    EXPECT_EQ(number(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(number(1.0 / 3), "0.3333333333333333");
    EXPECT_EQ(number(2.0 / 3 * 1e-300), "6.666666666666667E-301");
    EXPECT_EQ(number(DBL_MAX), "1.7976931348623157E+308");
    // State values start from eight digits.
    EXPECT_EQ(number(12345678, "%.8G"), "12345678");
    EXPECT_EQ(number(0.12345678, "%.8G"), "0.12345678");
    EXPECT_EQ(number(123456789, "%.8G"), "123456789");
    EXPECT_EQ(state_value(DBL_MAX), "infinity");
    EXPECT_EQ(state_value(-DBL_MAX), "-infinity");
    EXPECT_EQ(state_value(2.5), "2.5");
}

TEST(WriterTest, StateIdentificationBySubtype)
{
    kv_domain_t d = kv_net_parse_from_string(R"(
node L { states = ("red" "" "blue"); }
node N { states = ("" ""); subtype = number; state_values = (1.5 100000000); }
node I { states = ("" ""); subtype = interval; state_values = (-infinity 0 infinity); }
node B { states = ("" ""); subtype = boolean; }
node P { states = ("" ""); subtype = number; }
)",
                                             nullptr);
    ASSERT_NE(d, nullptr);
    auto id = [&](const char *name, size_t s) {
        std::string out;
        _kv_write_state_identification(out, kv_domain_get_node_by_name(d, name), s);
        return out;
    };
    EXPECT_EQ(id("L", 0), "red");
    EXPECT_EQ(id("L", 1), "<1>");
    EXPECT_EQ(id("N", 0), "1.5");
    EXPECT_EQ(id("N", 1), "1E+08");
    EXPECT_EQ(id("I", 0), "interval(-infinity,0)");
    EXPECT_EQ(id("I", 1), "interval(0,infinity)");
    EXPECT_EQ(id("B", 0), "false");
    EXPECT_EQ(id("B", 1), "true");
    EXPECT_EQ(id("P", 1), "<1>");
    kv_domain_delete(d);
}
