// The KB writer: a domain, compiled or not, as a gzip stream of records.
// The index arrays of a compiled domain hold 2-byte indices, so a domain
// whose maps point into tables of more than 65,536 entries is written with
// its cliques in forest order but without the forest, and the reader
// compiles it again from them.
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "compile/compile.h"
#include "core/api.h"
#include "core/attribute.h"
#include "core/chain_block.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "expr/expression.h"
#include "kb.h"
#include "table/table.h"

namespace {

using namespace kv::kb;

template <class V> using Vec = std::vector<V, kv::ScratchAlloc<V>>;

struct Stop {
    int code;
};

// Buffered output in the file's byte order.
struct Out {
    gzFile file;
    bool swap;
    Vec<unsigned char> buffer = Vec<unsigned char>(1 << 20);
    size_t used = 0;

    void flush()
    {
        if (used && gzwrite(file, buffer.data(), unsigned(used)) != int(used))
            throw Stop{kv_error_io};
        used = 0;
    }
    void raw(const void *data, size_t n)
    {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        while (n) {
            if (used == buffer.size())
                flush();
            size_t k = std::min(n, buffer.size() - used);
            std::memcpy(buffer.data() + used, p, k);
            used += k, p += k, n -= k;
        }
    }
    void byte(unsigned v)
    {
        if (used == buffer.size())
            flush();
        buffer[used++] = static_cast<unsigned char>(v);
    }
    template <class T> void item(T v)
    {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &v, sizeof v);
        if (swap)
            for (size_t i = 0; i < sizeof(T) / 2; ++i)
                std::swap(b[i], b[sizeof(T) - 1 - i]);
        raw(b, sizeof b);
    }
    void size(uint64_t v)
    {
        if (v < 128) {
            byte(unsigned(v));
        } else if (v < 32640) {
            byte(unsigned(128 + (v - 128) / 256));
            byte(unsigned((v - 128) % 256));
        } else {
            if (v > size_limit)
                throw Stop{kv_error_size_too_large};
            byte(255);
            item(uint32_t(v));
        }
    }
    void number(double v) { item(v); }
    void numbers(const double *x, size_t n)
    {
        if (!swap) {
            raw(x, n * sizeof(double));
            return;
        }
        for (size_t i = 0; i < n; ++i)
            item(x[i]);
    }
    void string(const char *s)
    {
        if (!s) {
            size(0);
            return;
        }
        size_t length = std::strlen(s);
        size(uint64_t(length) + 1);
        raw(s, length);
    }
};

const char *name_of(kv_node_s *n)
{
    const char *name = kv_node_get_name(n);
    if (!name)
        throw Stop{kv_error_code()};
    return name;
}

size_t list_length(kv_table_s *const *list)
{
    size_t n = 0;
    while (list && list[n])
        ++n;
    return n;
}

struct Writer {
    kv_domain_s *d;
    Out &out;
    bool compiled, forest, triangulated;
    // File ids by the domain's table and control numbers (0: not written).
    Vec<size_t> table_id;
    Vec<kv_table_s *> tables;     // by file id - 1
    Vec<kv_control_s *> controls; // by number - 1
    Vec<kv_clique_s *> cliques;   // by number - 1

    Writer(kv_domain_s *domain, Out &o) : d(domain), out(o) {}

    size_t tid(const kv_table_s *t) const
    {
        if (!t)
            return 0;
        if (t->domain != d || t->number == 0 || t->number >= table_id.size() || !table_id[t->number])
            throw Stop{kv_error_error};
        return table_id[t->number];
    }
    static size_t cid(const kv_control_s *c) { return c ? c->number : 0; }
    static size_t qid(const kv_clique_s *c) { return c ? c->number : 0; }
    static size_t jid(const kv_junction_tree_s *jt) { return jt ? jt->number : 0; }

    // The index arrays fit in 2 bytes, and the big tables in the size
    // encoding.
    bool maps_fit() const
    {
        for (const kv_control_s *c = d->first_control; c; c = c->next)
            if (_kv_control_small(c)->size > index_limit || _kv_control_big(c)->size > size_limit)
                return false;
        return true;
    }

