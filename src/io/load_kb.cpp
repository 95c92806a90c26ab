// The KB reader.  Nothing in the file is trusted: counts never size an
// allocation (arrays grow as their records arrive), every id is checked,
// and the compile-time records are not used but compared with what a
// compilation of the stored triangulation builds.  A compiled domain is so
// compiled again from its stored cliques, in their order, and its beliefs
// are those of the saved domain.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
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

struct Fail {
    int code;
};

[[noreturn]] void fail(int code)
{
    throw Fail{code};
}

[[noreturn]] void malformed()
{
    fail(kv_error_format);
}

void require(bool ok)
{
    if (!ok)
        malformed();
}

// An operation on data from the file: a lack of memory stays one, any other
// refusal means the file is malformed.
void api(int status)
{
    if (status == kv_error_no_memory)
        fail(status);
    if (status)
        malformed();
}

template <class T> T *checked(T *p)
{
    if (!p)
        api(kv_error_code() ? kv_error_code() : kv_error_no_memory);
    return p;
}

// A block from _kv_allocate, freed unless released.
template <class T> struct Owned {
    T *p = nullptr;
    Owned() = default;
    explicit Owned(T *q) : p(q) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned(Owned &&o) noexcept : p(o.p) { o.p = nullptr; }
    ~Owned() { std::free(p); }
    T *release()
    {
        T *q = p;
        p = nullptr;
        return q;
    }
};

// Buffered input in the file's byte order.
struct In {
    gzFile file;
    bool swap = false;
    Vec<unsigned char> buffer = Vec<unsigned char>(1 << 18);
    size_t pos = 0, end = 0;
    bool at_end = false;

    bool refill()
    {
        if (at_end)
            return false;
        int n = gzread(file, buffer.data(), unsigned(buffer.size()));
        int error = Z_OK;
        gzerror(file, &error);
        // A stream cut short is data that ran out; a bad CRC, a corrupt
        // stream or a failing read is the file's fault at a lower level.
        if (error == Z_BUF_ERROR)
            malformed();
        if (n < 0 || (error != Z_OK && error != Z_STREAM_END))
            fail(kv_error_io);
        pos = 0;
        end = size_t(n);
        if (n == 0)
            at_end = true;
        return n > 0;
    }
    bool finished() { return pos == end && !refill(); }
    unsigned byte()
    {
        if (pos == end && !refill())
            malformed();
        return buffer[pos++];
    }
    void bytes(void *to, size_t n)
    {
        unsigned char *p = static_cast<unsigned char *>(to);
        while (n) {
            if (pos == end && !refill())
                malformed();
            size_t k = std::min(n, end - pos);
            std::memcpy(p, buffer.data() + pos, k);
            pos += k, p += k, n -= k;
        }
    }
    template <class T> T item()
    {
        unsigned char b[sizeof(T)];
        bytes(b, sizeof b);
        if (swap)
            std::reverse(b, b + sizeof b);
        T v;
        std::memcpy(&v, b, sizeof v);
        return v;
    }
    size_t size()
    {
        unsigned b = byte();
        if (b < 128)
            return b;
        if (b < 255)
            return 128 + size_t(b - 128) * 256 + byte();
        uint32_t v = item<uint32_t>();
        return size_t(v);
    }
    double number() { return item<double>(); }
    void numbers(double *x, size_t n)
    {
        bytes(x, n * sizeof(double));
        if (swap)
            for (size_t i = 0; i < n; ++i) {
                uint64_t v;
                std::memcpy(&v, x + i, sizeof v);
                v = __builtin_bswap64(v);
                std::memcpy(x + i, &v, sizeof v);
            }
    }

    // n items read into an array grown as they arrive, so that a count with
    // nothing behind it allocates little.
    template <class T, class Read> T *grown(size_t n, Read &&read)
    {
        if (n == 0)
            return nullptr;
        size_t capacity = std::min(n, (size_t(1) << 19) / sizeof(T)), done = 0;
        Owned<T> block(checked(kv::allocate_array<T>(capacity)));
        for (;;) {
            read(block.p + done, capacity - done);
            done = capacity;
            if (done == n)
                return block.release();
            capacity = n - capacity < capacity ? n : capacity * 2;
            T *bigger = checked(kv::reallocate_array(block.p, capacity));
            block.p = bigger;
        }
    }
    double *doubles(size_t n)
    {
        if (n == SIZE_MAX)
            malformed();
        return grown<double>(n, [&](double *x, size_t k) { numbers(x, k); });
    }
    // A string (NULL for the size 0); a NUL inside is malformed.
    char *string()
    {
        size_t s = size();
        if (s == 0)
            return nullptr;
        size_t length = s - 1, capacity = std::min(length, size_t(1) << 16), done = 0;
        Owned<char> text(checked(kv::allocate_array<char>(capacity + 1)));
        for (;;) {
            bytes(text.p + done, capacity - done);
            done = capacity;
            if (done == length)
                break;
            capacity = length - capacity < capacity ? length : capacity * 2;
            text.p = checked(kv::reallocate_array(text.p, capacity + 1));
        }
        text.p[length] = 0;
        require(!std::memchr(text.p, 0, length));
        return text.release();
    }
};

