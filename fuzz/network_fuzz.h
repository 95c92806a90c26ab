// What the network fuzz targets do with a domain the reader accepted:
// small ones are compiled and propagated, then it is deleted.
#pragma once

#include "kelvo.h"

inline void compile_and_propagate(kv_domain_t d)
{
    if (!d)
        return;
    if (kv_domain_get_number_of_nodes(d) < 40 && kv_domain_compile(d) == 0)
        kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal);
    kv_domain_delete(d);
}
