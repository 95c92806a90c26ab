// Instance nodes, the class interface (inputs and outputs), input bindings
// and output clones, and the class steps of node deletion.
#include <cstdlib>
#include <cstring>

#include "core/api.h"
#include "core/graph.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "expr/expression.h"
#include "table/table.h"
#include "oobn.h"

static bool is_class(const kv_domain_s *c)
{
    return c && _kv_domain_is_class(c);
}

static bool is_instance(const kv_node_s *n)
{
    return n && n->category == kv_category_instance && n->instance_class;
}

static bool is_chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

size_t _kv_output_position(const kv_node_s *n)
{
    return _kv_domain_is_class(n->home) ? _kv_node_index(n->home->outputs, n)
                                        : static_cast<size_t>(-1);
}

static size_t input_position(const kv_domain_s *c, const kv_node_s *n)
{
    return _kv_node_index(c->inputs, n);
}

// ---------------------------------------------------------------------------
// Output clones.

void _kv_update_output_clone(kv_node_s *clone)
{
    const kv_node_s *master = clone->clone_source;
    if (master->kind != kv_kind_discrete)
        return;
    clone->number_of_states = master->number_of_states;
    clone->subtype = master->subtype;
    clone->state_labels = master->state_labels;
    clone->state_values = master->state_values;
}

void _kv_update_all_clones(kv_node_s *n)
{
    _kv_for_each_clone(n, [](kv_node_s *clone) {
        _kv_update_output_clone(clone);
        _kv_node_touch_all_models(clone);
        return true;
    });
}

int _kv_resize_clone_tables(kv_node_s *n, size_t old_count, size_t new_count)
{
    int status = kv_error_none;
    kv_node_s *failed = nullptr;
    _kv_for_each_clone(n, [&](kv_node_s *clone) {
        status = _kv_resize_node_tables(clone, old_count, new_count);
        if (status)
            failed = clone;
        return status == kv_error_none;
    });
    if (!failed)
        return kv_error_none;
    // The failing clone's tables are back already; undo those before it.
    kv::KeepError keep;
    _kv_for_each_clone(n, [&](kv_node_s *clone) {
        if (clone == failed)
            return false;
        _kv_resize_node_tables(clone, new_count, old_count);
        return true;
    });
    return status;
}

// A new clone of output in the instance's home, appended to the instance's
// clone array (which has room for it); NULL with the error code.
static kv_node_s *clone_output_node(kv_node_s *instance, kv_node_s *output, size_t slot)
{
    kv_node_s *clone = _kv_new_node(instance->home, output->category, output->kind);
    if (!clone)
        return nullptr;
    clone->clone_source = output;
    clone->clone_owner = instance;
    clone->number_of_states = output->number_of_states;
    _kv_update_output_clone(clone);
    instance->output_clones[slot] = clone;
    return clone;
}

// ---------------------------------------------------------------------------
// Instances.

kv_node_t kv_class_new_instance(kv_class_t c, kv_class_t d)
{
    if (_kv_set_error_code(!is_class(c) || !is_class(d) || c->class_collection != d->class_collection))
        return nullptr;
    _kv_mark_containing_classes(c);
    if (d->class_mark) {
        _kv_set_error_code(kv_error_cyclic_instance_hierarchy);
        return nullptr;
    }
    size_t outputs = _kv_node_list_length(d->outputs);
    kv_node_s **clones = kv::allocate_array<kv_node_s *>(outputs + 1);
    if (!clones)
        return nullptr;
    std::memset(clones, 0, (outputs + 1) * sizeof *clones);
    if (_kv_node_list_extend(&d->instances)) {
        std::free(clones);
        return nullptr;
    }
    kv_node_s *n = _kv_new_node(c, kv_category_instance, kv_kind_discrete);
    if (!n) {
        std::free(clones);
        return nullptr;
    }
    n->instance_class = d;
    n->output_clones = clones;
    _kv_node_list_append(d->instances, n);
    for (size_t i = 0; i < outputs; ++i)
        if (!clone_output_node(n, d->outputs[i], i)) {
            kv::KeepError keep;
            _kv_delete_node(n);
            return nullptr;
        }
    return _kv_set_error_code(kv_error_none), n;
}

kv_class_t kv_node_get_instance_class(kv_node_t n)
{
    if (_kv_set_error_code(!is_instance(n)))
        return nullptr;
    return n->instance_class;
}