// The stored record of a table: its nodes, and what the rebuilt domain has
// for it.
struct TableRecord {
    size_t first, count; // in the node pool
    int type, role;
    size_t size;
    kv_table_s *table; // made while reading (node tables) or bound later
    bool used;
};

struct MapRecord {
    size_t ids[4];
    size_t entries;
    uint64_t hash;
};

struct ChainRecord {
    size_t nodes_first, nodes_count;
    size_t tables_first, tables_count; // in the id pool
    size_t parent_table, parent_control;
    size_t controls_first; // tables_count ids in the id pool
};

// Per node: evidence, children, elimination number and compile-time ids.
struct NodeRecord {
    int evidence; // 0 none, 1 a state, 2 a state with a value, 3 a vector
    size_t state;
    double value;
    Owned<double> likelihood;
    size_t children_first, children_count;
    size_t elimination;
    size_t jt, potential_control, belief_table, belief_control;
    size_t finding_clique, evidence_table, evidence_control;
};

uint64_t hash_indices(uint64_t h, const uint16_t *x, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        h = (h ^ x[i]) * 0x100000001B3ull;
    return h;
}

constexpr uint64_t hash_seed = 0xCBF29CE484222325ull;
constexpr int max_expression_depth = 4096;

// Ids bound to objects of the rebuilt domain, one object per id.
struct Binder {
    Vec<const void *> by_id;
    std::unordered_map<const void *, size_t, std::hash<const void *>, std::equal_to<const void *>,
                       kv::ScratchAlloc<std::pair<const void *const, size_t>>>
        ids;
    explicit Binder(size_t count) : by_id(count + 1, nullptr) {}
    // True when id is bound now for the first time.
    bool bind(size_t id, const void *p)
    {
        if (id == 0) {
            require(!p);
            return false;
        }
        require(p && id < by_id.size());
        if (by_id[id]) {
            require(by_id[id] == p);
            return false;
        }
        require(ids.emplace(p, id).second);
        by_id[id] = p;
        return true;
    }
};

struct Reader {
    In &in;
    const char *password;
    kv_domain_s *d;
    size_t N = 0, T = 0, M = 0, C = 0, J = 0;
    bool compiled = false;
    int structure = 0;
    Vec<kv_node_s *> nodes; // by index - 1
    Vec<NodeRecord> node_records;
    Vec<kv_node_s *> pool; // node lists of tables and children
    Vec<size_t> ids;       // id lists of chain records and neighbours
    Vec<TableRecord> tables;
    Vec<MapRecord> maps;
    Vec<ChainRecord> chains;
    Vec<size_t> clique_tables; // two per clique
    Vec<size_t> roots;
    Vec<size_t> neighbour_first, neighbour_count; // by clique id - 1

    Reader(In &input, const char *pw, kv_domain_s *domain) : in(input), password(pw), d(domain) {}

    kv_node_s *fetch_node(size_t id)
    {
        require(id >= 1 && id <= nodes.size());
        return nodes[id - 1];
    }

    // A node list into the pool: ids in range and distinct.
    size_t node_list(size_t &first)
    {
        size_t n = in.size();
        first = pool.size();
        for (size_t i = 0; i < n; ++i) {
            kv_node_s *x = fetch_node(in.size());
            require(!x->mark);
            x->mark = 1;
            pool.push_back(x);
        }
        for (size_t i = first; i < pool.size(); ++i)
            pool[i]->mark = 0;
        return n;
    }

    size_t id(size_t count)
    {
        size_t v = in.size();
        require(v <= count);
        return v;
    }

    void header()
    {
        unsigned char magic[2];
        for (unsigned char &b : magic) {
            if (in.pos == in.end && !in.refill())
                fail(kv_error_bad_file);
            b = static_cast<unsigned char>(in.byte());
        }
        if (magic[0] != magic0 || magic[1] != magic1)
            fail(kv_error_bad_file);
        unsigned version = in.byte();
        if (version < version_oldest || version > version_password)
            fail(kv_error_bad_version);
        unsigned order = in.byte();
        require(order == big_endian || order == little_endian);
        in.swap = (order == big_endian) != (std::endian::native == std::endian::big);
        for (int i = 0; i < 6; ++i) {
            unsigned b = in.byte();
            require(b == type_sizes[i] || (i == 1 && b == 4));
        }
        N = in.size(), T = in.size(), M = in.size(), C = in.size(), J = in.size();
        unsigned c = in.byte(), s = in.byte();
        require(c <= 1 && s <= 2);
        compiled = c == 1;
        structure = int(s);
        // A compiled domain has cliques; a forest has trees and cliques;
        // index maps and trees come only with a forest.
        require(!compiled || (structure >= 1 && C > 0));
        require(structure == 2 ? C > 0 && J > 0 : J == 0 && M == 0);
        require(structure >= 1 || C == 0);
        size_t width = in.size(), height = in.size();
        api(kv_domain_set_node_size(d, width, height));
        attributes(&d->attributes);
        password_present = version == version_password;
    }

