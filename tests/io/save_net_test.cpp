// The NET writer: the exact layout, and round trips through the reader.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/attribute.h"
#include "core/domain.h"
#include "kelvo.h"
#include "domain_compare.h"
#include "table/table.h"

namespace {

using kv_test::expect_same_domain;

std::string path_of(const std::string &name)
{
    return ::testing::TempDir() + "save_net_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" + name;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The text the writer gives for a domain.
std::string text_of(kv_domain_t d)
{
    std::string path = path_of("out.net");
    EXPECT_EQ(kv_domain_save_as_net(d, path.c_str()), 0) << kv_error_name(kv_error_code());
    return read_file(path);
}

kv_domain_t parse(const std::string &text)
{
    kv_domain_t d = kv_net_parse_from_string(text.c_str(), nullptr);
    EXPECT_NE(d, nullptr) << text;
    return d;
}

// The text of the potential of one node, as the writer puts it.
std::string potential_of(const std::string &text, const std::string &head)
{
    size_t at = text.find("\npotential (" + head);
    if (at == std::string::npos)
        return "";
    size_t end = text.find("\n}\n", at);
    size_t one_line = text.find("{}\n", at);
    if (one_line != std::string::npos && one_line < end)
        return text.substr(at, one_line + 3 - at);
    return text.substr(at, end + 3 - at);
}

const char *two = "node A { states = (\"y\" \"n\"); }\nnode B { states = (\"y\" \"n\"); }\n";

TEST(SaveNetTest, ThePotentialLayout)
{
    kv_domain_t d = parse(std::string(two) + "potential (A) { data = (0.5 0.5); }\n"
                                             "potential (B | A) { data = (0.1 0.9 0.2 0.8); }\n");
    std::string text = text_of(d);
    EXPECT_EQ(potential_of(text, "B"), "\npotential (B | A)\n{\n    data\n     = (( 0.1 0.9 )\t%  A=y\n"
                                       "\t( 0.2 0.8 ));\t%  A=n\n}\n");
    EXPECT_EQ(potential_of(text, "A"), "\npotential (A)\n{\n    data = ( 0.5 0.5 );\n}\n");
    EXPECT_EQ(text.substr(0, 40), "net\n{\n    node_size = (0 0);\n}\n\nnode A\n{");
    EXPECT_STREQ(kv_domain_get_file_name(d), path_of("out.net").c_str());
    EXPECT_EQ(kv_domain_delete(d), 0);
}

TEST(SaveNetTest, UtilityDecisionExperienceAndModels)
{
    kv_domain_t d = parse(std::string(two) +
                          "decision D { states = (\"go\" \"stay\"); }\nutility U {}\n"
                          "node N { states = (\"0\" \"1\" \"2\"); subtype = number; state_values = (0.1 2 123456789); }\n"
                          "node M { states = (\"lo\" \"hi\"); }\n"
                          "potential (A) { data = (0.5 0.5); experience = (3); }\n"
                          "potential (B | A) { data = (0.1 0.9 0.2 0.8); experience = (1 2); fading = (1 0.5); }\n"
                          "potential (D | A B) {}\n"
                          "potential (U | A B) { data = (1 2 3 4); }\n"
                          "potential (N | A) { model_nodes = (); model_data = (Poisson (2.5)); }\n"
                          "potential (M | A) { model_nodes = (A); samples_per_interval = 7;"
                          " model_data = (Distribution (0.25, 0.75), Distribution (1, 3)); data = (0.25 0.75 0.25 0.75); }\n");
    std::string text = text_of(d);
    EXPECT_EQ(potential_of(text, "D"), "\npotential (D | A B) {}\n");
    EXPECT_EQ(potential_of(text, "U"), "\npotential (U | A B)\n{\n    data\n     = (( 1\t%  A=y  B=y\n"
                                       "\t  2 )\t%  A=y  B=n\n\t( 3\t%  A=n  B=y\n\t  4 ));\t%  A=n  B=n\n}\n");
    EXPECT_EQ(potential_of(text, "A"), "\npotential (A)\n{\n    data = ( 0.5 0.5 );\n    experience = 3;\n}\n");
    EXPECT_EQ(potential_of(text, "B"),
              "\npotential (B | A)\n{\n    data\n     = (( 0.1 0.9 )\t%  A=y\n\t( 0.2 0.8 ));\t%  A=n\n"
              "    experience\n     = ( 1\t%  A=y\n\t 2 );\t%  A=n\n"
              "    fading\n     = ( 1\t%  A=y\n\t 0.5 );\t%  A=n\n}\n");
    // A model not yet generated: no data.
    EXPECT_EQ(potential_of(text, "N"), "\npotential (N | A)\n{\n    model_nodes = ();\n"
                                       "    model_data = ( Poisson (2.5) );\n}\n");
    EXPECT_EQ(potential_of(text, "M"),
              "\npotential (M | A)\n{\n    model_nodes = (A);\n    samples_per_interval = 7;\n"
              "    model_data\n\t    = ( Distribution (0.25, 0.75),\n\t\tDistribution (1, 3) );\n"
              "    data\n     = (( 0.25 0.75 )\t%  A=y\n\t( 0.25 0.75 ));\t%  A=n\n}\n");
    EXPECT_NE(text.find("\nnode N\n{\n    states = (\"0\" \"1\" \"2\");\n    subtype = number;\n"
                        "    state_values = (0.1 2 123456789);\n}\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nnode M\n{\n    states = (\"lo\" \"hi\");\n    subtype = label;\n}\n"),
              std::string::npos); // a model asks for the subtype
    EXPECT_EQ(kv_domain_delete(d), 0);
}

TEST(SaveNetTest, StringsNumbersAndNames)
{
    kv_domain_t d = kv_new_domain();
    kv_node_t x = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    ASSERT_EQ(kv_node_set_name(x, "X"), 0);
    ASSERT_EQ(kv_node_set_number_of_states(x, 2), 0);
    ASSERT_EQ(kv_node_set_label(x, "a\tb\"c\0017d\001e"), 0);
    ASSERT_EQ(kv_node_set_subtype(x, kv_subtype_interval), 0);
    ASSERT_EQ(kv_node_set_state_value(x, 0, -DBL_MAX), 0);
    ASSERT_EQ(kv_node_set_state_value(x, 1, 0.1), 0);
    ASSERT_EQ(kv_node_set_state_value(x, 2, DBL_MAX), 0);
    ASSERT_EQ(kv_node_set_position(x, -3, 4), 0);
    double *t = kv_table_get_data(kv_node_get_table(x));
    t[0] = 123456789;
    t[1] = 1.0 / 3;
    kv_node_t bad = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    bad->name = static_cast<char *>(std::malloc(3));
    std::strcpy(bad->name, "1x"); // as a file of another program might name it
    std::string text = text_of(d);
    EXPECT_NE(text.find("    label = \"a\\tb\\\"c\\0017d\\1e\";\n"), std::string::npos) << text;
    EXPECT_NE(text.find("    position = (-3 4);\n"), std::string::npos);
    EXPECT_NE(text.find("    state_values = (-infinity 0.1 infinity);\n"), std::string::npos);
    EXPECT_NE(text.find("    data = ( 123456789 0.3333333333333333 );\n"), std::string::npos) << text;
    EXPECT_STREQ(kv_node_get_name(bad), "_x");
    EXPECT_NE(text.find("\nnode _x\n"), std::string::npos);
    // What was written reads back to the same numbers.
    kv_domain_t back = kv_net_parse_domain(path_of("out.net").c_str(), nullptr, nullptr);
    ASSERT_NE(back, nullptr);
    double *u = kv_table_get_data(kv_node_get_table(kv_domain_get_node_by_name(back, "X")));
    EXPECT_EQ(u[0], 123456789.0);
    EXPECT_EQ(u[1], 1.0 / 3);
    EXPECT_EQ(kv_domain_delete(back), 0);

    // Numbers no reader takes back fail the save.
    t[1] = NAN;
    EXPECT_EQ(kv_domain_save_as_net(d, path_of("nan.net").c_str()), kv_error_format);
    t[1] = INFINITY;
    EXPECT_EQ(kv_domain_save_as_net(d, path_of("inf.net").c_str()), kv_error_format);
    t[1] = 0.5;
    // The object's own file name may be passed.
    ASSERT_EQ(kv_domain_save_as_net(d, kv_domain_get_file_name(d)), 0);
    EXPECT_STREQ(kv_domain_get_file_name(d), path_of("out.net").c_str());
    // Output failures are io.
    EXPECT_EQ(kv_domain_save_as_net(d, "/nonexistent/x.net"), kv_error_io);
    FILE *full = std::fopen("/dev/full", "w");
    if (full) {
        EXPECT_EQ(kv_domain_write_net(d, full), kv_error_io);
        std::fclose(full);
    }
    EXPECT_EQ(kv_domain_write_net(d, nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_save_as_net(nullptr, "x"), kv_error_usage);
    EXPECT_EQ(kv_domain_delete(d), 0);
}

TEST(SaveNetTest, CommentsEscapeControlCharacters)
{
    kv_domain_t d = parse("node A { states = (\"one\\nline\" \"tab\\there\"); }\n"
                          "node B { states = (\"y\" \"n\"); }\n"
                          "potential (B | A) { data = (0.1 0.9 0.2 0.8); }\n");
    std::string text = text_of(d);
    EXPECT_EQ(potential_of(text, "B"), "\npotential (B | A)\n{\n    data\n     = (( 0.1 0.9 )\t%  A=one\\012line\n"
                                       "\t( 0.2 0.8 ));\t%  A=tab\\011here\n}\n");
    kv_domain_t back = kv_net_parse_domain(path_of("out.net").c_str(), nullptr, nullptr);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(kv_node_get_state_label(kv_domain_get_node_by_name(back, "A"), 0), "one\nline");
    EXPECT_EQ(kv_domain_delete(back), 0);
    EXPECT_EQ(kv_domain_delete(d), 0);
}

TEST(SaveNetTest, ConditionalGaussianAndChainPotentials)
{
    kv_domain_t d = parse("node S { states = (\"a\" \"b\"); }\ncontinuous node U {}\ncontinuous node V {}\n"
                          "node P { states = (\"lo\" \"hi\"); }\nnode A { states = (\"x\" \"y\"); }\n"
                          "node B { states = (\"x\" \"y\"); }\n"
                          "potential (S) { data = (0.4 0.6); }\npotential (U) { data = (normal (0, 1)); }\n"
                          "potential (V | S U) { data = (normal (1 + 0.5 * U, 2) normal (-1 - U, 1)); }\n"
                          "potential (P) { data = (0.4 0.6); }\n"
                          "potential (A B | P) { data = (4 1 2 3 1 2 3 2); }\n");
    std::string text = text_of(d);
    EXPECT_EQ(potential_of(text, "U"), "\npotential (U)\n{\n    data = normal ( 0, 1 );\n}\n");
    EXPECT_EQ(potential_of(text, "V"), "\npotential (V | S U)\n{\n    data\n     = ( normal ( 1 + 0.5 * U, 2 )\t%  S=a\n"
                                       "\t normal ( -1 - U, 1 ) );\t%  S=b\n}\n");
    EXPECT_EQ(potential_of(text, "A B"), "\npotential (A B | P)\n{\n    data = ((( 4 1 )\t%  P=lo  A=x\n"
                                         "\t ( 2 3 ))\t%  P=lo  A=y\n\t(( 1 2 )\t%  P=hi  A=x\n"
                                         "\t ( 3 2 )));\t%  P=hi  A=y\n}\n");
    EXPECT_EQ(potential_of(text, "A |"), ""); // said by the chain potential
    EXPECT_EQ(kv_domain_delete(d), 0);
}

TEST(SaveNetTest, ClassesAndCollections)
{
    const char *text = R"(class Sensor {
  inputs = (truth);
  outputs = (out1 out2);
  author = "lab";
  node truth { states = ("off" "on"); }
  node out1 { states = ("low" "high"); label = "Reading"; }
  node out2 { states = ("no" "yes"); }
  potential (truth) { data = (0.5 0.5); }
  potential (out1 | truth) { data = (0.9 0.1 0.2 0.8); }
  potential (out2 | out1) { data = (1 0 0 1); }
}
class Plant {
  instance I1 : Sensor (truth = state; y = out1) { label = "first"; position = (-5 7); kind = "probe"; }
  instance I2 : Sensor (truth = I1.out2) {}
  node reading { states = ("a" "b"); }
  potential (reading | y I2.out2) { data = (0.1 0.9 0.2 0.8 0.3 0.7 0.4 0.6); }
  node state { states = ("off" "on"); }
  potential (state) { data = (0.3 0.7); }
  outputs = (I2.out1);
}
)";
    write_file(path_of("in.net"), text);
    kv_class_collection_t cc = kv_new_class_collection();
    ASSERT_EQ(kv_net_parse_classes(path_of("in.net").c_str(), cc, nullptr, nullptr, nullptr), 0);
    // Members in the order Plant, Sensor would be written Sensor first.
    kv_class_t plant = kv_cc_get_class_by_name(cc, "Plant");
    ASSERT_EQ(kv_cc_save_as_net(cc, path_of("first.net").c_str()), 0);
    std::string first = read_file(path_of("first.net"));
    EXPECT_STREQ(kv_class_get_file_name(plant), path_of("first.net").c_str());
    EXPECT_LT(first.find("class Sensor\n"), first.find("} % class Sensor\n\nclass Plant\n"));
    EXPECT_NE(first.find("\n    instance I1 : Sensor (truth = state; y = out1, I1_out2 = out2)\n    {\n"
                         "\tlabel = \"first\";\n\tposition = (-5 7);\n\tkind = \"probe\";\n    }\n"),
              std::string::npos)
        << first;
    EXPECT_NE(first.find("class Plant\n{\n    inputs = ();\n    outputs = (I2_out1);\n    node_size = (0 0);\n"),
              std::string::npos);
    EXPECT_NE(first.find("\n    potential (out1 | truth)\n    {\n\tdata\n = (( 0.9 0.1 )\t%  truth=off\n"
                         "\t\t( 0.2 0.8 ));\t%  truth=on\n    }\n"),
              std::string::npos);

    // parse -> save -> parse -> save is byte for byte the same.
    kv_class_collection_t again = kv_new_class_collection();
    ASSERT_EQ(kv_net_parse_classes(path_of("first.net").c_str(), again, nullptr, nullptr, nullptr), 0);
    ASSERT_EQ(kv_cc_save_as_net(again, path_of("second.net").c_str()), 0);
    EXPECT_EQ(read_file(path_of("second.net")), first);
    kv_class_t plant2 = kv_cc_get_class_by_name(again, "Plant");
    kv_node_t i2 = kv_class_get_node_by_name(plant2, "I2");
    kv_class_t sensor2 = kv_cc_get_class_by_name(again, "Sensor");
    EXPECT_EQ(kv_node_get_input(i2, kv_class_get_node_by_name(sensor2, "truth")),
              kv_class_get_node_by_name(plant2, "I1_out2"));

    // One class alone.
    ASSERT_EQ(kv_class_save_as_net(plant2, path_of("plant.net").c_str()), 0);
    std::string alone = read_file(path_of("plant.net"));
    EXPECT_EQ(alone.substr(0, 12), "class Plant\n");
    EXPECT_EQ(alone.substr(alone.size() - 16), "} % class Plant\n");
    EXPECT_EQ(kv_class_save_as_net(nullptr, "x"), kv_error_usage);
    EXPECT_EQ(kv_cc_save_as_net(nullptr, "x"), kv_error_usage);
    EXPECT_EQ(kv_cc_delete(again), 0);
    EXPECT_EQ(kv_cc_delete(cc), 0);
}

// ---------------------------------------------------------------------------
// Round trips over real networks: the domain read back equals the first in
// every structure, name, state and number, and its text is the same.

TEST(SaveNetTest, SharedNetworksRoundTrip)
{
    int checked = 0;
    for (std::string dir : {std::string(KELVO_SHARED_DIR) + "/nets", std::string(KELVO_SHARED_DIR) + "/nets/small"}) {
        DIR *listing = opendir(dir.c_str());
        if (!listing)
            continue;
        std::vector<std::string> files;
        while (dirent *e = readdir(listing)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".net")
                files.push_back(dir + "/" + name);
        }
        closedir(listing);
        for (const std::string &file : files) {
            SCOPED_TRACE(file);
            kv_domain_t a = kv_net_parse_domain(file.c_str(), nullptr, nullptr);
            ASSERT_NE(a, nullptr);
            std::string once = path_of("once.net"), twice = path_of("twice.net");
            ASSERT_EQ(kv_domain_save_as_net(a, once.c_str()), 0);
            kv_domain_t b = kv_net_parse_domain(once.c_str(), nullptr, nullptr);
            ASSERT_NE(b, nullptr);
            expect_same_domain(a, b);
            ASSERT_EQ(kv_domain_save_as_net(b, twice.c_str()), 0);
            EXPECT_EQ(read_file(once), read_file(twice));
            kv_domain_delete(a);
            kv_domain_delete(b);
            ++checked;
        }
    }
    if (!checked)
        GTEST_SKIP() << "no shared networks here";
}

} // namespace
