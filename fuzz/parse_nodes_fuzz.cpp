// libFuzzer target: the node-name list reader on arbitrary text, over a
// domain and over a class.  A list it returns holds only nodes of the
// container, NULL-terminated.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "case_network.h"
#include "kelvo.h"

namespace {

void check(kv_node_t *list, kv_node_t first)
{
    if (!list)
        return;
    for (kv_node_t *p = list; *p; ++p) {
        kv_node_t n = first;
        while (n && n != *p)
            n = kv_node_get_next(n);
        if (!n)
            std::abort();
    }
    std::free(list);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kv_domain_t d = kv_net_parse_from_string(case_network, nullptr);
    static kv_class_t c = [] {
        kv_class_collection_t cc = kv_new_class_collection();
        kv_class_t k = kv_cc_new_class(cc);
        kv_class_set_name(k, "K");
        for (const char *name : {"A", "B_2", "C3"}) {
            kv_node_t n = kv_class_new_node(k, kv_category_chance, kv_kind_discrete);
            kv_node_set_name(n, name);
        }
        return k;
    }();
    static const std::string path = "/tmp/kelvo_fuzz_" + std::to_string(getpid()) + ".nodes";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    check(kv_domain_parse_nodes(d, path.c_str(), nullptr, nullptr), kv_domain_get_first_node(d));
    check(kv_class_parse_nodes(c, path.c_str(), nullptr, nullptr), kv_class_get_first_node(c));
    return 0;
}