    void collect()
    {
        compiled = d->is_compiled;
        triangulated = _kv_domain_is_triangulated(d);
        forest = d->first_junction_tree != nullptr && (!compiled || maps_fit());
        Vec<kv_table_s *> all(d->number_of_tables, nullptr);
        for (kv_table_s *t = d->first_table; t; t = t->next) {
            if (t->number == 0 || t->number > all.size() || all[t->number - 1])
                throw Stop{kv_error_error};
            all[t->number - 1] = t;
        }
        table_id.assign(all.size() + 1, 0);
        for (kv_table_s *t : all) {
            if (!t || t->role < KV_ROLE_NODE || t->role > KV_ROLE_EVIDENCE || t->type < KV_PROBABILITY ||
                t->type > KV_FADING)
                throw Stop{kv_error_error}; // the format holds no such table
            // Without the forest only the node tables and the cliques'
            // tables are written.
            if (!forest && t->role != KV_ROLE_NODE && t->role != KV_ROLE_CLIQUE)
                continue;
            tables.push_back(t);
            table_id[t->number] = tables.size();
        }
        if (forest) {
            controls.assign(d->number_of_controls, nullptr);
            for (kv_control_s *c = d->first_control; c; c = c->next) {
                if (c->number == 0 || c->number > controls.size() || controls[c->number - 1])
                    throw Stop{kv_error_error};
                controls[c->number - 1] = c;
            }
        }
        cliques.assign(d->number_of_cliques, nullptr);
        for (kv_clique_s *c = d->first_clique; c; c = c->next) {
            if (c->number == 0 || c->number > cliques.size() || cliques[c->number - 1])
                throw Stop{kv_error_error};
            cliques[c->number - 1] = c;
        }
    }

    void node_list(kv_node_s *const *list)
    {
        size_t n = _kv_node_list_length(list);
        out.size(n);
        for (size_t i = 0; i < n; ++i)
            out.size(list[i]->index);
    }

    void table_list(kv_table_s *const *list)
    {
        size_t n = list_length(list);
        out.size(n);
        for (size_t i = 0; i < n; ++i)
            out.size(tid(list[i]));
    }

    void attributes(const kv_attribute_s *a)
    {
        for (; a; a = a->next) {
            out.string(a->key);
            out.string(a->value);
        }
        out.string(nullptr);
    }

    void header(const char *password)
    {
        out.byte(magic0);
        out.byte(magic1);
        out.byte(password ? version_password : version_plain);
        out.byte(out.swap ? big_endian : little_endian);
        for (unsigned char b : type_sizes)
            out.byte(b);
        out.size(d->number_of_nodes);
        out.size(tables.size());
        out.size(controls.size());
        out.size(cliques.size());
        out.size(forest ? d->number_of_junction_trees : 0);
        out.byte(compiled ? 1 : 0);
        out.byte(forest ? 2 : triangulated ? 1 : 0);
        out.size(d->node_width);
        out.size(d->node_height);
        attributes(d->attributes);
    }

    void evidence(const kv_node_s *n)
    {
        if (n->kind == kv_kind_continuous) {
            out.byte(n->value_entered ? 1 : 0);
            if (n->value_entered)
                out.number(n->entered_value);
            return;
        }
        if (!_kv_node_evidence_is_entered(n)) {
            out.byte(0);
            return;
        }
        const double *f = n->entered_finding;
        size_t s = _kv_single_positive_state(f, n->number_of_states);
        if (s == size_t(-1)) {
            out.byte(3);
            out.numbers(f, n->number_of_states);
        } else if (f[s] == 1.0) {
            out.byte(1);
            out.size(s);
        } else {
            out.byte(2);
            out.size(s);
            out.number(f[s]);
        }
    }

    void node_record(kv_node_s *n)
    {
        out.byte(unsigned(n->category));
        out.byte(unsigned(n->kind));
        out.string(name_of(n));
        out.string(n->label);
        out.item(int32_t(n->position_x));
        out.item(int32_t(n->position_y));
        attributes(n->attributes);
        if (n->category != kv_category_chance && n->category != kv_category_decision)
            return;
        if (n->kind == kv_kind_discrete) {
            size_t k = n->number_of_states;
            out.size(k);
            out.byte(unsigned(n->subtype));
            out.byte(n->state_labels ? 1 : 0);
            if (n->state_labels)
                for (size_t s = 0; s < k; ++s)
                    out.string(n->state_labels[s]);
            out.byte(n->state_values ? 1 : 0);
            if (n->state_values)
                out.numbers(n->state_values, k + 1);
        }
        evidence(n);
    }

