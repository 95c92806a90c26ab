// Controls: building the index maps between tables, specialising their
// working loops to the current evidence, and merging contiguous loops.
#include "control.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/error.h"
#include "core/memory.h"
#include "core/node_list.h"

static bool pair_ok(const kv_table_s *probability, const kv_table_s *utility)
{
    if (probability && probability->type != KV_PROBABILITY)
        return false;
    if (utility && utility->type != KV_UTILITY)
        return false;
    if (probability && utility &&
        (probability->role != utility->role ||
         !_kv_node_lists_are_equal(probability->nodes, utility->nodes)))
        return false;
    return true;
}

static bool tables_ok(kv_table_s *bp, kv_table_s *bu, kv_table_s *sp, kv_table_s *su)
{
    if (!pair_ok(bp, bu) || !pair_ok(sp, su))
        return false;
    kv_table_s *big = bp ? bp : bu, *small = sp ? sp : su;
    return big && small && big->domain == small->domain &&
           _kv_subset_of_node_list(small->nodes, big->nodes);
}

// A control record followed by extra bytes in the same block.
static kv_control_s *new_control(kv_domain_s *d, bool listed, size_t extra = 0)
{
    kv_control_s *c = static_cast<kv_control_s *>(_kv_allocate(_kv_size_add(sizeof(kv_control_s), extra)));
    if (!c)
        return nullptr;
    std::memset(c, 0, sizeof *c);
    c->domain = d;
    if (listed) {
        c->number = ++d->number_of_controls;
        c->next = d->first_control;
        d->first_control = c;
    }
    return c;
}

static void unlink_control(kv_control_s *c)
{
    if (!c->number)
        return;
    kv_domain_s *d = c->domain;
    kv_control_s **link = &d->first_control;
    for (; *link != c; link = &(*link)->next)
        --(*link)->number;
    *link = c->next;
    c->number = 0;
    --d->number_of_controls;
}

static void free_control_record(kv_control_s *c)
{
    std::free(c->continuous_map);
    std::free(c->compressed_index);
    if (c->sparse_map) {
        std::free(c->sparse_map->data);
        std::free(c->sparse_map->support);
    }
    std::free(c->sparse_map);
    std::free(c);
}

void _kv_free_control(kv_control_s *c)
{
    if (!c)
        return;
    unlink_control(c);
    free_control_record(c);
}

void _kv_free_temporary_control(kv_control_s *c)
{
    _kv_free_control(c);
}

void _kv_free_domain_controls(kv_domain_s *d)
{
    while (d->first_control) {
        kv_control_s *c = d->first_control;
        d->first_control = c->next;
        free_control_record(c);
    }
    d->number_of_controls = 0;
}

static void fill_d_control_data(kv_loop_s *loops, kv_node_s *const *big_nodes, size_t D,
                                kv_node_s *const *small_nodes, size_t d)
{
    std::memset(loops, 0, 2 * D * sizeof *loops);
    // Static half: small-table strides, from the last small node backwards.
    size_t stride = 1;
    for (size_t i = d; i-- > 0;) {
        size_t j = _kv_node_index(big_nodes, small_nodes[i]);
        loops[j].stride = stride;
        stride *= small_nodes[i]->number_of_states;
    }
    for (size_t j = 0; j < D; ++j) {
        size_t states = big_nodes[j]->number_of_states;
        loops[j].count = states;
        loops[j].last = states - 1;
        loops[j].node = big_nodes[j];
        loops[j].decision = big_nodes[j]->category == kv_category_decision ? big_nodes[j] : nullptr;
    }
}

kv_loop_s *_kv_create_d_control_data(kv_node_s *const *big_nodes, size_t D,
                                     kv_node_s *const *small_nodes, size_t d)
{
    kv_loop_s *loops = kv::allocate_array<kv_loop_s>(_kv_size_multiply(2, D));
    if (loops)
        fill_d_control_data(loops, big_nodes, D, small_nodes, d);
    return loops;
}

// Bytes for the loops (2 D) and the positions and strides (d + D) that a
// control keeps in the block of its record.
static_assert(sizeof(kv_control_s) % alignof(kv_loop_s) == 0 && alignof(kv_loop_s) >= alignof(size_t));
static size_t loop_block_size(size_t D, size_t d)
{
    return _kv_size_add(_kv_size_multiply(2 * sizeof(kv_loop_s), D), _kv_size_multiply(sizeof(size_t), d + D));
}