    // Attributes in file order (the list keeps it: newest first).
    void attributes(kv_attribute_s **list)
    {
        kv_attribute_s **tail = list;
        while (*tail)
            tail = &(*tail)->next;
        for (;;) {
            Owned<char> key(in.string());
            if (!key.p)
                return;
            Owned<char> value(in.string());
            require(value.p && _kv_is_c_identifier(key.p));
            for (kv_attribute_s *a = *list; a; a = a->next)
                require(std::strcmp(a->key, key.p) != 0);
            kv_attribute_s *a = checked(_kv_new_attribute(key.p, value.p));
            *tail = a;
            tail = &a->next;
        }
    }

    void password_record()
    {
        size_t length = in.size();
        if (!password)
            fail(kv_error_invalid_password);
        bool same = length == std::strlen(password);
        Scrambler scramble(length);
        for (size_t i = 0; i < length; ++i) {
            unsigned b = in.byte();
            if (same && b != scramble.next(static_cast<unsigned char>(password[i])))
                same = false;
        }
        if (!same)
            fail(kv_error_invalid_password);
    }

    void node_record(size_t index)
    {
        unsigned category = in.byte(), kind = in.byte();
        require(category >= kv_category_chance && category <= kv_category_utility && kind <= 1);
        kv_node_s *n = checked(kv_domain_new_node(d, kv_node_category_t(category), kv_node_kind_t(kind)));
        require(n->index == index);
        nodes.push_back(n);
        node_records.emplace_back();
        NodeRecord &r = node_records.back();
        {
            Owned<char> name(in.string());
            if (name.p)
                api(kv_node_set_name(n, name.p));
        }
        n->label = in.string();
        int32_t x = in.item<int32_t>(), y = in.item<int32_t>();
        n->position_x = x, n->position_y = y;
        attributes(&n->attributes);
        if (category != kv_category_chance && category != kv_category_decision)
            return;
        if (kind == kv_kind_continuous) {
            unsigned e = in.byte();
            require(e <= 1);
            r.evidence = int(e);
            if (e)
                r.value = in.number();
            return;
        }
        size_t k = in.size();
        require(k >= 1);
        api(kv_node_set_number_of_states(n, k));
        unsigned subtype = in.byte();
        require(subtype >= kv_subtype_label && subtype <= kv_subtype_interval);
        api(kv_node_set_subtype(n, kv_node_subtype_t(subtype)));
        unsigned has_labels = in.byte();
        require(has_labels <= 1);
        if (has_labels)
            state_labels(n, k);
        unsigned has_values = in.byte();
        require(has_values <= 1);
        if (has_values)
            n->state_values = in.doubles(_kv_size_add(k, 1));
        unsigned e = in.byte();
        require(e <= 3);
        r.evidence = int(e);
        if (e == 1 || e == 2) {
            r.state = in.size();
            require(r.state < k);
            if (e == 2)
                r.value = in.number();
        } else if (e == 3) {
            r.likelihood.p = in.doubles(k);
        }
    }

    void state_labels(kv_node_s *n, size_t k)
    {
        Vec<char *> labels;
        try {
            for (size_t s = 0; s < k; ++s) {
                labels.push_back(nullptr);
                labels.back() = in.string();
            }
        } catch (...) {
            for (char *l : labels)
                std::free(l);
            throw;
        }
        char **array = kv::allocate_array<char *>(k);
        if (!array) {
            for (char *l : labels)
                std::free(l);
            fail(kv_error_no_memory);
        }
        std::memcpy(array, labels.data(), k * sizeof(char *));
        n->state_labels = array;
    }

    void table_record()
    {
        TableRecord r{};
        r.count = node_list(r.first);
        r.type = int(in.byte());
        r.role = int(in.byte());
        require(r.type <= KV_FADING && r.role <= KV_ROLE_EVIDENCE);
        size_t discrete = 0;
        r.size = 1;
        for (size_t i = 0; i < r.count; ++i) {
            kv_node_s *x = pool[r.first + i];
            require(x->category == kv_category_chance || x->category == kv_category_decision);
            if (x->kind == kv_kind_discrete) {
                require(discrete == i); // discrete nodes come first
                ++discrete;
                r.size = _kv_size_multiply(x->number_of_states, r.size);
            }
        }
        if (compiled && (r.role == KV_ROLE_CLIQUE || r.role == KV_ROLE_SEPARATOR))
            require(in.size() == r.size);
        if (r.role == KV_ROLE_NODE) {
            require(r.size != SIZE_MAX);
            Vec<kv_node_s *> list(pool.begin() + ptrdiff_t(r.first), pool.begin() + ptrdiff_t(r.first + r.count));
            list.push_back(nullptr);
            kv_table_s *t = checked(_kv_create_table(d, list.data(), r.type, KV_ROLE_NODE, 0, 0));
            r.table = t;
            t->discrete_data = in.doubles(t->size);
            if (size_t cg = _kv_size_multiply(t->size, t->cg_size))
                t->cg_data = in.doubles(cg);
            if (t->continuous_count) {
                if (!t->continuous_roles)
                    t->continuous_roles = checked(kv::allocate_array<signed char>(t->continuous_count));
                for (size_t k = 0; k < t->continuous_count; ++k) {
                    unsigned role = in.byte();
                    require(role <= unsigned(KV_ABSENT));
                    t->continuous_roles[k] = static_cast<signed char>(role);
                }
            }
        }
        tables.push_back(r);
    }

