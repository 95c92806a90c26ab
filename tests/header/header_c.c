/* Compiled as strict C11: the header must need nothing else. */
#include "kelvo.h"

int header_c_check(void);

int header_c_check(void)
{
    kv_domain_t d = kv_new_domain();
    kv_class_t c = d; /* a class may stand where a domain is accepted */
    kv_node_t n;
    int ok;
    if (!d)
        return 0;
    n = kv_class_new_node(c, kv_category_chance, kv_kind_discrete);
    ok = n != NULL && kv_node_get_category(n) == kv_category_chance &&
         kv_error_code() == kv_error_none && kv_operator_error == 109 &&
         kv_constraint_error == 107 && kv_table_type_fading == 3;
    kv_domain_delete(d);
    return ok;
}