// A list of the class, made empty on first request.
static kv_node_t *class_list(kv_class_t c, kv_node_s **kv_domain_s::*list)
{
    if (_kv_set_error_code(!is_class(c)))
        return nullptr;
    if (!(c->*list))
        c->*list = _kv_new_empty_node_list();
    return c->*list;
}

kv_node_t *kv_class_get_instances(kv_class_t c)
{
    return class_list(c, &kv_domain_s::instances);
}

kv_node_t *kv_class_get_inputs(kv_class_t c)
{
    return class_list(c, &kv_domain_s::inputs);
}

kv_node_t *kv_class_get_outputs(kv_class_t c)
{
    return class_list(c, &kv_domain_s::outputs);
}

// ---------------------------------------------------------------------------
// Inputs and outputs.

kv_status_t kv_node_add_to_inputs(kv_node_t n)
{
    if (_kv_set_error_code(!n || !_kv_domain_is_class(n->home) || !is_chance_or_decision(n) ||
                           _kv_node_in_list(n->home->outputs, n) || _kv_node_is_clone(n) ||
                           (n->parents && n->parents[0])))
        return kv_error_usage;
    kv_domain_s *c = n->home;
    if (_kv_node_in_list(c->inputs, n))
        return kv_error_none;
    if (_kv_node_list_extend(&c->inputs))
        return kv_error_no_memory;
    _kv_node_list_append(c->inputs, n);
    return kv_error_none;
}

// Drops input p of the class from every instance's bindings.
static void remove_input(kv_domain_s *c, size_t p)
{
    _kv_remove_from_list(c->inputs, p);
    if (c->instances)
        for (kv_node_s **i = c->instances; *i; ++i) {
            kv_node_s *instance = *i;
            if (p >= instance->number_of_input_bindings)
                continue;
            std::memmove(instance->input_bindings + p, instance->input_bindings + p + 1,
                         (instance->number_of_input_bindings - p - 1) * sizeof(kv_node_s *));
            --instance->number_of_input_bindings;
        }
}

kv_status_t kv_node_remove_from_inputs(kv_node_t n)
{
    if (_kv_set_error_code(!n || !_kv_domain_is_class(n->home) ||
                           !_kv_node_in_list(n->home->inputs, n)))
        return kv_error_usage;
    remove_input(n->home, input_position(n->home, n));
    return kv_error_none;
}

kv_status_t kv_node_add_to_outputs(kv_node_t n)
{
    if (_kv_set_error_code(!n || !_kv_domain_is_class(n->home) || !is_chance_or_decision(n) ||
                           _kv_node_in_list(n->home->inputs, n)))
        return kv_error_usage;
    kv_domain_s *c = n->home;
    if (_kv_node_in_list(c->outputs, n))
        return kv_error_none;
    size_t slot = _kv_node_list_length(c->outputs);
    if (_kv_node_list_extend(&c->outputs))
        return kv_error_no_memory;
    // Every instance's clone array grows first, so that only the clones
    // themselves remain to fail.
    size_t instances = _kv_node_list_length(c->instances);
    for (size_t i = 0; i < instances; ++i) {
        kv_node_s *instance = c->instances[i];
        kv_node_s **clones = kv::reallocate_array(instance->output_clones, slot + 2);
        if (!clones)
            return kv_error_no_memory; // arrays that grew keep their contents
        clones[slot] = clones[slot + 1] = nullptr;
        instance->output_clones = clones;
    }
    size_t made = 0;
    for (; made < instances; ++made)
        if (!clone_output_node(c->instances[made], n, slot))
            break;
    if (made < instances) {
        kv::KeepError keep;
        for (size_t i = 0; i < made; ++i) {
            _kv_delete_node(c->instances[i]->output_clones[slot]);
            c->instances[i]->output_clones[slot] = nullptr;
        }
        return kv_error_code();
    }
    _kv_node_list_append(c->outputs, n);
    return _kv_set_error_code(kv_error_none);
}

// Drops output p of the class and deletes its clone in every instance.
static void remove_output(kv_domain_s *c, size_t p)
{
    kv_node_s *output = c->outputs[p];
    if (c->instances)
        for (kv_node_s **i = c->instances; *i; ++i) {
            kv_node_s **clones = (*i)->output_clones;
            kv_node_s *clone = clones[p];
            size_t k = p;
            for (; clones[k]; ++k)
                clones[k] = clones[k + 1];
            _kv_delete_node(clone);
        }
    _kv_node_list_remove(c->outputs, output);
}

