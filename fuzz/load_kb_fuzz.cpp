// libFuzzer target: the KB reader on arbitrary bytes (zlib reads a stream
// that is not gzip as it is), then a propagation of whatever it accepts and
// a save of it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "kelvo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = "/tmp/kelvo_kb_fuzz_" + std::to_string(getpid()) + ".kb";
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    kv_domain_t d = kv_kb_load_domain(path.c_str(), "pw");
    if (d) {
        if (kv_domain_get_number_of_nodes(d) < 40) {
            if (kv_domain_is_compiled(d) || kv_domain_compile(d) == 0)
                kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
            kv_domain_save(d, (path + ".out").c_str(), 1);
        }
        kv_domain_delete(d);
    }
    return 0;
}
