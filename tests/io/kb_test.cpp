// KB files: the byte layout, round trips of every construct and state, the
// password, and a reader that refuses every malformed file with its code.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

#include <zlib.h>

using namespace std::string_literals;

#include "compile/compile.h"
#include "core/chain_block.h"
#include "domain_compare.h"
#include "expr/expression.h"
#include "io/kb.h"
#include "core/memory.h"
#include "kelvo.h"

namespace {

using kv_test::expect_same_domain;

std::string path_of(const std::string &name)
{
    return ::testing::TempDir() + "kb_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           name;
}

// The uncompressed stream of a gzip file.
std::string gunzip(const std::string &path)
{
    gzFile f = gzopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    std::string out;
    char buffer[1 << 16];
    int n;
    while ((n = gzread(f, buffer, sizeof buffer)) > 0)
        out.append(buffer, size_t(n));
    gzclose(f);
    return out;
}

void gzip_to(const std::string &path, const std::string &bytes)
{
    gzFile f = gzopen(path.c_str(), "wb1");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(gzwrite(f, bytes.data(), unsigned(bytes.size())), int(bytes.size()));
    }
    gzclose(f);
}

void write_raw(const std::string &path, const std::string &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// The error code of loading these bytes as a gzipped KB stream.
int load_error(const std::string &bytes, const char *password = nullptr)
{
    std::string path = path_of("bad.kb");
    gzip_to(path, bytes);
    kv_domain_t d = kv_kb_load_domain(path.c_str(), password);
    if (d) {
        kv_domain_delete(d);
        return 0;
    }
    return kv_error_code();
}

kv_domain_t parse(const std::string &text)
{
    kv_domain_t d = kv_net_parse_from_string(text.c_str(), nullptr);
    EXPECT_NE(d, nullptr) << text;
    return d;
}

kv_domain_t save_and_load(kv_domain_t d, int order = 2, const char *password = nullptr)
{
    std::string path = path_of("round.kb");
    if (password) {
        EXPECT_EQ(kv_domain_save_as_kb(d, path.c_str(), password), 0) << kv_error_name(kv_error_code());
    } else {
        EXPECT_EQ(kv_domain_save(d, path.c_str(), order), 0) << kv_error_name(kv_error_code());
    }
    kv_domain_t back = kv_kb_load_domain(path.c_str(), password);
    EXPECT_NE(back, nullptr) << kv_error_name(kv_error_code());
    return back;
}

// The parts of two domains that the NET comparison does not reach: child
// order, models, evidence, chain blocks, triangulation and compiled state.
void expect_same_state(kv_domain_t a, kv_domain_t b)
{
    expect_same_domain(a, b);
    size_t wa = 0, ha = 0, wb = 0, hb = 0;
    kv_domain_get_node_size(a, &wa, &ha);
    kv_domain_get_node_size(b, &wb, &hb);
    EXPECT_EQ(wa, wb);
    EXPECT_EQ(ha, hb);
    const kv_attribute_s *x = a->attributes, *y = b->attributes;
    for (; x && y; x = x->next, y = y->next) {
        EXPECT_STREQ(x->key, y->key);
        EXPECT_STREQ(x->value, y->value);
    }
    EXPECT_EQ(x == nullptr, y == nullptr);
    EXPECT_EQ(kv_domain_is_compiled(a), kv_domain_is_compiled(b));
    EXPECT_EQ(kv_domain_is_triangulated(a), kv_domain_is_triangulated(b));
    EXPECT_EQ(a->number_of_cliques, b->number_of_cliques);
    for (kv_node_t m = a->first_node, n = b->first_node; m && n; m = m->next, n = n->next) {
        const char *name = m->name;
        ASSERT_EQ(m->index, n->index) << name;
        size_t k = 0;
        for (; m->children && m->children[k]; ++k)
            ASSERT_EQ(m->children[k]->index, n->children[k]->index) << name;
        EXPECT_EQ(n->children ? n->children[k] : nullptr, nullptr) << name;
        EXPECT_EQ(m->label == nullptr, n->label == nullptr) << name;
        EXPECT_EQ(m->elimination_number, n->elimination_number) << name;
        if (m->model) {
            ASSERT_NE(n->model, nullptr);
            EXPECT_EQ(m->model->samples_per_interval, n->model->samples_per_interval) << name;
            EXPECT_EQ(m->model->touched, n->model->touched) << name;
            size_t size = kv_model_get_size(m->model);
            ASSERT_EQ(size, kv_model_get_size(n->model)) << name;
            for (size_t i = 0; i < size; ++i) {
                kv_expression_t e = kv_model_get_expression(m->model, i), f = kv_model_get_expression(n->model, i);
                ASSERT_EQ(e == nullptr, f == nullptr) << name;
                if (!e)
                    continue;
                char *s = kv_expression_to_string(e), *t = kv_expression_to_string(f);
                EXPECT_STREQ(s, t) << name;
                std::free(s);
                std::free(t);
            }
        }
        if (m->kind == kv_kind_continuous) {
            EXPECT_EQ(m->value_entered, n->value_entered) << name;
            if (m->value_entered) {
                EXPECT_EQ(m->entered_value, n->entered_value) << name;
            }
        } else if (m->category != kv_category_utility) {
            EXPECT_EQ(_kv_node_evidence_is_entered(m), _kv_node_evidence_is_entered(n)) << name;
            if (_kv_node_evidence_is_entered(m)) {
                for (size_t s = 0; s < m->number_of_states; ++s)
                    EXPECT_EQ(m->entered_finding[s], n->entered_finding[s]) << name;
            }
        }
    }
    const kv_chain_block_s *p = a->chain_blocks, *q = b->chain_blocks;
    for (; p && q; p = p->next, q = q->next) {
        size_t i = 0;
        for (; p->nodes[i]; ++i)
            ASSERT_EQ(p->nodes[i]->index, q->nodes[i]->index);
        EXPECT_EQ(q->nodes[i], nullptr);
        for (i = 0; p->potentials[i]; ++i)
            kv_test::expect_same_table(p->potentials[i], q->potentials[i], "chain potential");
        EXPECT_EQ(q->potentials[i], nullptr);
    }
    EXPECT_EQ(p == nullptr, q == nullptr);
}

// After propagating both: every belief, mean, variance and expected utility
// and the probability of the evidence are bitwise the same.
void expect_same_beliefs(kv_domain_t a, kv_domain_t b)
{
    int status = kv_domain_propagate(a, kv_equilibrium_sum, kv_mode_normal);
    ASSERT_EQ(kv_domain_propagate(b, kv_equilibrium_sum, kv_mode_normal), status);
    if (status)
        return; // evidence that the network rules out
    EXPECT_EQ(kv_domain_get_normalization_constant(a), kv_domain_get_normalization_constant(b));
    for (kv_node_t m = a->first_node, n = b->first_node; m && n; m = m->next, n = n->next) {
        if (m->category == kv_category_utility) {
            EXPECT_EQ(kv_node_get_expected_utility(m, 0), kv_node_get_expected_utility(n, 0)) << m->name;
            continue;
        }
        if (m->kind == kv_kind_continuous) {
            EXPECT_EQ(kv_node_get_mean(m), kv_node_get_mean(n)) << m->name;
            EXPECT_EQ(kv_node_get_variance(m), kv_node_get_variance(n)) << m->name;
            continue;
        }
        for (size_t s = 0; s < m->number_of_states; ++s) {
            EXPECT_EQ(kv_node_get_belief(m, s), kv_node_get_belief(n, s)) << m->name << " " << s;
            if (m->category == kv_category_decision) {
                EXPECT_EQ(kv_node_get_expected_utility(m, s), kv_node_get_expected_utility(n, s)) << m->name;
            }
        }
    }
}

// Every construct the format holds.
const char *everything = R"(net
{
    node_size = (127 32640);
    author = "someone";
    version = "1";
}
node A { label = ""; position = (10 -20); states = ("a0" "a1" "a2"); colour = "red"; shape = "box"; }
node B { label = "the B"; states = ("y" "n"); }
node N { states = ("0" "1" "2"); subtype = number; state_values = (0 1 2); }
node I { states = ("lo" "hi"); subtype = interval; state_values = (-infinity 0.5 infinity); }
node T { states = ("false" "true"); subtype = boolean; }
node M { states = ("m0" "m1"); }
node P { states = ("p0" "p1"); }
node X { states = ("x0" "x1"); }
node Y { states = ("y0" "y1"); }
potential (A) { data = (0.2 0.3 0.5); experience = (3); }
potential (B | A) { data = (0.1 0.9 0.2 0.8 0.3 0.7); experience = (1 2 3); fading = (1 0.5 0.25); }
potential (N | A) { model_nodes = (); model_data = (Binomial (2, 0.25)); }
potential (I | B) { model_nodes = (B); samples_per_interval = 7;
                    model_data = (Normal (0, 1), Normal (1 + 2, 0.5)); data = (0.5 0.5 0.25 0.75); }
potential (T | B) { model_nodes = (B); model_data = (Distribution (if (B == "y", 0.25, 0.5), 0.75), Distribution (1, 3)); }
potential (M | T) { data = (0.6 0.4 0.3 0.7); }
potential (P) { data = (0.4 0.6); }
potential (X Y | P) { data = (4 1 2 3 1 2 3 2); }
)";