    void map_record()
    {
        MapRecord r{};
        for (size_t &x : r.ids)
            x = id(T);
        size_t source = r.ids[0] ? r.ids[0] : r.ids[1], target = r.ids[2] ? r.ids[2] : r.ids[3];
        require(source && target);
        r.hash = hash_seed;
        if (compiled) {
            r.entries = tables[source - 1].size;
            size_t limit = tables[target - 1].size;
            require(r.entries <= size_limit);
            uint16_t chunk[4096];
            for (size_t done = 0; done < r.entries;) {
                size_t k = std::min(r.entries - done, sizeof chunk / sizeof chunk[0]);
                in.bytes(chunk, k * 2);
                for (size_t i = 0; i < k; ++i) {
                    if (in.swap)
                        chunk[i] = __builtin_bswap16(chunk[i]);
                    require(chunk[i] < limit);
                }
                r.hash = hash_indices(r.hash, chunk, k);
                done += k;
            }
        }
        maps.push_back(r);
    }

    void chain_records()
    {
        for (;;) {
            unsigned b = in.byte();
            if (b == 0)
                return;
            require(b == 1);
            ChainRecord r{};
            r.nodes_count = node_list(r.nodes_first);
            r.tables_count = in.size();
            r.tables_first = ids.size();
            for (size_t i = 0; i < r.tables_count; ++i)
                ids.push_back(id(T));
            if (structure == 2) {
                r.parent_table = id(T);
                r.parent_control = id(M);
                r.controls_first = ids.size();
                for (size_t i = 0; i < r.tables_count; ++i)
                    ids.push_back(id(M));
            }
            chains.push_back(r);
        }
    }

    // A node table of the file for the slot, checked against the node list
    // the node's parents give it.
    void attach(kv_node_s *n, kv_table_s *&slot, size_t table, int type, const Vec<kv_node_s *> &expected)
    {
        if (!table)
            return;
        TableRecord &r = tables[table - 1];
        require(r.role == KV_ROLE_NODE && !r.used && r.type == type && r.count == expected.size());
        require(std::equal(expected.begin(), expected.end(), pool.begin() + ptrdiff_t(r.first)));
        r.used = true;
        r.table->owner = n;
        slot = r.table;
    }

    kv_expression_s *expression(int depth)
    {
        unsigned op = in.byte();
        if (op == 0)
            return nullptr;
        require(depth < max_expression_depth);
        switch (op) {
        case kv_operator_number:
            return checked(kv_number_make_expression(in.number()));
        case kv_operator_label: {
            Owned<char> label(in.string());
            require(label.p != nullptr);
            return checked(kv_label_make_expression(label.p));
        }
        case kv_operator_node:
            return checked(kv_node_make_expression(fetch_node(in.size())));
        case kv_operator_boolean: {
            unsigned b = in.byte();
            require(b <= 1);
            return checked(kv_boolean_make_expression(kv_boolean_t(b)));
        }
        default:
            break;
        }
        require(op >= kv_operator_Normal && op <= kv_operator_greater_than_or_equals);
        size_t count = in.size();
        Vec<kv_expression_s *> operands;
        try {
            for (size_t i = 0; i < count; ++i) {
                // The slot first, so that a failed growth loses nothing.
                operands.push_back(nullptr);
                operands.back() = expression(depth + 1);
                require(operands.back() != nullptr);
            }
            operands.push_back(nullptr);
            kv_expression_s *e = kv_make_composite_expression(kv_operator_t(op), operands.data());
            if (!e)
                api(kv_error_code() ? kv_error_code() : kv_error_no_memory);
            return e;
        } catch (...) {
            for (kv_expression_s *e : operands)
                if (e)
                    kv_expression_delete(e);
            throw;
        }
    }

