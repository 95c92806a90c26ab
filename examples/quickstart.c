/* quickstart: the whole road in one page.  Builds a three-node network,
 * fills its tables, compiles it, enters that the grass is wet, propagates
 * and prints how likely rain now is. */
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

static kv_node_t add_node(kv_domain_t d, const char *name)
{
    kv_node_t n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
    check(n != NULL, "kv_domain_new_node");
    check(kv_node_set_name(n, name) == 0, "kv_node_set_name");
    check(kv_node_set_number_of_states(n, 2) == 0, "kv_node_set_number_of_states");
    check(kv_node_set_state_label(n, 0, "yes") == 0, "kv_node_set_state_label");
    check(kv_node_set_state_label(n, 1, "no") == 0, "kv_node_set_state_label");
    return n;
}

/* Copies count numbers into the node's table. */
static void fill(kv_node_t n, const double *numbers, size_t count)
{
    kv_table_t t = kv_node_get_table(n);
    check(t != NULL && kv_table_get_size(t) == count, "kv_node_get_table");
    double *data = kv_table_get_data(t);
    for (size_t i = 0; i < count; i++)
        data[i] = numbers[i];
}

int main(void)
{
    kv_domain_t d = kv_new_domain();
    check(d != NULL, "kv_new_domain");
    kv_node_t rain = add_node(d, "Rain");
    kv_node_t sprinkler = add_node(d, "Sprinkler");
    kv_node_t wet = add_node(d, "WetGrass");

    /* A new discrete parent goes to the front of the parent list, and a
     * table runs over the parents, then the node, the last node varying
     * fastest: WetGrass's table is over (Rain, Sprinkler, WetGrass). */
    check(kv_node_add_parent(sprinkler, rain) == 0, "kv_node_add_parent");
    check(kv_node_add_parent(wet, sprinkler) == 0, "kv_node_add_parent");
    check(kv_node_add_parent(wet, rain) == 0, "kv_node_add_parent");

    static const double p_rain[] = {0.2, 0.8};
    static const double p_sprinkler[] = {0.01, 0.99,  /* rain */
                                         0.4, 0.6};   /* no rain */
    static const double p_wet[] = {0.99, 0.01,  /* rain, sprinkler */
                                   0.8, 0.2,    /* rain, no sprinkler */
                                   0.9, 0.1,    /* no rain, sprinkler */
                                   0.0, 1.0};   /* no rain, no sprinkler */
    fill(rain, p_rain, 2);
    fill(sprinkler, p_sprinkler, 4);
    fill(wet, p_wet, 8);

    check(kv_domain_compile(d) == 0, "kv_domain_compile");
    printf("P(Rain = yes) = %.4f\n", kv_node_get_belief(rain, 0));

    check(kv_node_select_state(wet, 0) == 0, "kv_node_select_state");
    check(kv_domain_propagate(d, kv_equilibrium_sum, kv_mode_normal) == 0, "kv_domain_propagate");
    printf("P(Rain = yes | WetGrass = yes) = %.4f\n", kv_node_get_belief(rain, 0));
    printf("P(Sprinkler = yes | WetGrass = yes) = %.4f\n", kv_node_get_belief(sprinkler, 0));
    printf("P(WetGrass = yes) = %.4f\n", kv_domain_get_normalization_constant(d));

    check(kv_domain_delete(d) == 0, "kv_domain_delete");
    return 0;
}
