// libFuzzer target: the case data reader on arbitrary text.  Whatever it
// accepts is written back and must read back to the same cases; whatever
// it refuses adds no case.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "case_network.h"
#include "kelvo.h"

namespace {

std::string temp(const char *what)
{
    return "/tmp/kelvo_fuzz_" + std::to_string(getpid()) + what;
}

// Every count and entry of the store, unset entries as -1.
std::vector<double> store(kv_domain_t d)
{
    std::vector<double> e;
    for (size_t i = 0; i < kv_domain_get_number_of_cases(d); ++i) {
        e.push_back(kv_domain_get_case_count(d, i));
        for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
            if (kv_node_case_is_set(n, i) != 1)
                e.push_back(-1);
            else if (kv_node_get_kind(n) == kv_kind_continuous)
                e.push_back(kv_node_get_case_value(n, i));
            else
                e.push_back(double(kv_node_get_case_state(n, i)));
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kv_domain_t d = kv_net_parse_from_string(case_network, nullptr);
    static kv_domain_t copy = kv_net_parse_from_string(case_network, nullptr);
    static const std::string input = temp(".cases"), output = temp(".saved");
    FILE *f = std::fopen(input.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    kv_domain_set_number_of_cases(d, 0);
    kv_domain_set_number_of_cases(copy, 0);
    if (kv_domain_parse_cases(d, input.c_str(), nullptr, nullptr) != 0) {
        if (kv_domain_get_number_of_cases(d) != 0)
            std::abort();
        return 0;
    }
    std::vector<kv_node_t> nodes;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
        nodes.push_back(n);
    nodes.push_back(nullptr);
    if (kv_domain_save_cases(d, output.c_str(), nodes.data(), nullptr, 1, " ", "?") != 0)
        std::abort();
    // A header alone reads back as no case (with a warning).
    if (kv_domain_parse_cases(copy, output.c_str(), nullptr, nullptr) != 0 || store(copy) != store(d))
        std::abort();
    return 0;
}