    void model(kv_node_s *n)
    {
        unsigned present = in.byte();
        require(present <= 1);
        if (!present)
            return;
        size_t first;
        size_t count = node_list(first);
        Vec<kv_node_s *> list(pool.begin() + ptrdiff_t(first), pool.begin() + ptrdiff_t(first + count));
        pool.resize(first);
        list.push_back(nullptr);
        kv_model_s *m = checked(kv_node_new_model(n, list.data()));
        size_t size = 1;
        for (size_t i = 0; i < count; ++i)
            size = _kv_size_multiply(list[i]->number_of_states, size);
        require(size <= size_limit);
        Vec<kv_expression_s *> slots;
        try {
            for (size_t i = 0; i < size; ++i) {
                slots.push_back(nullptr);
                slots.back() = expression(0);
            }
            for (size_t i = 0; i < size; ++i)
                if (slots[i]) {
                    api(kv_model_set_expression(m, i, slots[i]));
                    slots[i] = nullptr; // held by the model now
                }
        } catch (...) {
            for (kv_expression_s *e : slots)
                if (e)
                    kv_expression_delete(e);
            throw;
        }
        api(kv_model_set_number_of_samples_per_interval(m, in.size()));
        unsigned touched = in.byte();
        require(touched <= 1);
        m->touched = int(touched);
    }

    void add_parents(kv_node_s *n, const Vec<kv_node_s *> &parents)
    {
        // Discrete parents go to the front of the list as they are added and
        // continuous ones to the end: add the discrete ones last first.
        for (size_t i = parents.size(); i-- > 0;)
            if (parents[i]->kind == kv_kind_discrete)
                api(kv_node_add_parent(n, parents[i]));
        for (kv_node_s *p : parents)
            if (p->kind == kv_kind_continuous)
                api(kv_node_add_parent(n, p));
        require(_kv_node_list_length(n->parents) == parents.size() &&
                std::equal(parents.begin(), parents.end(), n->parents));
    }

    void structure_record(kv_node_s *n)
    {
        NodeRecord &r = node_records[n->index - 1];
        size_t first;
        size_t count = node_list(first);
        Vec<kv_node_s *> parents(pool.begin() + ptrdiff_t(first), pool.begin() + ptrdiff_t(first + count));
        pool.resize(first);
        add_parents(n, parents);
        r.children_count = node_list(r.children_first);
        bool chance = n->category == kv_category_chance, utility = n->category == kv_category_utility;
        bool decision = n->category == kv_category_decision, discrete = n->kind == kv_kind_discrete;
        if (chance || utility) {
            // Discrete parents, the node, continuous parents; utility tables
            // range over the parents only.
            Vec<kv_node_s *> expected;
            size_t p = 0;
            for (; p < parents.size() && parents[p]->kind == kv_kind_discrete; ++p)
                expected.push_back(parents[p]);
            if (chance)
                expected.push_back(n);
            for (; p < parents.size(); ++p)
                expected.push_back(parents[p]);
            attach(n, n->table, id(T), utility ? KV_UTILITY : KV_PROBABILITY, expected);
        }
        if (chance && discrete) {
            attach(n, n->experience_table, id(T), KV_EXPERIENCE, parents);
            attach(n, n->fading_table, id(T), KV_FADING, parents);
        }
        if ((chance && discrete) || utility)
            model(n);
        if (structure >= 1)
            r.elimination = in.size();
        if (structure < 2)
            return;
        r.jt = id(J);
        if (chance || utility)
            r.potential_control = id(M);
        if (chance || decision) {
            r.belief_table = id(T);
            r.belief_control = id(M);
        }
        if ((chance || decision) && discrete) {
            r.finding_clique = id(C);
            r.evidence_table = id(T);
            r.evidence_control = id(M);
        }
    }

    void read()
    {
        header();
        for (size_t i = 1; i <= N; ++i)
            node_record(i);
        if (password_present)
            password_record();
        for (size_t i = 0; i < T; ++i)
            table_record();
        for (size_t i = 0; i < M; ++i)
            map_record();
        chain_records();
        for (size_t i = 0; i < C; ++i) {
            clique_tables.push_back(id(T));
            clique_tables.push_back(id(T));
        }
        for (size_t i = 0; i < J; ++i) {
            size_t root = in.size();
            require(root >= 1 && root <= C);
            roots.push_back(root);
        }
        for (kv_node_s *n = d->first_node; n; n = n->next)
            structure_record(n);
        neighbour_first.assign(C, 0);
        neighbour_count.assign(C, 0);
        // The domain's clique list runs from the highest number down.
        for (size_t k = C; k >= 1; --k) {
            neighbour_first[k - 1] = ids.size();
            for (;;) {
                size_t other = id(C);
                if (!other)
                    break;
                require(structure == 2);
                ids.push_back(other);
                ids.push_back(id(M));
                ++neighbour_count[k - 1];
            }
        }
        require(in.finished()); // nothing may follow; reading on checks the CRC
    }

    // --- the rebuilt domain ---------------------------------------------

    // Children in file order, once every parent link is made.
    void children()
    {
        for (size_t i = 0; i < N; ++i) {
            kv_node_s *n = nodes[i];
            const NodeRecord &r = node_records[i];
            require(_kv_node_list_length(n->children) == r.children_count);
            for (size_t k = 0; k < r.children_count; ++k)
                require(_kv_node_in_list(n->children, pool[r.children_first + k]));
            if (r.children_count)
                std::memcpy(n->children, pool.data() + r.children_first, r.children_count * sizeof(kv_node_s *));
        }
    }