const char *influence = R"(
node R { states = ("dry" "wet"); }
decision D { states = ("go" "stay"); }
node F { states = ("sun" "rain"); }
utility U {}
potential (R) { data = (0.7 0.3); }
potential (F | R) { data = (0.8 0.2 0.3 0.7); }
potential (D | F) {}
potential (U | D R) { model_nodes = (D); model_data = (if (R == "dry", 10, -5), 1); data = (10 -5 1 1); }
)";

const char *gaussian = R"(
node S { states = ("a" "b"); }
continuous node C {}
continuous node V {}
node Q { states = ("q0" "q1"); }
potential (S) { data = (0.4 0.6); }
potential (Q) { data = (0.5 0.5); }
potential (C | Q) { data = (normal (0, 1) normal (1, 2)); }
potential (V | S C) { data = (normal (1 + 0.5 * C, 2) normal (-1 - C, 1)); }
)";

// ---------------------------------------------------------------------------
// The byte layout.

TEST(KbTest, HeaderAndSizeEncoding)
{
    kv_domain_t d = kv_new_domain();
    ASSERT_EQ(kv_domain_set_node_size(d, 127, 128), 0);
    std::string path = path_of("empty.kb");
    ASSERT_EQ(kv_domain_save_as_kb(d, path.c_str(), nullptr), 0);
    EXPECT_STREQ(kv_domain_get_file_name(d), path.c_str());
    std::string s = gunzip(path);
    // magic, version 9, little-endian, type sizes; five counts, two flags;
    // 127 in one byte, 128 as 128 0; no attributes, no chain potentials.
    EXPECT_EQ(s, "\x7D\0\x09\x02\x04\x08\x08\x01\x02\x04"
                 "\0\0\0\0\0\0\0\x7F\x80\0\0\0"s);
    ASSERT_EQ(kv_domain_set_node_size(d, 32639, 32640), 0);
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 1), 0);
    s = gunzip(path);
    // Big-endian: the 4-byte integer after 255 is byte-reversed.
    EXPECT_EQ(s, "\x7D\0\x09\x01\x04\x08\x08\x01\x02\x04"
                 "\0\0\0\0\0\0\0\xFE\xFF\xFF\0\0\x7F\x80\0\0"s);
    ASSERT_EQ(kv_domain_save(d, nullptr, 0), 0);
    s = gunzip(path);
    EXPECT_EQ(s.substr(17), "\xFE\xFF\xFF\x80\x7F\0\0\0\0"s);
    ASSERT_EQ(kv_domain_save_as_kb(d, path.c_str(), "pw"), 0);
    s = gunzip(path);
    EXPECT_EQ(s[2], '\x0A');
    // The password follows the node records (none here): its length and
    // the scrambled bytes.
    kv::kb::Scrambler scramble(2);
    unsigned char p = scramble.next('p'), w = scramble.next('w');
    EXPECT_EQ(s.substr(25), "\x02"s + char(p) + char(w) + "\0"s);
    kv_domain_delete(d);
}

