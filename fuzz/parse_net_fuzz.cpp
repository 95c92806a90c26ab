// libFuzzer target: the NET reader on arbitrary text, followed by a compile
// and a propagation of whatever it accepts.
#include <cstdint>
#include <string>

#include "kelvo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    kv_domain_t d = kv_net_parse_from_string(text.c_str(), nullptr);
    if (d) {
        if (kv_domain_get_number_of_nodes(d) < 40 && kv_domain_compile(d) == 0)
            kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
        kv_domain_delete(d);
    }
    return 0;
}
