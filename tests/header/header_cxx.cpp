// Compiled as C++: the header must be usable from C++ as well.
#include "kelvo.h"

#include <cstdio>

extern "C" int header_c_check(void);

int main()
{
    if (!header_c_check()) {
        std::puts("C11 check failed");
        return 1;
    }
    kv_domain_t d = kv_new_domain();
    kv_node_t n = kv_domain_new_node(d, kv_category_decision, kv_kind_discrete);
    bool ok = n && kv_node_get_kind(n) == kv_kind_discrete && kv_domain_delete(d) == 0;
    std::puts(ok ? "header ok" : "C++ check failed");
    return ok ? 0 : 1;
}