// The Park-Miller sequence in Schrage's form, against its direct 64-bit
// computation.
TEST(KbTest, PasswordScrambling)
{
    for (size_t length : {size_t(0), size_t(1), size_t(7), size_t(44488), size_t(2147483646)}) {
        kv::kb::Scrambler s(length);
        int64_t r = int64_t(length);
        for (int c = 0; c < 256; ++c) {
            r = (r * 48271) % 2147483647;
            int64_t v = (c + r) % 161;
            EXPECT_EQ(s.next(static_cast<unsigned char>(c)), v > 31 ? v + 95 : v);
        }
    }
}

TEST(KbTest, EvidenceRecords)
{
    kv_domain_t d = parse("node A { states = (\"a\" \"b\" \"c\"); }\n");
    kv_node_t a = kv_domain_get_node_by_name(d, "A");
    std::string path = path_of("evidence.kb");
    // After the header (20 bytes: one node, no table yet): category, kind,
    // name, label (none), position, attributes, states, subtype, the label
    // flag and labels, the value flag; then the evidence, and after it the
    // end of the chain potentials and the structure record (7 bytes).
    const std::string record = "\x07\0\x02" "A" "\0" "\0\0\0\0\0\0\0\0" "\0"
                               "\x03\x1E\x01" "\x02" "a" "\x02" "b" "\x02" "c" "\0"s;
    auto evidence_of = [&]() {
        EXPECT_EQ(kv_domain_save_as_kb(d, path.c_str(), nullptr), 0);
        std::string s = gunzip(path);
        EXPECT_EQ(s.substr(20, record.size()), record);
        return s.substr(20 + record.size(), s.size() - 20 - record.size() - 7);
    };
    EXPECT_EQ(evidence_of(), "\0"s);
    ASSERT_EQ(kv_node_select_state(a, 2), 0);
    EXPECT_EQ(evidence_of(), "\x01\x02"s);
    double half = 0.5;
    ASSERT_EQ(kv_node_enter_finding(a, 2, half), 0);
    EXPECT_EQ(evidence_of(), "\x02\x02"s + std::string(reinterpret_cast<char *>(&half), 8));
    ASSERT_EQ(kv_node_enter_finding(a, 0, 1.0), 0);
    double v[3] = {1.0, 0.0, 0.5};
    EXPECT_EQ(evidence_of(), "\x03"s + std::string(reinterpret_cast<char *>(v), 24));
    kv_domain_delete(d);
}

