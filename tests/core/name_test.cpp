#include <string>
#include <vector>

#include "core/domain.h"
#include "core_fixture.h"

using NameTest = DomainFixture;

TEST_F(NameTest, CIdentifierRule)
{
    kv_node_t n = chance();
    for (const char *good : {"a1", "_x", "_", "Z", "abc_DEF_123"}) {
        EXPECT_EQ(kv_node_set_name(n, good), 0) << good;
        EXPECT_STREQ(kv_node_get_name(n), good);
    }
    for (const char *bad : {"1a", "a-b", "", " a", "a b", "a.b", "\xe6x", "\xc3\xa6"}) {
        EXPECT_EQ(kv_node_set_name(n, bad), kv_error_invalid_name) << bad;
        EXPECT_STREQ(kv_node_get_name(n), "abc_DEF_123") << "a failed rename keeps the old name";
    }
    EXPECT_EQ(kv_node_set_name(n, nullptr), kv_error_usage);
    EXPECT_EQ(kv_node_set_name(nullptr, "a"), kv_error_usage);
}

TEST_F(NameTest, NamesAreUniqueInTheHome)
{
    kv_node_t a = chance("A");
    kv_node_t b = chance("B");
    EXPECT_EQ(kv_node_set_name(a, "A"), 0);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_node_set_name(b, "A"), kv_error_twice);
    EXPECT_STREQ(kv_node_get_name(b), "B");
    EXPECT_EQ(kv_node_set_name(a, "X"), 0);
    EXPECT_EQ(kv_node_set_name(b, "A"), 0) << "the old name is free again";
    EXPECT_EQ(kv_domain_get_node_by_name(d, "A"), b);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "X"), a);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "B"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_domain_get_node_by_name(d, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_class_get_node_by_name(nullptr, "A"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(NameTest, AutomaticNamesByCategoryAndIndex)
{
    chance("A");
    chance("B");
    kv_node_t c = chance();
    EXPECT_STREQ(kv_node_get_name(c), "C3");
    EXPECT_STREQ(kv_node_get_name(c), "C3") << "the generated name is kept";
    kv_node_t dec = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    kv_node_t u = kv_domain_new_node(d, kv_category_utility, kv_kind_discrete);
    EXPECT_STREQ(kv_node_get_name(dec), "D4");
    EXPECT_STREQ(kv_node_get_name(u), "U5");
    EXPECT_EQ(kv_domain_get_node_by_name(d, "D4"), dec);
    EXPECT_EQ(kv_node_get_name(nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(NameTest, TakenAutomaticNameFallsBackToCountPlusOne)
{
    chance("C3");
    chance("C5");
    kv_node_t third = chance();
    chance("X");
    // Index 3 gives C3 (taken); the count is 4, so C5 (taken), then C6.
    EXPECT_STREQ(kv_node_get_name(third), "C6");
}

TEST_F(NameTest, OutputCloneNamedAfterInstanceAndMaster)
{
    kv_node_t master = chance("Out");
    kv_node_t instance = chance("inst");
    kv_node_t clone = chance();
    clone->clone_source = master;
    clone->clone_owner = instance;
    EXPECT_STREQ(kv_node_get_name(clone), "inst_Out");

    kv_node_t clone2 = chance();
    clone2->clone_source = master;
    clone2->clone_owner = instance;
    EXPECT_STREQ(kv_node_get_name(clone2), "C4") << "inst_Out is taken";

    kv_node_t unnamed_master = chance();
    kv_node_t clone3 = chance();
    clone3->clone_source = unnamed_master;
    clone3->clone_owner = instance;
    EXPECT_STREQ(kv_node_get_name(clone3), "C6");
    EXPECT_EQ(unnamed_master->name, nullptr);
    for (kv_node_t c : {clone, clone2, clone3})
        c->clone_source = c->clone_owner = nullptr;
}

TEST_F(NameTest, IndexAbsentBelowElevenNodes)
{
    for (int i = 0; i < 10; ++i)
        chance(("n" + std::to_string(i)).c_str());
    EXPECT_EQ(kv_domain_get_node_by_name(d, "n4")->index, 5u);
    EXPECT_EQ(d->name_index, nullptr);
    EXPECT_EQ(d->name_index_size, 0u);
}

TEST_F(NameTest, IndexBuiltAtElevenAndGrownAtTwentyThree)
{
    std::vector<kv_node_t> nodes;
    for (int i = 0; i < 11; ++i)
        nodes.push_back(chance(("n" + std::to_string(i)).c_str()));
    EXPECT_EQ(kv_domain_get_node_by_name(d, "n7"), nodes[7]);
    EXPECT_EQ(d->name_index_size, 11u);
    for (int i = 11; i < 22; ++i)
        nodes.push_back(chance(("n" + std::to_string(i)).c_str()));
    EXPECT_EQ(kv_domain_get_node_by_name(d, "n21"), nodes[21]);
    EXPECT_EQ(d->name_index_size, 11u) << "22 nodes do not exceed twice 11";
    nodes.push_back(chance("n22"));
    EXPECT_EQ(kv_domain_get_node_by_name(d, "n0"), nodes[0]);
    EXPECT_EQ(d->name_index_size, 23u);
    for (size_t i = 0; i < nodes.size(); ++i)
        EXPECT_EQ(kv_domain_get_node_by_name(d, ("n" + std::to_string(i)).c_str()), nodes[i]);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "n23"), nullptr);
    EXPECT_EQ(kv_domain_get_node_by_name(d, ""), nullptr);
}

TEST_F(NameTest, IndexFollowsRenamesAndDeletions)
{
    std::vector<kv_node_t> nodes;
    for (int i = 0; i < 12; ++i)
        nodes.push_back(chance());
    EXPECT_EQ(kv_node_set_name(nodes[0], "first"), 0);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "first"), nodes[0]); // builds the index
    ASSERT_NE(d->name_index, nullptr);
    EXPECT_EQ(kv_node_set_name(nodes[1], "second"), 0); // new entry
    EXPECT_EQ(kv_node_set_name(nodes[0], "renamed"), 0); // moved entry
    EXPECT_EQ(kv_domain_get_node_by_name(d, "first"), nullptr);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "renamed"), nodes[0]);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "second"), nodes[1]);
    EXPECT_EQ(kv_node_set_name(nodes[2], "renamed"), kv_error_twice);
    EXPECT_EQ(kv_node_delete(nodes[0]), 0);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "renamed"), nullptr);
    EXPECT_EQ(kv_node_set_name(nodes[2], "renamed"), 0);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "renamed"), nodes[2]);
    size_t entries = 0;
    for (size_t b = 0; b < d->name_index_size; ++b)
        for (kv_name_entry_s *e = d->name_index[b]; e; e = e->next)
            ++entries;
    EXPECT_EQ(entries, 2u);
}