    Vec<kv_chain_block_s *> blocks; // in file order

    void chain_potentials()
    {
        Vec<size_t> group; // per potential of every record: its linked group's size
        for (const ChainRecord &r : chains) {
            require(r.nodes_count >= 2 && r.tables_count >= 1);
            _kv_mark_nodes_range(r);
            for (size_t j = 0; j < r.tables_count; ++j) {
                size_t t = ids[r.tables_first + j];
                require(t != 0);
                TableRecord &tr = tables[t - 1];
                require(tr.role == KV_ROLE_NODE && !tr.used && tr.type == KV_PROBABILITY);
                tr.used = true;
                size_t k = 0;
                while (k < tr.count && pool[tr.first + tr.count - 1 - k]->mark)
                    ++k;
                group.push_back(k);
            }
            for (size_t k = 0; k < r.nodes_count; ++k)
                pool[r.nodes_first + k]->mark = 0;
        }
        size_t g = 0;
        for (const ChainRecord &r : chains)
            for (size_t j = 0; j < r.tables_count; ++j)
                api(_kv_domain_add_chain_potential(d, tables[ids[r.tables_first + j] - 1].table, group[g++]));
        for (const ChainRecord &r : chains) {
            kv_chain_block_s *b = pool[r.nodes_first]->chain_block;
            require(b && std::find(blocks.begin(), blocks.end(), b) == blocks.end());
            require(_kv_node_list_length(b->nodes) == r.nodes_count);
            for (size_t k = 0; k < r.nodes_count; ++k)
                require(pool[r.nodes_first + k]->chain_block == b);
            size_t count = 0;
            while (b->potentials[count])
                ++count;
            require(count == r.tables_count);
            for (size_t j = 0; j < r.tables_count; ++j) {
                kv_table_s *t = tables[ids[r.tables_first + j] - 1].table;
                require(std::find(b->potentials, b->potentials + count, t) != b->potentials + count);
            }
            std::memcpy(b->nodes, pool.data() + r.nodes_first, r.nodes_count * sizeof(kv_node_s *));
            for (size_t j = 0; j < r.tables_count; ++j)
                b->potentials[j] = tables[ids[r.tables_first + j] - 1].table;
            blocks.push_back(b);
        }
        size_t existing = 0;
        for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next)
            ++existing;
        require(existing == blocks.size());
        for (size_t i = 0; i < blocks.size(); ++i)
            blocks[i]->next = i + 1 < blocks.size() ? blocks[i + 1] : nullptr;
        d->chain_blocks = blocks.empty() ? nullptr : blocks[0];
    }

    void _kv_mark_nodes_range(const ChainRecord &r)
    {
        for (size_t k = 0; k < r.nodes_count; ++k)
            pool[r.nodes_first + k]->mark = 1;
    }

    // Chance and decision nodes, first eliminated first.
    Vec<kv_node_s *> elimination_order()
    {
        size_t cd = d->number_of_chance_nodes + d->number_of_decision_nodes;
        Vec<char> seen(N + 1, 0);
        Vec<kv_node_s *> order(cd + 1, nullptr);
        for (size_t i = 0; i < N; ++i) {
            size_t e = node_records[i].elimination;
            require(e >= 1 && e <= N && !seen[e]);
            seen[e] = 1;
            bool utility = nodes[i]->category == kv_category_utility;
            require(utility == (e > cd));
            if (!utility)
                order[cd - e] = nodes[i];
        }
        return order;
    }

    void triangulation()
    {
        Vec<kv_node_s *> order = elimination_order();
        if (C == 0) {
            // A triangulation by a given order: its fill-ins follow from it.
            api(kv_domain_triangulate_with_order(d, order.data()));
            for (size_t i = 0; i < N; ++i)
                require(nodes[i]->elimination_number == node_records[i].elimination);
            return;
        }
        api(_kv_domain_moralize(d));
        for (size_t i = 0; i < N; ++i)
            nodes[i]->elimination_number = node_records[i].elimination;
        // Decisions and the nodes observed before them keep their order.
        size_t previous = SIZE_MAX;
        for (size_t i = 0; order[i]; ++i) {
            require(order[i]->elimination_index <= previous);
            previous = order[i]->elimination_index;
        }
        for (size_t k = 1; k <= C; ++k) {
            size_t pid = clique_tables[2 * k - 2], uid = clique_tables[2 * k - 1];
            require(pid != 0);
            TableRecord &pr = tables[pid - 1];
            require(pr.role == KV_ROLE_CLIQUE && pr.type == KV_PROBABILITY && !pr.used && pr.count > 0);
            pr.used = true;
            Vec<kv_node_s *> list(pool.begin() + ptrdiff_t(pr.first), pool.begin() + ptrdiff_t(pr.first + pr.count));
            list.push_back(nullptr);
            kv_table_s *t = checked(_kv_create_table(d, list.data(), KV_PROBABILITY, KV_ROLE_CLIQUE, 0, 0));
            api(_kv_make_clique(t));
            kv_clique_s *c = d->first_clique;
            require(c->number == k);
            pr.table = t;
            require((uid != 0) == (c->utility_table != nullptr));
            if (uid) {
                TableRecord &ur = tables[uid - 1];
                require(ur.role == KV_ROLE_CLIQUE && ur.type == KV_UTILITY && !ur.used && ur.count == pr.count &&
                        std::equal(pool.begin() + ptrdiff_t(ur.first), pool.begin() + ptrdiff_t(ur.first + ur.count),
                                   pool.begin() + ptrdiff_t(pr.first)));
                ur.used = true;
                ur.table = c->utility_table;
            }
        }
        check_cliques();
    }

    // The stored cliques must be those of the stored elimination order: with
    // H the graph in which every clique is complete, H holds the moral
    // graph, and for each node x the set S(x) of x and its neighbours in H
    // eliminated after it lies in one clique (the order eliminates H without
    // fill-ins), and every clique is S of its first eliminated member.
    void check_cliques()
    {
        Vec<Vec<kv_clique_s *>> of(N + 1);
        Vec<kv_node_s *> first(C + 1, nullptr); // by clique number
        for (kv_clique_s *c = d->first_clique; c; c = c->next)
            for (kv_node_s **m = c->probability_table->nodes; *m; ++m) {
                of[(*m)->index].push_back(c);
                kv_node_s *&f = first[c->number];
                if (!f || (*m)->elimination_number > f->elimination_number)
                    f = *m;
            }
        Vec<size_t> near(N + 1, 0), in_s(N + 1, 0);
        size_t stamp = 0;
        for (kv_node_s *x : nodes) {
            if (x->category == kv_category_utility)
                continue;
            require(!of[x->index].empty());
            ++stamp;
            size_t s_size = 1;
            in_s[x->index] = stamp;
            for (kv_clique_s *c : of[x->index])
                for (kv_node_s **m = c->probability_table->nodes; *m; ++m) {
                    near[(*m)->index] = stamp;
                    if ((*m)->elimination_number < x->elimination_number && in_s[(*m)->index] != stamp) {
                        in_s[(*m)->index] = stamp;
                        ++s_size;
                    }
                }
            for (kv_node_s **u = x->neighbours; u && *u; ++u)
                require(near[(*u)->index] == stamp);
            bool held = false;
            size_t starting = 0;
            for (kv_clique_s *c : of[x->index]) {
                size_t members = 0, inside = 0;
                for (kv_node_s **m = c->probability_table->nodes; *m; ++m, ++members)
                    inside += in_s[(*m)->index] == stamp;
                held = held || inside == s_size;
                if (first[c->number] == x) {
                    require(inside == s_size && members == s_size);
                    ++starting;
                }
            }
            require(held && starting <= 1);
        }
    }

    void verify()
    {
        Binder tb(T), cb(M);
        for (size_t i = 0; i < T; ++i)
            if (tables[i].table)
                tb.bind(i + 1, tables[i].table);
        auto table = [&](size_t id, const kv_table_s *t) {
            if (!tb.bind(id, t))
                return;
            const TableRecord &r = tables[id - 1];
            require(r.type == t->type && r.role == t->role && r.count == _kv_node_list_length(t->nodes) &&
                    std::equal(t->nodes, t->nodes + r.count, pool.begin() + ptrdiff_t(r.first)));
            require(!compiled || (r.role != KV_ROLE_CLIQUE && r.role != KV_ROLE_SEPARATOR) || r.size == t->size);
        };
        auto number = [](const auto *x) { return x ? x->number : size_t(0); };
        require(d->number_of_junction_trees == J && d->number_of_controls == M);
        for (kv_junction_tree_s *jt = d->first_junction_tree; jt; jt = jt->next)
            require(jt->number >= 1 && jt->number <= J && roots[jt->number - 1] == jt->root->number);
        for (kv_clique_s *c = d->first_clique; c; c = c->next) {
            size_t k = c->number;
            table(clique_tables[2 * k - 2], c->probability_table);
            table(clique_tables[2 * k - 1], c->utility_table);
            size_t i = 0, f = neighbour_first[k - 1];
            for (kv_neighbor_s *b = c->neighbors; b; b = b->next, ++i) {
                require(i < neighbour_count[k - 1] && ids[f + 2 * i] == b->clique->number);
                cb.bind(ids[f + 2 * i + 1], b->control);
            }
            require(i == neighbour_count[k - 1]);
        }
        for (size_t i = 0; i < N; ++i) {
            kv_node_s *n = nodes[i];
            const NodeRecord &r = node_records[i];
            bool chance = n->category == kv_category_chance, utility = n->category == kv_category_utility;
            bool decision = n->category == kv_category_decision, discrete = n->kind == kv_kind_discrete;
            require(r.jt == number(n->junction_tree));
            if (chance || utility)
                cb.bind(r.potential_control, n->potential_control);
            if (chance || decision) {
                table(r.belief_table, n->belief_table);
                cb.bind(r.belief_control, n->belief_control);
            }
            if ((chance || decision) && discrete) {
                require(r.finding_clique == number(n->finding_clique));
                table(r.evidence_table, n->evidence_table);
                cb.bind(r.evidence_control, n->evidence_control);
            }
        }
        for (size_t i = 0; i < chains.size(); ++i) {
            const ChainRecord &r = chains[i];
            kv_chain_block_s *b = blocks[i];
            table(r.parent_table, b->parent_table);
            cb.bind(r.parent_control, b->parent_control);
            for (size_t j = 0; j < r.tables_count; ++j)
                cb.bind(ids[r.controls_first + j], b->potential_controls ? b->potential_controls[j] : nullptr);
        }
        for (size_t id = 1; id <= M; ++id) {
            const kv_control_s *c = static_cast<const kv_control_s *>(cb.by_id[id]);
            require(c != nullptr);
            const MapRecord &r = maps[id - 1];
            table(r.ids[0], c->big_probability);
            table(r.ids[1], c->big_utility);
            table(r.ids[2], c->small_probability);
            table(r.ids[3], c->small_utility);
            if (!compiled)
                continue;
            require(r.entries == _kv_control_big(c)->size);
            uint64_t h = hash_seed;
            Vec<uint16_t> narrow;
            for_each_control_index(c, [&](const uint32_t *index, size_t n) {
                narrow.resize(n);
                for (size_t k = 0; k < n; ++k)
                    narrow[k] = uint16_t(index[k]);
                h = hash_indices(h, narrow.data(), n);
            });
            require(h == r.hash);
        }
    }

    void evidence()
    {
        for (size_t i = 0; i < N; ++i) {
            kv_node_s *n = nodes[i];
            const NodeRecord &r = node_records[i];
            if (n->kind == kv_kind_continuous) {
                if (r.evidence)
                    api(kv_node_enter_value(n, r.value));
                continue;
            }
            switch (r.evidence) {
            case 1:
                api(kv_node_select_state(n, r.state));
                break;
            case 2:
                // One state with another weight than 1: the others stay 0.
                api(kv_node_select_state(n, r.state));
                api(kv_node_enter_finding(n, r.state, r.value));
                break;
            case 3:
                for (size_t s = 0; s < n->number_of_states; ++s)
                    api(kv_node_enter_finding(n, s, r.likelihood.p[s]));
                break;
            default:
                break;
            }
        }
    }

    // The tables of a compiled domain were normalised by its compilation
    // and are used as they are: they must be what that leaves.
    void check_tables()
    {
        for (kv_node_s *n : nodes) {
            const kv_table_s *t = n->table;
            if (n->category != kv_category_chance || !t || t->continuous_count || !t->discrete_count)
                continue;
            const double *v = t->discrete_data;
            size_t k = t->nodes[t->discrete_count - 1]->number_of_states;
            for (size_t start = 0; start < t->size; start += k) {
                double sum = 0.0;
                for (size_t s = 0; s < k; ++s) {
                    require(v[start + s] >= 0.0);
                    sum += v[start + s];
                }
                require(sum > 0.0);
            }
        }
    }

    void rebuild()
    {
        children();
        chain_potentials();
        for (const TableRecord &r : tables)
            require(r.role != KV_ROLE_NODE || r.used); // every node table has its owner
        if (structure >= 1)
            triangulation();
        if (compiled)
            check_tables();
        if (structure == 2 || compiled) {
            d->tables_normalised = compiled;
            int status = _kv_compile_saved_forest(d, compiled);
            d->tables_normalised = 0;
            api(status);
        }
        if (structure == 2)
            verify();
        evidence();
    }

    bool password_present = false;
};