// ---------------------------------------------------------------------------
// Round trips.

TEST(KbTest, EveryConstructRoundTripsInBothByteOrders)
{
    for (const char *net : {everything, influence, gaussian}) {
        kv_domain_t d = parse(net);
        if (!d)
            continue;
        for (int order : {1, 2}) {
            SCOPED_TRACE(order);
            kv_domain_t back = save_and_load(d, order);
            ASSERT_NE(back, nullptr);
            expect_same_state(d, back);
            kv_domain_delete(back);
        }
        kv_domain_delete(d);
    }
}

TEST(KbTest, LabelsNullAndEmpty)
{
    kv_domain_t d = parse(everything);
    kv_node_t a = kv_domain_get_node_by_name(d, "A"), m = kv_domain_get_node_by_name(d, "M");
    ASSERT_EQ(kv_node_set_label(a, ""), 0);
    std::free(m->label);
    m->label = nullptr;
    kv_domain_t back = save_and_load(d);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(kv_domain_get_node_by_name(back, "A")->label, "");
    EXPECT_EQ(kv_domain_get_node_by_name(back, "M")->label, nullptr);
    EXPECT_STREQ(kv_domain_get_node_by_name(back, "B")->label, "the B");
    kv_domain_delete(back);
    kv_domain_delete(d);
}

// Each evidence kind in each state of compilation; beliefs after loading
// are bitwise those of the saved domain.
TEST(KbTest, EvidenceAndCompiledStates)
{
    for (const char *net : {everything, influence, gaussian}) {
        for (int state = 0; state < 4; ++state) {
            SCOPED_TRACE(std::to_string(state) + net);
            kv_domain_t d = parse(net);
            ASSERT_NE(d, nullptr);
            ASSERT_EQ(kv_domain_generate_tables(d), 0);
            if (state == 1) {
                ASSERT_EQ(kv_domain_triangulate(d, kv_tm_fill_in_weight), 0);
            } else if (state == 2) {
                ASSERT_EQ(kv_domain_triangulate(d, kv_tm_clique_size), 0);
                kv_node_t *order = kv_domain_get_elimination_order(d);
                std::vector<kv_node_t> copy;
                for (; *order; ++order)
                    copy.push_back(*order);
                copy.push_back(nullptr);
                ASSERT_EQ(kv_domain_uncompile(d), 0);
                ASSERT_EQ(kv_domain_triangulate_with_order(d, copy.data()), 0);
            } else if (state == 3) {
                ASSERT_EQ(kv_domain_compile(d), 0);
            }
            int k = 0;
            for (kv_node_t n = d->first_node; n; n = n->next, ++k) {
                if (n->category == kv_category_utility)
                    continue;
                if (n->kind == kv_kind_continuous) {
                    if (k % 2) {
                        ASSERT_EQ(kv_node_enter_value(n, 0.25 * k), 0);
                    }
                } else if (n->category == kv_category_chance) {
                    if (k % 3 == 0) {
                        ASSERT_EQ(kv_node_select_state(n, 1), 0);
                    } else if (k % 3 == 1) {
                        ASSERT_EQ(kv_node_enter_finding(n, 0, 0.3), 0);
                    }
                }
            }
            kv_domain_t back = save_and_load(d);
            ASSERT_NE(back, nullptr);
            expect_same_state(d, back);
            if (state == 3)
                expect_same_beliefs(d, back);
            else if (kv_domain_compile(d) == 0) {
                ASSERT_EQ(kv_domain_compile(back), 0);
                expect_same_beliefs(d, back);
            }
            kv_domain_delete(back);
            kv_domain_delete(d);
        }
    }
}

