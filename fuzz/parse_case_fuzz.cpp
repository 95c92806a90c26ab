// libFuzzer target: the case-file reader on arbitrary text.  Whatever it
// accepts is written back and must read back to the same evidence.
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

std::vector<double> evidence(kv_domain_t d)
{
    std::vector<double> e;
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        e.push_back(kv_node_evidence_is_entered(n));
        if (kv_node_get_kind(n) == kv_kind_continuous)
            e.push_back(kv_node_evidence_is_entered(n) == 1 ? kv_node_get_entered_value(n) : 0);
        else
            for (size_t s = 0; s < kv_node_get_number_of_states(n); ++s)
                e.push_back(kv_node_get_entered_finding(n, s));
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static kv_domain_t d = kv_net_parse_from_string(case_network, nullptr);
    static const std::string input = temp(".case"), output = temp(".saved");
    FILE *f = std::fopen(input.c_str(), "wb");
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    if (kv_domain_parse_case(d, input.c_str(), nullptr, nullptr) == 0) {
        std::vector<double> before = evidence(d);
        if (kv_domain_save_case(d, output.c_str()) != 0 ||
            kv_domain_parse_case(d, output.c_str(), nullptr, nullptr) != 0 || evidence(d) != before)
            std::abort();
    } else {
        // A failed case leaves no evidence behind.
        for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n))
            if (kv_node_evidence_is_entered(n) != 0)
                std::abort();
    }
    return 0;
}