kv_domain_s *load(const char *file_name, const char *password)
{
    kv_domain_s *d = kv_new_domain();
    if (!d)
        return nullptr;
    int status = kv_error_none;
    gzFile file = nullptr;
    try {
        d->file_name = checked(_kv_allocate_string(file_name));
        file = gzopen(file_name, "rb");
        if (!file)
            fail(kv_error_io);
        gzbuffer(file, 1 << 18);
        In in{file};
        Reader reader(in, password, d);
        reader.read();
        int closed = gzclose_r(file);
        file = nullptr;
        if (closed != Z_OK)
            fail(kv_error_io);
        reader.rebuild();
    } catch (const Fail &f) {
        status = f.code;
    } catch (const std::bad_alloc &) {
        status = kv_error_no_memory;
    }
    if (file)
        gzclose_r(file);
    if (status) {
        kv_domain_delete(d);
        _kv_set_error_code(status);
        return nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return d;
}

} // namespace

kv_domain_t kv_kb_load_domain(kv_string_t file_name, kv_string_t password)
{
    if (_kv_set_error_code(!file_name))
        return nullptr;
    return kv::guard_ptr([&] { return load(file_name, password); });
}

kv_domain_t kv_load_domain(kv_string_t file_name)
{
    return kv_kb_load_domain(file_name, nullptr);
}