static size_t *create_continuous_map(const kv_table_s *big, const kv_table_s *small)
{
    size_t q = small->continuous_count;
    size_t *map = kv::allocate_array<size_t>(q);
    if (!map)
        return nullptr;
    for (size_t k = 0; k < q; ++k)
        map[k] = _kv_node_index(big->nodes, small->nodes[small->discrete_count + k]) -
                 big->discrete_count;
    return map;
}

int _kv_create_control_contents(kv_control_s *c, kv_table_s *big, kv_table_s *small)
{
    size_t D = big->discrete_count, d = small->discrete_count;
    c->D = D;
    c->first_count = d;
    c->second_count = D - d;
    c->base_offset = 0;
    if (D > 0) {
        // The loops, then the small positions, then the big strides, all in
        // the record's block.
        c->loop_data = reinterpret_cast<kv_loop_s *>(c + 1);
        fill_d_control_data(c->loop_data, big->nodes, D, small->nodes, d);
        c->small_positions = reinterpret_cast<size_t *>(c->loop_data + 2 * D);
        c->big_strides = c->small_positions + d;
        for (size_t i = 0; i < d; ++i)
            c->small_positions[i] = _kv_node_index(big->nodes, small->nodes[i]);
        size_t stride = 1;
        for (size_t j = D; j-- > 0;) {
            c->big_strides[j] = stride;
            stride *= big->nodes[j]->number_of_states;
        }
        _kv_reset_alternative_control(c);
    }
    if (small->continuous_count) {
        c->continuous_map = create_continuous_map(big, small);
        if (!c->continuous_map)
            return kv_error_no_memory;
    }
    return kv_error_none;
}

