#include <string>
#include <vector>

#include "core_fixture.h"

using AttributeTest = DomainFixture;

static std::vector<std::string> walk(kv_attribute_t a)
{
    std::vector<std::string> out;
    for (; a; a = kv_attribute_get_next(a))
        out.push_back(std::string(kv_attribute_get_key(a)) + "=" + kv_attribute_get_value(a));
    return out;
}

TEST_F(AttributeTest, SettingAKeyAgainReplacesItsValue)
{
    kv_node_t n = chance();
    EXPECT_EQ(kv_node_set_attribute(n, "color", "red"), 0);
    EXPECT_EQ(kv_node_set_attribute(n, "color", "blue"), 0);
    EXPECT_EQ(walk(kv_node_get_first_attribute(n)), std::vector<std::string>{"color=blue"});
    EXPECT_STREQ(kv_node_get_attribute(n, "color"), "blue");
}

TEST_F(AttributeTest, NewestFirst)
{
    EXPECT_EQ(kv_domain_set_attribute(d, "a", "1"), 0);
    EXPECT_EQ(kv_domain_set_attribute(d, "b", "2"), 0);
    EXPECT_EQ(kv_class_set_attribute(d, "c", ""), 0);
    EXPECT_EQ(walk(kv_domain_get_first_attribute(d)),
              (std::vector<std::string>{"c=", "b=2", "a=1"}));
    EXPECT_EQ(kv_domain_set_attribute(d, "a", "one"), 0);
    EXPECT_EQ(walk(kv_class_get_first_attribute(d)),
              (std::vector<std::string>{"c=", "b=2", "a=one"}))
        << "replacing a value keeps the attribute's place";
}

TEST_F(AttributeTest, NullValueRemoves)
{
    kv_node_t n = chance();
    EXPECT_EQ(kv_node_set_attribute(n, "missing", nullptr), 0);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    kv_node_set_attribute(n, "a", "1");
    kv_node_set_attribute(n, "b", "2");
    kv_node_set_attribute(n, "c", "3");
    EXPECT_EQ(kv_node_set_attribute(n, "b", nullptr), 0);
    EXPECT_EQ(walk(kv_node_get_first_attribute(n)), (std::vector<std::string>{"c=3", "a=1"}));
    EXPECT_EQ(kv_node_set_attribute(n, "c", nullptr), 0);
    EXPECT_EQ(kv_node_set_attribute(n, "a", nullptr), 0);
    EXPECT_EQ(kv_node_get_first_attribute(n), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
}

TEST_F(AttributeTest, KeysAreCIdentifiers)
{
    EXPECT_EQ(kv_domain_set_attribute(d, "2x", "v"), kv_error_invalid_name);
    EXPECT_EQ(kv_domain_set_attribute(d, "", "v"), kv_error_invalid_name);
    EXPECT_EQ(kv_domain_set_attribute(d, "a.b", nullptr), kv_error_invalid_name);
    EXPECT_EQ(kv_domain_set_attribute(d, "_ok2", "v"), 0);
    EXPECT_EQ(kv_domain_get_first_attribute(d) != nullptr, true);
    EXPECT_EQ(kv_domain_set_attribute(d, nullptr, "v"), kv_error_usage);
    EXPECT_EQ(kv_domain_set_attribute(nullptr, "k", "v"), kv_error_usage);
    EXPECT_EQ(kv_node_set_attribute(nullptr, "k", "v"), kv_error_usage);
}

TEST_F(AttributeTest, MissingKeyIsNotAnError)
{
    kv_node_t n = chance();
    kv_node_set_attribute(n, "k", "v");
    EXPECT_EQ(kv_node_get_attribute(n, "other"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_domain_get_attribute(d, "k"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    EXPECT_EQ(kv_node_get_attribute(n, nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_class_get_attribute(nullptr, "k"), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    EXPECT_EQ(kv_attribute_get_next(nullptr), nullptr);
    EXPECT_EQ(kv_attribute_get_key(nullptr), nullptr);
    EXPECT_EQ(kv_attribute_get_value(nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
}

TEST_F(AttributeTest, FailedSetChangesNothing)
{
    kv_domain_set_attribute(d, "k", "old");
    // The one allocation: the new value.
    kv::fail_allocation_after(1);
    EXPECT_EQ(kv_domain_set_attribute(d, "k", "new"), kv_error_no_memory);
    EXPECT_EQ(walk(kv_domain_get_first_attribute(d)), std::vector<std::string>{"k=old"});
    for (long k = 1; k <= 3; ++k) { // record, key copy, value copy
        kv::fail_allocation_after(k);
        EXPECT_EQ(kv_domain_set_attribute(d, "added", "v"), kv_error_no_memory) << k;
        EXPECT_EQ(walk(kv_domain_get_first_attribute(d)), std::vector<std::string>{"k=old"});
    }
    kv::fail_allocation_after(0);
    EXPECT_EQ(kv_domain_set_attribute(d, "added", "v"), 0);
}
