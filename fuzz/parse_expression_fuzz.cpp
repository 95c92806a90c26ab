// libFuzzer target: the expression parser, then printing and reparsing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelvo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kv_domain_t d = [] {
        kv_domain_t dom = kv_new_domain();
        const char *names[] = {"a", "b", "true"};
        for (const char *name : names) {
            kv_node_t n = kv_domain_new_node(dom, kv_category_chance, kv_kind_discrete);
            kv_node_set_name(n, name);
        }
        return dom;
    }();
    std::string text(reinterpret_cast<const char *>(data), size);
    kv_expression_t e = kv_domain_string_to_expression(d, text.c_str(), nullptr, nullptr);
    if (e) {
        char *printed = kv_expression_to_string(e);
        if (printed) {
            // What the printer writes must read back, except numbers that
            // overflowed to infinity (or NaN), which have no number token.
            bool finite = !std::strstr(printed, "INF") && !std::strstr(printed, "NAN");
            kv_expression_t again = kv_domain_string_to_expression(d, printed, nullptr, nullptr);
            if (!again && finite)
                std::abort();
            kv_expression_delete(again);
            std::free(printed);
        }
        kv_expression_t copy = kv_expression_clone(e);
        kv_expression_delete(copy);
        kv_expression_delete(e);
    }
    return 0;
}
