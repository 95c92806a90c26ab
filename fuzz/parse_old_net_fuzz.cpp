// libFuzzer target: the old NET reader.  Every input follows an old header,
// so that the format test always chooses the old reader and the fuzzer
// spends its time on node specifications; whatever is accepted is compiled
// and propagated.
#include <cstdint>
#include <string>

#include "kelvo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = "fuzz \"old network\" 40 30 1\n";
    text.append(reinterpret_cast<const char *>(data), size);
    kv_domain_t d = kv_net_parse_from_string(text.c_str(), nullptr);
    if (d) {
        if (kv_domain_get_number_of_nodes(d) < 40 && kv_domain_compile(d) == 0)
            kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
        kv_domain_delete(d);
    }
    return 0;
}