TEST(KbTest, PasswordProtectedFiles)
{
    kv_domain_t d = parse(everything);
    std::string path = path_of("secret.kb");
    ASSERT_EQ(kv_domain_save_as_kb(d, path.c_str(), "sesame"), 0);
    EXPECT_EQ(kv_load_domain(path.c_str()), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_invalid_password);
    EXPECT_EQ(kv_kb_load_domain(path.c_str(), "sesam"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_invalid_password);
    EXPECT_EQ(kv_kb_load_domain(path.c_str(), "sesamf"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_invalid_password);
    EXPECT_EQ(kv_kb_load_domain(path.c_str(), "Sesame"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_invalid_password);
    kv_domain_t back = kv_kb_load_domain(path.c_str(), "sesame");
    ASSERT_NE(back, nullptr);
    expect_same_state(d, back);
    kv_domain_delete(back);
    // A password given for a file without one is ignored.
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    back = kv_kb_load_domain(path.c_str(), "anything");
    ASSERT_NE(back, nullptr);
    kv_domain_delete(back);
    kv_domain_delete(d);
}

TEST(KbTest, SaveAndLoadArguments)
{
    kv_domain_t d = parse(everything);
    EXPECT_EQ(kv_domain_save_as_kb(nullptr, "x.kb", nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_save_as_kb(d, nullptr, nullptr), kv_error_usage);
    EXPECT_EQ(kv_domain_save(d, path_of("x.kb").c_str(), 3), kv_error_usage);
    EXPECT_EQ(kv_domain_save(d, path_of("x.kb").c_str(), -1), kv_error_usage);
    EXPECT_EQ(kv_domain_save(d, nullptr, 0), kv_error_usage); // no file name yet
    EXPECT_EQ(kv_domain_save_as_kb(d, "/nonexistent/dir/x.kb", nullptr), kv_error_io);
    EXPECT_EQ(kv_domain_get_file_name(d), nullptr);
    EXPECT_EQ(kv_kb_load_domain(nullptr, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_load_domain(path_of("missing.kb").c_str()), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_io);
    kv_class_collection_t cc = kv_new_class_collection();
    kv_class_t c = kv_cc_new_class(cc);
    EXPECT_EQ(kv_domain_save_as_kb(c, path_of("class.kb").c_str(), nullptr), kv_error_usage);
    kv_cc_delete(cc);
    // The file name of the loaded domain is the name it was loaded from.
    std::string path = path_of("named.kb");
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    kv_domain_t back = kv_load_domain(path.c_str());
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(kv_domain_get_file_name(back), path.c_str());
    kv_domain_delete(back);
    kv_domain_delete(d);
}

// A file the system's gzip tool accepts, and a stream it compressed (or no
// compression at all) that loads.
TEST(KbTest, PlainGzipStreams)
{
    kv_domain_t d = parse(everything);
    std::string path = path_of("tool.kb");
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    if (std::system(("gzip -t " + path + " 2>/dev/null").c_str()) == 0) {
        ASSERT_EQ(std::system(("gzip -dc " + path + " > " + path + ".raw && gzip -c " + path + ".raw > " + path +
                               ".gz")
                                  .c_str()),
                  0);
        kv_domain_t back = kv_load_domain((path + ".gz").c_str());
        ASSERT_NE(back, nullptr);
        expect_same_state(d, back);
        kv_domain_delete(back);
    }
    std::string raw = gunzip(path);
    write_raw(path + ".plain", raw);
    kv_domain_t back = kv_load_domain((path + ".plain").c_str());
    ASSERT_NE(back, nullptr);
    expect_same_state(d, back);
    kv_domain_delete(back);
    kv_domain_delete(d);
}

// A size of the stream at pos, which moves past it.
size_t read_size(const std::string &s, size_t &pos)
{
    unsigned char b = static_cast<unsigned char>(s[pos++]);
    if (b < 128)
        return b;
    if (b < 255)
        return 128 + size_t(b - 128) * 256 + static_cast<unsigned char>(s[pos++]);
    uint32_t v;
    std::memcpy(&v, s.data() + pos, 4);
    pos += 4;
    return v;
}

// A compiled domain whose index maps would need indices above 65535 is
// written with its cliques but without the forest; it loads compiled, with
// the same beliefs.
TEST(KbTest, LargeTablesAreWrittenWithoutTheForest)
{
    std::string net, parents;
    for (int i = 0; i < 17; ++i) {
        std::string p = "P" + std::to_string(i);
        net += "node " + p + " { states = (\"a\" \"b\"); }\npotential (" + p + ") { data = (0.3 0.7); }\n";
        parents += " " + p;
    }
    net += "node C { states = (\"y\" \"n\"); }\nnode E { states = (\"y\" \"n\"); }\n"
           "potential (E | C) { data = (0.9 0.1 0.2 0.8); }\npotential (C |" + parents + ") {}\n";
    kv_domain_t d = parse(net);
    double *t = kv_table_get_data(kv_node_get_table(kv_domain_get_node_by_name(d, "C")));
    for (size_t i = 0; i < (size_t(1) << 18); ++i)
        t[i] = double((i * 2654435761u) % 1000) + 1.0;
    ASSERT_EQ(kv_domain_compile(d), 0);
    ASSERT_EQ(kv_node_select_state(kv_domain_get_node_by_name(d, "E"), 1), 0);
    ASSERT_EQ(kv_node_select_state(kv_domain_get_node_by_name(d, "P3"), 0), 0);
    std::string path = path_of("large.kb");
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    std::string s = gunzip(path);
    size_t pos = 10;
    size_t counts[5];
    for (size_t &c : counts)
        c = read_size(s, pos);
    EXPECT_EQ(counts[0], 19u);
    EXPECT_EQ(counts[1], 19u + 2u); // the node tables and the two cliques' tables
    EXPECT_EQ(counts[2], 0u);       // no index maps
    EXPECT_EQ(counts[3], 2u);
    EXPECT_EQ(counts[4], 0u); // no junction trees
    EXPECT_EQ(s[pos], 1);     // compiled
    EXPECT_EQ(s[pos + 1], 1); // triangulated, no forest
    kv_domain_t back = kv_load_domain(path.c_str());
    ASSERT_NE(back, nullptr) << kv_error_name(kv_error_code());
    EXPECT_EQ(kv_domain_is_compiled(back), 1);
    expect_same_state(d, back);
    expect_same_beliefs(d, back);
    kv_domain_delete(back);
    kv_domain_delete(d);
}

// With the n-th allocation failing, for every n: a load fails with
// no_memory and leaves nothing behind, and a save fails with no_memory and
// leaves the domain as it was.
TEST(KbTest, FailedAllocations)
{
    for (const char *net : {everything, influence}) {
        kv_domain_t d = parse(net);
        ASSERT_EQ(kv_domain_compile(d), 0);
        ASSERT_EQ(kv_node_select_state(d->first_node, 1), 0);
        std::string path = path_of("alloc.kb");
        ASSERT_EQ(kv_domain_save_as_kb(d, path.c_str(), "pw"), 0);
        size_t points = 0;
        for (long n = 1;; ++n) {
            kv::fail_allocation_after(n);
            kv_domain_t back = kv_kb_load_domain(path.c_str(), "pw");
            bool pending = kv::allocation_failure_pending();
            kv::fail_allocation_after(0);
            if (back) {
                EXPECT_TRUE(pending) << n;
                expect_same_state(d, back);
                kv_domain_delete(back);
                break;
            }
            ASSERT_EQ(kv_error_code(), kv_error_no_memory) << n;
            ++points;
        }
        EXPECT_GT(points, 100u);
        std::string other = path_of("alloc2.kb");
        for (long n = 1;; ++n) {
            kv::fail_allocation_after(n);
            int status = kv_domain_save(d, other.c_str(), 1);
            kv::fail_allocation_after(0);
            if (status == 0)
                break;
            ASSERT_EQ(status, kv_error_no_memory) << n;
            EXPECT_STREQ(kv_domain_get_file_name(d), path.c_str());
        }
        kv_domain_delete(d);
    }
}

// ---------------------------------------------------------------------------
// Malformed files.

TEST(KbTest, EveryTruncationFails)
{
    kv_domain_t d = parse(std::string(everything));
    ASSERT_EQ(kv_domain_compile(d), 0);
    std::string path = path_of("whole.kb");
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    std::string s = gunzip(path);
    EXPECT_EQ(load_error(s), 0);
    for (size_t n = 0; n < s.size(); ++n) {
        int code = load_error(s.substr(0, n));
        ASSERT_EQ(code, n < 2 ? kv_error_bad_file : kv_error_format) << n;
    }
    // Trailing data.
    EXPECT_EQ(load_error(s + std::string(1, '\0')), kv_error_format);
    kv_domain_delete(d);
}

TEST(KbTest, HeaderFaults)
{
    kv_domain_t d = parse(everything);
    std::string path = path_of("h.kb");
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    const std::string s = gunzip(path);
    auto with = [&](size_t at, char byte) {
        std::string t = s;
        t[at] = byte;
        return load_error(t);
    };
    EXPECT_EQ(with(0, '\x7C'), kv_error_bad_file);
    EXPECT_EQ(with(1, '\x01'), kv_error_bad_file);
    EXPECT_EQ(with(2, 5), kv_error_bad_version);
    EXPECT_EQ(with(2, 11), kv_error_bad_version);
    EXPECT_EQ(with(2, 6), 0); // older versions read the same way
    EXPECT_EQ(with(2, 10), kv_error_invalid_password);
    EXPECT_EQ(with(3, 0), kv_error_format);
    EXPECT_EQ(with(3, 3), kv_error_format);
    EXPECT_EQ(with(4, 8), kv_error_format);
    EXPECT_EQ(with(5, 4), 0);
    EXPECT_EQ(with(5, 2), kv_error_format);
    EXPECT_EQ(with(9, 8), kv_error_format);
    // Counts at offset 10: nodes 9, tables, maps 0, cliques 0, trees 0;
    // then the compiled flag and the structure flag.
    ASSERT_EQ(s[10], 9);
    EXPECT_EQ(with(10, 8), kv_error_format);
    EXPECT_EQ(with(10, 10), kv_error_format);
    size_t flags = 10 + 5;
    EXPECT_EQ(with(flags, 2), kv_error_format);
    EXPECT_EQ(with(flags, 1), kv_error_format); // compiled without cliques
    EXPECT_EQ(with(flags + 1, 3), kv_error_format);
    EXPECT_EQ(with(flags + 1, 2), kv_error_format); // a forest without trees
    // Counts of 2^32 - 1 with nothing behind them.
    std::string huge = s.substr(0, 10) + std::string("\xFF\xFF\xFF\xFF\xFF", 5) + std::string(5, '\0');
    EXPECT_EQ(load_error(huge), kv_error_format);
    kv_domain_delete(d);
}

TEST(KbTest, ReferenceFaults)
{
    // Two nodes, so that each id and list is easy to find.
    kv_domain_t d = parse("node A { states = (\"a\" \"b\"); }\nnode B { states = (\"a\" \"b\"); }\n"
                          "potential (A) { data = (0.5 0.5); }\npotential (B | A) { data = (0.1 0.9 0.2 0.8); }\n");
    std::string path = path_of("r.kb");
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    const std::string s = gunzip(path);
    EXPECT_EQ(load_error(s), 0);
    // The structure records end the stream: A (node 2) first with no
    // parents, child B, table 2, no experience or fading table, no model;
    // then B with parent A, no children, table 1, 0, 0, no model.
    const std::string tail = "\0\x01\x01\x02\0\0\0" "\x01\x02\0\x01\0\0\0"s;
    ASSERT_EQ(s.substr(s.size() - tail.size()), tail);
    const size_t at = s.size() - tail.size();
    auto with = [&](size_t offset, char byte) {
        std::string t = s;
        t[at + offset] = byte;
        return load_error(t);
    };
    EXPECT_EQ(with(8, 3), kv_error_format);  // a parent id out of range
    EXPECT_EQ(with(8, 1), kv_error_format);  // B its own parent
    EXPECT_EQ(with(10, 2), kv_error_format); // B takes A's table
    EXPECT_EQ(with(10, 3), kv_error_format); // a table id out of range
    EXPECT_EQ(with(11, 1), kv_error_format); // its table as experience table too
    EXPECT_EQ(with(3, 1), kv_error_format);  // A takes B's table
    EXPECT_EQ(with(3, 0), kv_error_format);  // A's table left without owner
    EXPECT_EQ(with(2, 2), kv_error_format);  // A's child is A
    EXPECT_EQ(with(9, 1), kv_error_format);  // children that disagree with the parents
    EXPECT_EQ(with(13, 2), kv_error_format); // a model byte of 2
    // A cycle: A gets B as parent too.
    EXPECT_EQ(load_error(s.substr(0, at) + "\x01\x01"s + s.substr(at + 1)), kv_error_format);
    kv_domain_delete(d);
}

TEST(KbTest, CorruptGzipIsIo)
{
    kv_domain_t d = parse(everything);
    std::string path = path_of("crc.kb");
    ASSERT_EQ(kv_domain_save(d, path.c_str(), 2), 0);
    FILE *f = std::fopen(path.c_str(), "rb");
    std::string bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        bytes.push_back(char(c));
    std::fclose(f);
    std::string crc = bytes;
    crc[crc.size() - 6] ^= 0x55; // inside the CRC-32 of the trailer
    write_raw(path, crc);
    EXPECT_EQ(kv_load_domain(path.c_str()), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_io);
    // The compressed stream cut short: its data ran out.
    write_raw(path, bytes.substr(0, bytes.size() / 2));
    EXPECT_EQ(kv_load_domain(path.c_str()), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_format);
    kv_domain_delete(d);
}

// The fuzzing corpus: every file loads (its seeds) or fails with a code,
// under the normal compiler too.
TEST(KbTest, FuzzCorpusReplays)
{
    std::string dir = std::string(KELVO_SOURCE_DIR) + "/fuzz/corpus/kb";
    DIR *listing = opendir(dir.c_str());
    ASSERT_NE(listing, nullptr);
    int loaded = 0, files = 0;
    while (dirent *e = readdir(listing)) {
        if (e->d_name[0] == '.')
            continue;
        ++files;
        kv_domain_t d = kv_kb_load_domain((dir + "/" + e->d_name).c_str(), "pw");
        if (!d) {
            EXPECT_NE(kv_error_code(), kv_error_none) << e->d_name;
            continue;
        }
        ++loaded;
        if (kv_domain_is_compiled(d)) {
            EXPECT_EQ(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal), 0) << e->d_name;
        }
        kv_domain_delete(d);
    }
    closedir(listing);
    EXPECT_GE(files, 12);
    EXPECT_GE(loaded, 12); // the seeds
}

// ---------------------------------------------------------------------------
// Real networks: compiled, with evidence, in both byte orders.

TEST(KbTest, SharedNetworksCompiledRoundTrip)
{
    int checked = 0;
    for (std::string dir : {std::string(KELVO_SHARED_DIR) + "/nets", std::string(KELVO_SHARED_DIR) + "/nets/small"}) {
        DIR *listing = opendir(dir.c_str());
        if (!listing)
            continue;
        std::vector<std::string> files;
        while (dirent *e = readdir(listing)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".net" && name.find("munin") != 0 &&
                name != "link.net" && name != "pigs.net" && name != "diabetes.net" && name != "andes.net")
                files.push_back(dir + "/" + name);
        }
        closedir(listing);
        for (const std::string &file : files) {
            SCOPED_TRACE(file);
            kv_domain_t a = kv_net_parse_domain(file.c_str(), nullptr, nullptr);
            ASSERT_NE(a, nullptr);
            if (kv_domain_compile(a) != 0) {
                kv_domain_delete(a);
                continue;
            }
            int k = 0;
            for (kv_node_t n = a->first_node; n; n = n->next)
                if (n->category == kv_category_chance && n->kind == kv_kind_discrete && ++k % 7 == 0)
                    kv_node_select_state(n, size_t(k) % n->number_of_states);
            kv_domain_t b = save_and_load(a, ++checked % 2 ? 1 : 2);
            ASSERT_NE(b, nullptr);
            expect_same_state(a, b);
            expect_same_beliefs(a, b);
            kv_domain_delete(a);
            kv_domain_delete(b);
        }
    }
    if (!checked)
        GTEST_SKIP() << "no shared networks here";
}

} // namespace