TEST_F(NameTest, LookupSurvivesAFailedIndexBuild)
{
    // Naming looks names up, so the eleventh node stays unnamed: the index
    // is first built by the lookups below.
    for (int i = 0; i < 10; ++i)
        chance(("n" + std::to_string(i)).c_str());
    chance();
    ASSERT_EQ(d->name_index, nullptr);
    for (long k = 1; k <= 3; ++k) {
        kv::fail_allocation_after(k); // buckets, then entries
        EXPECT_NE(kv_domain_get_node_by_name(d, "n3"), nullptr) << k;
        EXPECT_EQ(kv_error_code(), kv_error_none) << k;
        EXPECT_EQ(d->name_index, nullptr) << k;
    }
    kv::fail_allocation_after(0);
    EXPECT_NE(kv_domain_get_node_by_name(d, "n3"), nullptr);
    EXPECT_EQ(d->name_index_size, 11u);
}

TEST_F(NameTest, RenameWithoutMemoryKeepsTheOldName)
{
    kv_node_t n = chance("old");
    kv::fail_allocation_after(1);
    EXPECT_EQ(kv_node_set_name(n, "new_name"), kv_error_no_memory);
    EXPECT_STREQ(kv_node_get_name(n), "old");
    EXPECT_EQ(kv_domain_get_node_by_name(d, "old"), n);

    // With an index, a missing entry drops the index; the rename stands.
    for (int i = 0; i < 11; ++i)
        chance();
    EXPECT_EQ(kv_domain_get_node_by_name(d, "old"), n);
    ASSERT_NE(d->name_index, nullptr);
    kv_node_t fresh = chance();
    kv::fail_allocation_after(2); // name copy, index entry
    EXPECT_EQ(kv_node_set_name(fresh, "fresh"), 0);
    EXPECT_FALSE(kv::allocation_failure_pending());
    EXPECT_EQ(d->name_index, nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "fresh"), fresh);
    EXPECT_EQ(kv_domain_get_node_by_name(d, "old"), n);
}

TEST_F(NameTest, ConvertNodeNames)
{
    kv_node_t a = chance("a_b");
    kv_node_t b = chance("ok");
    kv_node_t c = chance();
    kv_node_t e = chance();
    kv_node_t f = chance();
    // Names that did not come through kv_node_set_name, as a file reader may
    // leave them.
    c->name = _kv_allocate_string("a-b");
    e->name = _kv_allocate_string("9lives");
    f->name = _kv_allocate_string("x y.z");
    EXPECT_EQ(_kv_convert_node_names(d), 0);
    EXPECT_STREQ(kv_node_get_name(a), "a_b");
    EXPECT_STREQ(kv_node_get_name(b), "ok");
    EXPECT_STREQ(kv_node_get_name(c), "a_b_");
    EXPECT_STREQ(kv_node_get_name(e), "_lives");
    EXPECT_STREQ(kv_node_get_name(f), "x_y_z");
    EXPECT_EQ(kv_domain_get_node_by_name(d, "a_b_"), c);
}

TEST_F(NameTest, ConvertNodeNamesAppendsUntilFree)
{
    chance("x_");
    chance("x__");
    kv_node_t n = chance();
    n->name = _kv_allocate_string("x+");
    std::string long_name(100, '-');
    kv_node_t m = chance();
    m->name = _kv_allocate_string(long_name.c_str());
    EXPECT_EQ(_kv_convert_node_names(d), 0);
    EXPECT_STREQ(kv_node_get_name(n), "x___");
    EXPECT_EQ(std::string(kv_node_get_name(m)), std::string(100, '_'));
}