kv_status_t kv_node_remove_from_outputs(kv_node_t n)
{
    if (_kv_set_error_code(!n || !_kv_domain_is_class(n->home) ||
                           !_kv_node_in_list(n->home->outputs, n)))
        return kv_error_usage;
    remove_output(n->home, _kv_output_position(n));
    return kv_error_none;
}

// ---------------------------------------------------------------------------
// Bindings.

// The position of a formal input of the instance's class, or (size_t)-1
// (usage set) when the arguments do not fit.
static size_t formal_position(kv_node_s *instance, kv_node_s *formal)
{
    if (_kv_set_error_code(!is_instance(instance) || !formal))
        return static_cast<size_t>(-1);
    size_t p = input_position(instance->instance_class, formal);
    _kv_set_error_code(p == static_cast<size_t>(-1));
    return p;
}

kv_status_t kv_node_set_input(kv_node_t instance, kv_node_t formal, kv_node_t actual)
{
    if (_kv_set_error_code(!is_instance(instance) || !formal || !actual ||
                           actual->home != instance->home))
        return kv_error_usage;
    size_t p = formal_position(instance, formal);
    if (p == static_cast<size_t>(-1))
        return kv_error_usage;
    if (_kv_set_error_code(actual->category != formal->category || actual->kind != formal->kind))
        return kv_error_usage;
    if (p >= instance->number_of_input_bindings) {
        size_t k = _kv_node_list_length(instance->instance_class->inputs);
        kv_node_s **b = kv::reallocate_array(instance->input_bindings, k);
        if (!b)
            return kv_error_no_memory;
        for (size_t i = instance->number_of_input_bindings; i < k; ++i)
            b[i] = nullptr;
        instance->input_bindings = b;
        instance->number_of_input_bindings = k;
    }
    instance->input_bindings[p] = actual;
    return kv_error_none;
}

kv_status_t kv_node_unset_input(kv_node_t instance, kv_node_t formal)
{
    size_t p = formal_position(instance, formal);
    if (p == static_cast<size_t>(-1))
        return kv_error_usage;
    if (p < instance->number_of_input_bindings)
        instance->input_bindings[p] = nullptr;
    return kv_error_none;
}

kv_node_t kv_node_get_input(kv_node_t instance, kv_node_t formal)
{
    size_t p = formal_position(instance, formal);
    if (p == static_cast<size_t>(-1) || p >= instance->number_of_input_bindings)
        return nullptr;
    return instance->input_bindings[p];
}

kv_node_t kv_node_get_output(kv_node_t instance, kv_node_t output)
{
    if (_kv_set_error_code(!is_instance(instance) || !output ||
                           output->home != instance->instance_class))
        return nullptr;
    size_t p = _kv_output_position(output);
    if (_kv_set_error_code(p == static_cast<size_t>(-1)))
        return nullptr;
    return instance->output_clones[p];
}

kv_node_t kv_node_get_master(kv_node_t n)
{
    if (_kv_set_error_code(!n || !n->clone_source))
        return nullptr;
    return n->clone_source;
}

kv_node_t kv_node_get_instance(kv_node_t n)
{
    if (_kv_set_error_code(!n || !n->clone_owner))
        return nullptr;
    return n->clone_owner;
}

// ---------------------------------------------------------------------------
// Substitution.

static kv_node_s *input_named(kv_domain_s *c, const char *name)
{
    if (name && c->inputs)
        for (kv_node_s **x = c->inputs; *x; ++x)
            if ((*x)->name && std::strcmp((*x)->name, name) == 0)
                return *x;
    return nullptr;
}

static size_t output_named(kv_domain_s *c, const char *name)
{
    if (name && c->outputs)
        for (size_t i = 0; c->outputs[i]; ++i)
            if (c->outputs[i]->name && std::strcmp(c->outputs[i]->name, name) == 0)
                return i;
    return static_cast<size_t>(-1);
}