    void password(const char *p)
    {
        size_t length = std::strlen(p);
        out.size(length);
        Scrambler scramble(length);
        for (size_t i = 0; i < length; ++i)
            out.byte(scramble.next(static_cast<unsigned char>(p[i])));
    }

    // The initial contents of a table whose data was never allocated.
    void absent_data(size_t n, double v)
    {
        for (size_t i = 0; i < n; ++i)
            out.number(v);
    }

    void table(const kv_table_s *t)
    {
        node_list(t->nodes);
        out.byte(unsigned(t->type));
        out.byte(unsigned(t->role));
        if (compiled && (t->role == KV_ROLE_CLIQUE || t->role == KV_ROLE_SEPARATOR)) {
            out.size(t->size);
            return;
        }
        if (t->role != KV_ROLE_NODE)
            return;
        if (t->discrete_data)
            out.numbers(t->discrete_data, t->size);
        else
            absent_data(t->size, t->type == KV_PROBABILITY || t->type == KV_FADING ? 1.0 : 0.0);
        size_t cg = _kv_size_multiply(t->size, t->cg_size);
        if (t->cg_data)
            out.numbers(t->cg_data, cg);
        else
            absent_data(cg, 0.0);
        for (size_t k = 0; k < t->continuous_count; ++k)
            out.byte(t->continuous_roles ? unsigned(t->continuous_roles[k]) : unsigned(KV_ABSENT));
    }

    void index_map(const kv_control_s *c)
    {
        out.size(tid(c->big_probability));
        out.size(tid(c->big_utility));
        out.size(tid(c->small_probability));
        out.size(tid(c->small_utility));
        if (!compiled)
            return;
        Vec<uint16_t> narrow;
        for_each_control_index(c, [&](const uint32_t *index, size_t n) {
            narrow.resize(n);
            for (size_t i = 0; i < n; ++i)
                narrow[i] = out.swap ? __builtin_bswap16(uint16_t(index[i])) : uint16_t(index[i]);
            out.raw(narrow.data(), n * sizeof(uint16_t));
        });
    }

