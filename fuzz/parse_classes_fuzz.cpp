// libFuzzer target: the class reader on arbitrary text (through a file, as
// class files are only read from files), with a loader that knows one more
// class; every class read is unfolded, and small runtime domains are
// compiled and propagated.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "kelvo.h"

namespace {

const char *extra = "class Extra { inputs = (x); outputs = (y); node x { states = (\"a\" \"b\"); }"
                    " node y { states = (\"a\" \"b\"); } potential (y | x) { data = (0.5 0.5 0.1 0.9); } }";

std::string path_of(const char *stem)
{
    return "/tmp/kelvo_fuzz_" + std::to_string(getpid()) + "_" + stem;
}

void load(kv_string_t name, kv_class_collection_t cc, void *)
{
    if (std::string(name) != "Extra")
        return;
    std::string path = path_of("extra.net");
    if (FILE *f = std::fopen(path.c_str(), "w")) {
        std::fputs(extra, f);
        std::fclose(f);
        kv_net_parse_classes(path.c_str(), cc, nullptr, nullptr, nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = path_of("input.net");
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    kv_class_collection_t cc = kv_new_class_collection();
    if (kv_net_parse_classes(path.c_str(), cc, load, nullptr, nullptr) == 0)
        for (kv_class_t *c = kv_cc_get_members(cc); *c; ++c) {
            kv_domain_t d = kv_class_create_domain(*c);
            if (!d)
                continue;
            if (kv_domain_get_number_of_nodes(d) < 40 && kv_domain_compile(d) == 0)
                kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
            kv_domain_delete(d);
        }
    kv_cc_delete(cc);
    return 0;
}