kv_control_s *_kv_create_control(kv_table_s *bp, kv_table_s *bu, kv_table_s *sp, kv_table_s *su)
{
    if (!tables_ok(bp, bu, sp, su)) {
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    kv_table_s *big = bp ? bp : bu, *small = sp ? sp : su;
    // A compressed table's entries no longer follow its configurations.
    if (big->domain->is_compressed)
        for (const kv_table_s *t : {bp, bu, sp, su})
            if (t && t->compressed) {
                _kv_set_error_code(kv_error_compressed);
                return nullptr;
            }
    size_t extra = big->discrete_count ? loop_block_size(big->discrete_count, small->discrete_count) : 0;
    kv_control_s *c = new_control(big->domain, true, extra);
    if (!c)
        return nullptr;
    c->big_probability = bp;
    c->big_utility = bu;
    c->small_probability = sp;
    c->small_utility = su;
    if (_kv_create_control_contents(c, big, small)) {
        _kv_free_control(c);
        _kv_set_error_code(kv_error_no_memory);
        return nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return c;
}

// Places a table in the probability or utility slot of a pair by its type.
static void assign_side(kv_table_s *t, kv_table_s *&probability, kv_table_s *&utility)
{
    (t->type == KV_UTILITY ? utility : probability) = t;
}

kv_control_s *_kv_create_temporary_control(kv_control_s *model, kv_table_s *big,
                                           kv_table_s *small)
{
    if (model->compressed_index && big->domain->is_compressed) {
        _kv_set_error_code(kv_error_compressed);
        return nullptr;
    }
    kv_control_s *c = new_control(big->domain, false);
    if (!c)
        return nullptr;
    assign_side(big, c->big_probability, c->big_utility);
    assign_side(small, c->small_probability, c->small_utility);
    c->loop_data = model->loop_data;
    c->small_positions = model->small_positions;
    c->big_strides = model->big_strides;
    c->D = model->D;
    c->first_count = model->first_count;
    c->second_count = model->second_count;
    c->base_offset = model->base_offset;
    if (small->continuous_count) {
        c->continuous_map = create_continuous_map(big, small);
        if (!c->continuous_map) {
            free_control_record(c);
            return nullptr;
        }
    }
    return c;
}

kv_control_s *_kv_create_special_control(kv_table_s *big, kv_table_s *small)
{
    if (!_kv_subset_of_node_list(small->nodes, big->nodes)) {
        _kv_set_error_code(kv_error_usage);
        return nullptr;
    }
    kv_control_s *c = new_control(big->domain, false);
    if (!c)
        return nullptr;
    assign_side(big, c->big_probability, c->big_utility);
    assign_side(small, c->small_probability, c->small_utility);
    if (small->continuous_count) {
        c->continuous_map = create_continuous_map(big, small);
        if (!c->continuous_map) {
            free_control_record(c);
            return nullptr;
        }
    }
    return c;
}

// ---------------------------------------------------------------------------
// Working loops.

void _kv_reset_alternative_control(kv_control_s *c)
{
    if (!c->D)
        return;
    kv_loop_s *statics = c->loop_data, *work = _kv_control_working(c);
    size_t n = 0;
    auto put = [&](size_t j) {
        kv_loop_s &w = work[n++];
        w = statics[j];
        w.stride = c->big_strides[j];
        w.flag = 0;
        w.evidence = nullptr;
    };
    size_t d = _kv_control_small(c)->discrete_count;
    for (size_t i = 0; i < d; ++i)
        put(c->small_positions[i]);
    for (size_t j = 0; j < c->D; ++j)
        if (statics[j].stride == 0)
            put(j);
    c->first_count = d;
    c->second_count = c->D - d;
    c->base_offset = 0;
}

// Drops the second-section loops over nodes with hard evidence, fixing
// their state through the base offset.  With exact_only, only evidence whose
// weight on the chosen state is exactly 1.0 counts.
static void drop_instantiated(kv_control_s *c, bool exact_only)
{
    kv_loop_s *second = _kv_control_working(c) + c->first_count;
    size_t kept = 0;
    for (size_t i = 0; i < c->second_count; ++i) {
        kv_loop_s &e = second[i];
        size_t s = _kv_node_chosen_state(e.node);
        if (s != static_cast<size_t>(-1) && exact_only) {
            const double *ev = _kv_node_propagated_evidence(e.node);
            if (!ev || ev[s] != 1.0)
                s = static_cast<size_t>(-1);
        }
        if (s != static_cast<size_t>(-1))
            c->base_offset += s * e.stride;
        else
            second[kept++] = e;
    }
    c->second_count = kept;
}

// Merges adjacent loops of one section that are contiguous in memory.  The
// outermost loop of the first section, which is split among threads, is
// merged into only while its count stays below four times the concurrency
// level and is not a multiple of it.
static size_t merge_section(kv_loop_s *loops, size_t n, bool first_section, size_t level)
{
    if (n == 0)
        return 0;
    size_t current = 0;
    for (size_t i = 1; i < n; ++i) {
        kv_loop_s &cur = loops[current], &next = loops[i];
        bool contiguous = cur.stride == next.count * next.stride && cur.flag == next.flag &&
                          !cur.evidence && !next.evidence;
        if (contiguous && first_section && current == 0)
            contiguous = cur.count < 4 * level && cur.count % level != 0;
        if (contiguous) {
            cur.stride = next.stride;
            cur.count *= next.count;
            cur.last = cur.count - 1;
        } else {
            loops[++current] = next;
        }
    }
    return current + 1;
}

static void merge_loops(kv_control_s *c)
{
    kv_loop_s *work = _kv_control_working(c);
    size_t level = c->domain->concurrency_level;
    size_t first = merge_section(work, c->first_count, true, level);
    size_t second = merge_section(work + c->first_count, c->second_count, false, level);
    if (first != c->first_count)
        std::memmove(work + first, work + c->first_count, second * sizeof *work);
    c->first_count = first;
    c->second_count = second;
}

void _kv_setup_alternative_control_normal(kv_control_s *c, int simplify)
{
    if (!c->D)
        return;
    _kv_reset_alternative_control(c);
    if (simplify)
        drop_instantiated(c, false);
    merge_loops(c);
}

void _kv_setup_alternative_control_fast_retraction(kv_control_s *c)
{
    if (!c->D)
        return;
    _kv_reset_alternative_control(c);
    kv_loop_s *second = _kv_control_working(c) + c->first_count;
    for (size_t i = 0; i < c->second_count; ++i)
        second[i].evidence = _kv_node_propagated_evidence(second[i].node);
    drop_instantiated(c, true);
    merge_loops(c);
}

void _kv_setup_alternative_control_sum_max(kv_control_s *c, int simplify)
{
    if (!c->D)
        return;
    _kv_reset_alternative_control(c);
    kv_loop_s *second = _kv_control_working(c) + c->first_count;
    bool compiled = c->domain->is_compiled;
    for (size_t i = 0; i < c->second_count; ++i) {
        kv_loop_s &e = second[i];
        if (!e.decision)
            e.flag = 1;
        else
            e.flag = compiled && _kv_node_propagated_evidence(e.node) ? 1 : 0;
    }
    if (simplify)
        drop_instantiated(c, false);
    merge_loops(c);
}
