/* quickstart: builds a small network with the Kelvo API and prints it. */
#include <stdio.h>
#include <stdlib.h>

#include "kelvo.h"

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "quickstart: %s failed: %s\n", what, kv_error_description(kv_error_code()));
        exit(1);
    }
}

static kv_node_t add_node(kv_domain_t d, const char *name, const char *const *labels, size_t count)
{
    kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    check(n != NULL, "kv_domain_new_node");
    check(kv_node_set_name(n, name) == 0, "kv_node_set_name");
    check(kv_node_set_number_of_states(n, count) == 0, "kv_node_set_number_of_states");
    for (size_t s = 0; s < count; s++)
        check(kv_node_set_state_label(n, s, labels[s]) == 0, "kv_node_set_state_label");
    return n;
}

int main(void)
{
    static const char *const weather[] = {"sunny", "cloudy", "rainy"};
    static const char *const yes_no[] = {"yes", "no"};

    kv_domain_t d = kv_new_domain();
    check(d != NULL, "kv_new_domain");
    check(kv_domain_set_attribute(d, "author", "quickstart") == 0, "kv_domain_set_attribute");

    add_node(d, "Weather", weather, 3);
    add_node(d, "Sprinkler", yes_no, 2);
    kv_node_t wet = add_node(d, "WetGrass", yes_no, 2);
    check(kv_node_set_label(wet, "Is the grass wet?") == 0, "kv_node_set_label");

    kv_node_t temp = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    check(temp != NULL, "kv_domain_new_node");
    check(kv_node_set_subtype(temp, kv_subtype_interval) == 0, "kv_node_set_subtype");
    check(kv_node_set_number_of_states(temp, 3) == 0, "kv_node_set_number_of_states");
    check(kv_node_set_state_value(temp, 1, 10.0) == 0, "kv_node_set_state_value");
    check(kv_node_set_state_value(temp, 2, 25.0) == 0, "kv_node_set_state_value");

    printf("domain by %s with %zu nodes\n", kv_domain_get_attribute(d, "author"),
           kv_domain_get_number_of_nodes(d));
    for (kv_node_t n = kv_domain_get_first_node(d); n; n = kv_node_get_next(n)) {
        printf("  %-10s", kv_node_get_name(n));
        size_t k = kv_node_get_number_of_states(n);
        for (size_t s = 0; s < k; s++) {
            if (kv_node_get_subtype(n) == kv_subtype_interval)
                printf(" [%g, %g)", kv_node_get_state_value(n, s), kv_node_get_state_value(n, s + 1));
            else
                printf(" %s", kv_node_get_state_label(n, s));
        }
        printf("\n");
    }
    check(kv_domain_get_node_by_name(d, "Sprinkler") != NULL, "kv_domain_get_node_by_name");
    check(kv_domain_delete(d) == 0, "kv_domain_delete");
    return 0;
}