    void chain_blocks()
    {
        for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next) {
            out.byte(1);
            node_list(b->nodes);
            table_list(b->potentials);
            if (!forest)
                continue;
            out.size(tid(b->parent_table));
            out.size(cid(b->parent_control));
            for (size_t i = 0, n = list_length(b->potentials); i < n; ++i)
                out.size(cid(b->potential_controls ? b->potential_controls[i] : nullptr));
        }
        out.byte(0);
    }

    void expression(const kv_expression_s *e)
    {
        if (!e) {
            out.byte(0);
            return;
        }
        out.byte(e->op);
        switch (e->op) {
        case kv_operator_number:
            out.number(e->payload.number);
            break;
        case kv_operator_label:
            out.string(e->payload.label);
            break;
        case kv_operator_node:
            out.size(e->payload.node ? e->payload.node->index : 0);
            break;
        case kv_operator_boolean:
            out.byte(e->payload.boolean ? 1 : 0);
            break;
        default: {
            size_t n = 0;
            while (e->payload.operands[n])
                ++n;
            out.size(n);
            for (size_t i = 0; i < n; ++i)
                expression(e->payload.operands[i]);
        }
        }
    }

    void model(const kv_model_s *m)
    {
        if (!m) {
            out.byte(0);
            return;
        }
        out.byte(1);
        node_list(m->nodes);
        size_t size = 1;
        for (kv_node_s **n = m->nodes; *n; ++n)
            size = _kv_size_multiply((*n)->number_of_states, size);
        if (size > size_limit)
            throw Stop{kv_error_size_too_large};
        for (size_t i = 0; i < size; ++i)
            expression(m->expressions ? m->expressions[i] : nullptr);
        out.size(m->samples_per_interval);
        out.byte(m->touched ? 1 : 0);
    }

    void structure_record(kv_node_s *n)
    {
        node_list(n->parents);
        node_list(n->children);
        bool chance = n->category == kv_category_chance, utility = n->category == kv_category_utility;
        bool decision = n->category == kv_category_decision;
        bool discrete = n->kind == kv_kind_discrete;
        if (chance || utility)
            out.size(tid(n->table));
        if (chance && discrete) {
            out.size(tid(n->experience_table));
            out.size(tid(n->fading_table));
        }
        if ((chance && discrete) || utility)
            model(n->model);
        if (triangulated)
            out.size(n->elimination_number);
        if (!forest)
            return;
        out.size(jid(n->junction_tree));
        if (chance || utility)
            out.size(cid(n->potential_control));
        if (chance || decision) {
            out.size(tid(n->belief_table));
            out.size(cid(n->belief_control));
        }
        if ((chance || decision) && discrete) {
            out.size(qid(n->finding_clique));
            out.size(tid(n->evidence_table));
            out.size(cid(n->evidence_control));
        }
    }

    void write(const char *pw)
    {
        collect();
        header(pw);
        Vec<kv_node_s *> nodes(d->number_of_nodes, nullptr);
        for (kv_node_s *n = d->first_node; n; n = n->next) {
            if (n->index == 0 || n->index > nodes.size() || nodes[n->index - 1])
                throw Stop{kv_error_error};
            nodes[n->index - 1] = n;
        }
        for (kv_node_s *n : nodes)
            node_record(n);
        if (pw)
            password(pw);
        for (const kv_table_s *t : tables)
            table(t);
        for (const kv_control_s *c : controls)
            index_map(c);
        chain_blocks();
        for (const kv_clique_s *c : cliques) {
            out.size(tid(c->probability_table));
            out.size(tid(c->utility_table));
        }
        if (forest) {
            Vec<kv_junction_tree_s *> trees;
            for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
                trees.push_back(jt);
            for (size_t i = trees.size(); i-- > 0;)
                out.size(qid(trees[i]->root));
        }
        for (kv_node_s *n = d->first_node; n; n = n->next)
            structure_record(n);
        for (kv_clique_s *c = d->first_clique; c; c = c->next) {
            if (forest)
                for (kv_neighbor_s *b = c->neighbors; b; b = b->next) {
                    out.size(qid(b->clique));
                    out.size(cid(b->control));
                }
            out.size(0);
        }
        out.flush();
    }
};

int set_file_name(kv_domain_s *d, const char *name)
{
    char *copy = _kv_allocate_string(name);
    if (!copy)
        return kv_error_no_memory;
    std::free(d->file_name);
    d->file_name = copy;
    return kv_error_none;
}

int save(kv_domain_s *d, const char *file_name, const char *password, bool big)
{
    if (d->is_compressed)
        return _kv_set_error_code(kv_error_compressed);
    gzFile f = gzopen(file_name, "wb9");
    if (!f)
        return _kv_set_error_code(kv_error_io);
    gzbuffer(f, 1 << 18);
    int status = kv_error_none;
    try {
        // Inside the try: its buffer may fail, and the file must still close.
        Out out{f, big != (std::endian::native == std::endian::big)};
        Writer(d, out).write(password);
    } catch (const Stop &stop) {
        status = stop.code;
    } catch (const std::bad_alloc &) {
        status = kv_error_no_memory;
    }
    if (gzclose(f) != Z_OK && !status)
        status = kv_error_io;
    if (status)
        return _kv_set_error_code(status);
    return _kv_set_error_code(set_file_name(d, file_name));
}

} // namespace

kv_status_t kv_domain_save_as_kb(kv_domain_t d, kv_string_t file_name, kv_string_t password)
{
    if (_kv_set_error_code(!d || !file_name || _kv_domain_is_class(d)))
        return kv_error_usage;
    return kv::guard_status([&] { return save(d, file_name, password, false); });
}

kv_status_t kv_domain_save(kv_domain_t d, kv_string_t file_name, int byte_order)
{
    if (_kv_set_error_code(!d || _kv_domain_is_class(d) || byte_order < 0 || byte_order > 2 || (!file_name && !d->file_name)))
        return kv_error_usage;
    return kv::guard_status([&] { return save(d, file_name ? file_name : d->file_name, nullptr, byte_order == 1); });
}
