#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

#include "core/error.h"
#include "kelvo.h"

TEST(ErrorTest, FreshThreadReadsNone)
{
    _kv_set_error_code(kv_error_usage);
    int in_thread = -1;
    std::thread([&] { in_thread = kv_error_code(); }).join();
    EXPECT_EQ(in_thread, kv_error_none);
    EXPECT_EQ(kv_error_code(), kv_error_usage) << "another thread's call must not change ours";
}

TEST(ErrorTest, ThreadsKeepSeparateCodes)
{
    _kv_set_error_code(kv_error_io);
    int seen = -1;
    std::thread([&] {
        EXPECT_EQ(kv_domain_delete(nullptr), kv_error_usage);
        seen = kv_error_code();
    }).join();
    EXPECT_EQ(seen, kv_error_usage);
    EXPECT_EQ(kv_error_code(), kv_error_io);
}

TEST(ErrorTest, SetReturnsItsArgument)
{
    EXPECT_EQ(_kv_set_error_code(kv_error_zero_sum), kv_error_zero_sum);
    EXPECT_EQ(kv_error_code(), kv_error_zero_sum);
    EXPECT_EQ(_kv_set_error_code(0), 0);
    EXPECT_EQ(kv_error_code(), kv_error_none);
}

TEST(ErrorTest, SuccessfulCallAfterFailureLeavesNone)
{
    EXPECT_EQ(kv_domain_get_first_node(nullptr), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_usage);
    kv_domain_t d = kv_new_domain();
    EXPECT_EQ(kv_domain_get_first_node(d), nullptr);
    EXPECT_EQ(kv_error_code(), kv_error_none);
    kv_domain_delete(d);
}

TEST(ErrorTest, NamesAndDescriptions)
{
    struct Row {
        int code;
        const char *name;
        const char *description;
    };
    const Row rows[] = {
        {0, "none",
         "The most recent call to a Kelvo API function was successful (or no function has been called)."},
        {1, "usage",
         "An API function was called with an invalid argument (e.g., a NULL object was passed to a "
         "function that expects a non-NULL argument)."},
        {3, "no_memory", "Kelvo ran out of memory while carrying out some operation."},
        {8, "size_too_large", "The true size is too large to represent within type `size_t'."},
        {12, "bad_file",
         "An attempt to load a domain failed due to a bad file.  The file was probably not a knowledge "
         "base file.  Knowledge base files have a header with a magic number, i.e., a two-byte code that "
         "identifies the file as a knowledge base file.  This error code will be given if the magic "
         "number was incorrect or not present."},
        {19, "enumeration",
         "The specified elimination sequence is invalid.  Possible causes: it contains a utility node, a "
         "node appears twice, the nodes are `out-of-order', or the sequence is incomplete."},
        {22, "inconsistency_or_underflow",
         "Propagation of inconsistent evidence has been attempted, or underflow has occurred"},
        {32, "locale", "The Kelvo API could not establish the C locale!"},
        {41, "illegal_binding",
         "An actual input node is incompatible with the formal input node, or there are multiple "
         "occurrences of the same parent."},
        {45, "jni", "A JNI function has thrown an exception."},
        {46, "error",
         "This is an \"impossible\" error.  It should never occur.  It might be caused by an error in "
         "the Kelvo API."},
    };
    for (const Row &r : rows) {
        auto code = static_cast<kv_error_t>(r.code);
        EXPECT_STREQ(kv_error_name(code), r.name) << r.code;
        EXPECT_STREQ(kv_error_description(code), r.description) << r.code;
    }
}

TEST(ErrorTest, EveryCodeHasADistinctNameEndingItsEnumConstant)
{
    // The enum constant of each code is kv_error_ + its name.
    const std::pair<int, const char *> spot[] = {
        {kv_error_cg_influence_diagrams_not_supported, "cg_influence_diagrams_not_supported"},
        {kv_error_fast_retraction, "fast_retraction"},
        {kv_error_not_compiled, "not_compiled"},
        {kv_error_no_equilibrium, "no_equilibrium"},
        {kv_error_cg_evidence_incorporated, "cg_evidence_incorporated"},
        {kv_error_table_too_large, "table_too_large"},
        {kv_error_insufficient_state_range, "insufficient_state_range"},
        {kv_error_cyclic_instance_hierarchy, "cyclic_instance_hierarchy"},
    };
    for (auto [code, name] : spot)
        EXPECT_STREQ(kv_error_name(static_cast<kv_error_t>(code)), name);
    for (int a = 0; a <= 46; ++a)
        for (int b = a + 1; b <= 46; ++b)
            if (std::string(kv_error_name(static_cast<kv_error_t>(a))) != "no_such_error") {
                EXPECT_STRNE(kv_error_name(static_cast<kv_error_t>(a)),
                             kv_error_name(static_cast<kv_error_t>(b)));
            }
}

TEST(ErrorTest, UnknownCodes)
{
    for (int code : {42, 43, 44, 47, 1000, -1, INT_MAX}) {
        auto c = static_cast<kv_error_t>(code);
        EXPECT_STREQ(kv_error_name(c), "no_such_error") << code;
        EXPECT_STREQ(kv_error_description(c), "No such error.") << code;
    }
}

TEST(ErrorTest, NameAndDescriptionLeaveTheCode)
{
    _kv_set_error_code(kv_error_overflow);
    kv_error_name(kv_error_usage);
    kv_error_description(static_cast<kv_error_t>(99));
    EXPECT_EQ(kv_error_code(), kv_error_overflow);
}