kv_status_t kv_node_substitute_class(kv_node_t instance, kv_class_t e)
{
    if (_kv_set_error_code(!is_instance(instance) || !is_class(e) ||
                           e->class_collection != instance->instance_class->class_collection))
        return kv_error_usage;
    kv_domain_s *old = instance->instance_class;
    if (e == old)
        return kv_error_none;
    // The same refusal as instantiation: unfolding a cyclic hierarchy would
    // never end.
    _kv_mark_containing_classes(instance->home);
    if (e->class_mark)
        return _kv_set_error_code(kv_error_cyclic_instance_hierarchy);

    // Everything is allocated and checked before anything changes.
    size_t new_inputs = _kv_node_list_length(e->inputs);
    size_t new_outputs = _kv_node_list_length(e->outputs);
    kv_node_s **bindings = nullptr;
    if (old->inputs && old->inputs[0]) {
        if (_kv_set_error_code(new_inputs == 0))
            return kv_error_usage;
        bindings = kv::allocate_array<kv_node_s *>(new_inputs);
        if (!bindings)
            return kv_error_no_memory;
        std::memset(bindings, 0, new_inputs * sizeof *bindings);
        for (size_t i = 0; old->inputs[i]; ++i) {
            kv_node_s *x = old->inputs[i];
            kv_node_s *y = input_named(e, x->name);
            if (!y || y->category != x->category || y->kind != x->kind) {
                std::free(bindings);
                return _kv_set_error_code(kv_error_usage);
            }
            if (i < instance->number_of_input_bindings)
                bindings[input_position(e, y)] = instance->input_bindings[i];
        }
    }
    kv_node_s **clones = kv::allocate_array<kv_node_s *>(new_outputs + 1);
    if (!clones || _kv_node_list_extend(&e->instances)) {
        std::free(bindings);
        std::free(clones);
        return kv_error_no_memory;
    }
    std::memset(clones, 0, (new_outputs + 1) * sizeof *clones);
    for (size_t j = 0; old->outputs && old->outputs[j]; ++j) {
        kv_node_s *clone = instance->output_clones[j];
        size_t q = output_named(e, old->outputs[j]->name);
        if (q == static_cast<size_t>(-1) || !_kv_nodes_are_compatible(e->outputs[q], clone)) {
            std::free(bindings);
            std::free(clones);
            return _kv_set_error_code(kv_error_usage);
        }
        clones[q] = clone;
    }
    for (size_t q = 0; q < new_outputs; ++q) {
        if (clones[q])
            continue;
        kv_node_s *output = e->outputs[q];
        kv_node_s *clone = _kv_new_node(instance->home, output->category, output->kind);
        if (!clone) {
            kv::KeepError keep;
            for (size_t r = 0; r < q; ++r)
                if (!_kv_node_in_list(instance->output_clones, clones[r]))
                    _kv_delete_node(clones[r]);
            std::free(bindings);
            std::free(clones);
            return kv_error_code();
        }
        clone->clone_owner = instance;
        clone->number_of_states = output->number_of_states;
        clone->clone_source = output; // marks the record as a clone at once
        clones[q] = clone;
    }

    // Commit.
    for (size_t q = 0; q < new_outputs; ++q) {
        clones[q]->clone_source = e->outputs[q];
        _kv_update_output_clone(clones[q]);
        _kv_update_all_clones(clones[q]);
        _kv_node_touch_all_models(clones[q]);
    }
    _kv_node_list_remove(old->instances, instance);
    _kv_node_list_append(e->instances, instance);
    std::free(instance->input_bindings);
    instance->input_bindings = bindings;
    instance->number_of_input_bindings = bindings ? new_inputs : 0;
    std::free(instance->output_clones);
    instance->output_clones = clones;
    instance->instance_class = e;
    return _kv_set_error_code(kv_error_none);
}

// ---------------------------------------------------------------------------
// Node deletion in a class.

void _kv_class_detach_node(kv_node_s *n)
{
    kv_domain_s *c = n->home;
    size_t p = input_position(c, n);
    if (p != static_cast<size_t>(-1))
        remove_input(c, p);
    p = _kv_output_position(n);
    if (p != static_cast<size_t>(-1))
        remove_output(c, p);
    if (n->category == kv_category_instance) {
        if (n->output_clones)
            for (kv_node_s **clone = n->output_clones; *clone; ++clone)
                _kv_delete_node(*clone);
        std::free(n->output_clones);
        n->output_clones = nullptr;
        if (n->instance_class)
            _kv_node_list_remove(n->instance_class->instances, n);
    }
    for (kv_node_s *x = c->first_node; x; x = x->next)
        if (x->category == kv_category_instance)
            for (size_t i = 0; i < x->number_of_input_bindings; ++i)
                if (x->input_bindings[i] == n)
                    x->input_bindings[i] = nullptr;
}
