// The NET writer: domains, classes and class collections as text that the
// readers turn back into the same network, in a fixed layout.
#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/api.h"
#include "core/attribute.h"
#include "core/chain_block.h"
#include "core/memory.h"
#include "core/node_list.h"
#include "expr/expression.h"
#include "parser.h"
#include "table/table.h"
#include "writer.h"

namespace {

template <class V> using Vec = std::vector<V, kv::ScratchAlloc<V>>;

// A failure that stops the writer, with its error code.
struct Stop {
    int code;
};

const char *name_of(kv_node_s *n)
{
    const char *name = kv_node_get_name(n);
    if (!name)
        throw Stop{kv_error_code()};
    return name;
}

void number(std::string &out, double v)
{
    if (!std::isfinite(v))
        throw Stop{kv_error_format}; // no reader takes it back
    _kv_write_number(out, v, "%G");
}

struct Writer {
    std::string &out;
    bool in_class;
    const char *P, *A, *T;

    Writer(std::string &text, bool cls)
        : out(text), in_class(cls), P(cls ? "    " : ""), A(cls ? "\t" : "    "), T(cls ? "\t\t" : "\t")
    {
    }

    void attributes(const kv_attribute_s *a, const char *prefix)
    {
        for (; a; a = a->next) {
            out += prefix;
            out += a->key;
            out += " = ";
            _kv_write_string(out, a->value);
            out += ";\n";
        }
    }

    void node_list(const char *prefix, const char *key, kv_node_s *const *nodes)
    {
        out += prefix;
        out += key;
        out += " = (";
        for (size_t i = 0; nodes && nodes[i]; ++i) {
            if (i)
                out += ' ';
            out += name_of(nodes[i]);
        }
        out += ");\n";
    }

    void header(kv_domain_s *d)
    {
        if (in_class) {
            const char *name = kv_class_get_name(d);
            if (!name)
                throw Stop{kv_error_code()};
            out += "class ";
            out += name;
            out += "\n{\n";
            node_list("    ", "inputs", d->inputs);
            node_list("    ", "outputs", d->outputs);
        } else {
            out += "net\n{\n";
        }
        out += "    node_size = (" + std::to_string(d->node_width) + " " + std::to_string(d->node_height) + ");\n";
        attributes(d->attributes, "    ");
        if (!in_class)
            out += "}\n";
    }

    void label_and_position(kv_node_s *n)
    {
        if (n->label) {
            out += A;
            out += "label = ";
            _kv_write_string(out, n->label);
            out += ";\n";
        }
        if (n->position_x || n->position_y) {
            char buffer[64];
            std::snprintf(buffer, sizeof buffer, "%sposition = (%ld %ld);\n", A, long(n->position_x),
                          long(n->position_y));
            out += buffer;
        }
    }

    void instance(kv_node_s *n, const std::unordered_set<const kv_node_s *> &bound)
    {
        kv_domain_s *c = n->instance_class;
        const char *class_name = kv_class_get_name(c);
        if (!class_name)
            throw Stop{kv_error_code()};
        out += '\n';
        out += P;
        out += "instance ";
        out += name_of(n);
        out += " : ";
        out += class_name;
        out += " (";
        bool first = true;
        for (size_t i = 0; c->inputs && c->inputs[i] && i < n->number_of_input_bindings; ++i) {
            kv_node_s *actual = n->input_bindings[i];
            if (!actual)
                continue;
            if (!first)
                out += ", ";
            first = false;
            out += name_of(c->inputs[i]);
            out += " = ";
            out += name_of(actual);
        }
        first = true;
        for (size_t j = 0; c->outputs && c->outputs[j]; ++j) {
            kv_node_s *clone = n->output_clones[j];
            bool needed = clone->name || (clone->children && clone->children[0]) || bound.count(clone);
            if (!needed)
                continue;
            out += first ? "; " : ", ";
            first = false;
            out += name_of(clone);
            out += " = ";
            out += name_of(c->outputs[j]);
        }
        out += ")\n";
        out += P;
        out += "{\n";
        label_and_position(n);
        attributes(n->attributes, A);
        out += P;
        out += "}\n";
    }

    void declaration(kv_node_s *n)
    {
        out += '\n';
        out += P;
        if (n->kind == kv_kind_continuous)
            out += "continuous ";
        out += n->category == kv_category_decision ? "decision " : n->category == kv_category_utility ? "utility " : "node ";
        out += name_of(n);
        out += '\n';
        out += P;
        out += "{\n";
        label_and_position(n);
        if (_kv_node_is_discrete_chance_or_decision(n)) {
            out += A;
            out += "states = (";
            for (size_t s = 0; s < n->number_of_states; ++s) {
                if (s)
                    out += ' ';
                const char *label = n->state_labels ? n->state_labels[s] : nullptr;
                _kv_write_string(out, label ? label : "");
            }
            out += ");\n";
            if (n->subtype != kv_subtype_label || n->model) {
                out += A;
                switch (n->subtype) {
                case kv_subtype_label: out += "subtype = label;\n"; break;
                case kv_subtype_boolean: out += "subtype = boolean;\n"; break;
                case kv_subtype_number: out += "subtype = number;\n"; break;
                case kv_subtype_interval: out += "subtype = interval;\n"; break;
                default: throw Stop{kv_error_error};
                }
            }
            bool numeric = n->subtype == kv_subtype_number || n->subtype == kv_subtype_interval;
            if (numeric && n->state_values) {
                out += A;
                out += "state_values = (";
                size_t count = n->number_of_states + (n->subtype == kv_subtype_interval);
                for (size_t s = 0; s < count; ++s) {
                    if (s)
                        out += ' ';
                    double v = n->state_values[s];
                    if (std::isnan(v))
                        throw Stop{kv_error_format};
                    _kv_write_state_value(out, v);
                }
                out += ");\n";
            }
        }
        attributes(n->attributes, A);
        out += P;
        out += "}\n";
    }

    // ----- tables -----
    struct TableText {
        const kv_table_s *t;
        size_t commented;
        bool one_per_line; // every innermost item on a line of its own
        Vec<size_t> strides;
    };

    void comment(const TableText &x, size_t index)
    {
        if (!x.commented)
            return;
        out += "\t%";
        for (size_t k = 0; k < x.commented; ++k) {
            kv_node_s *n = x.t->nodes[k];
            out += "  ";
            out += name_of(n);
            out += '=';
            // A label may hold a newline, which would end the comment.
            size_t from = out.size();
            _kv_write_state_identification(out, n, (index / x.strides[k]) % n->number_of_states);
            if (std::any_of(out.begin() + long(from), out.end(), [](char c) { return std::iscntrl(static_cast<unsigned char>(c)); })) {
                std::string raw = out.substr(from);
                out.resize(from);
                for (unsigned char c : raw) {
                    if (std::iscntrl(c)) {
                        char buffer[8];
                        std::snprintf(buffer, sizeof buffer, "\\%03o", unsigned(c));
                        out += buffer;
                    } else {
                        out += char(c);
                    }
                }
            }
        }
    }

    void cg_entry(const kv_table_s *t, size_t i)
    {
        const double *block = t->cg_data ? t->cg_data + i * t->cg_size : nullptr;
        double mean = block ? block[_kv_cg_mean_offset(0)] : 0.0;
        double variance = block ? block[_kv_cg_cov_offset(0, 0)] : 0.0;
        out += "normal ( ";
        bool written = false;
        if (mean != 0) {
            number(out, mean);
            written = true;
        }
        for (size_t k = 1; k < t->continuous_count; ++k) {
            double c = block ? block[_kv_cg_cov_offset(k, 0)] : 0.0;
            if (c == 0)
                continue;
            if (c < 0) {
                out += written ? " - " : "-";
                c = -c;
            } else if (written) {
                out += " + ";
            }
            if (c != 1) {
                number(out, c);
                out += " * ";
            }
            out += name_of(t->nodes[t->discrete_count + k]);
            written = true;
        }
        if (!written)
            out += '0';
        out += ", ";
        number(out, variance);
        out += " )";
    }

    void item(const kv_table_s *t, size_t i)
    {
        if (t->continuous_count)
            cg_entry(t, i);
        else
            number(out, t->discrete_data ? t->discrete_data[i] : 1.0);
    }

    void level(const TableText &x, size_t l, size_t &index)
    {
        const kv_table_s *t = x.t;
        bool innermost = l + 1 == t->discrete_count;
        size_t k = t->nodes[l]->number_of_states;
        out += '(';
        for (size_t s = 0; s < k; ++s) {
            if (s && (!innermost || x.one_per_line)) {
                comment(x, index - 1);
                out += '\n';
                out += T;
                out.append(l, ' ');
            }
            if (innermost) {
                out += ' ';
                item(t, index++);
            } else {
                level(x, l + 1, index);
            }
        }
        if (innermost)
            out += ' ';
        out += ')';
    }

    // The table and its terminator ";" with the last comment and newline.
    void table(const kv_table_s *t)
    {
        if (t->discrete_count == 0) {
            item(t, 0);
            out += ";\n";
            return;
        }
        TableText x{t, 0, false, {}};
        bool probability = t->type == KV_PROBABILITY;
        x.commented = probability && !t->continuous_count ? t->discrete_count - 1 : t->discrete_count;
        x.one_per_line = !probability || t->continuous_count;
        x.strides.resize(t->discrete_count);
        size_t stride = 1;
        for (size_t k = t->discrete_count; k-- > 0;) {
            x.strides[k] = stride;
            stride *= t->nodes[k]->number_of_states;
        }
        size_t index = 0;
        level(x, 0, index);
        out += ';';
        comment(x, index - 1);
        out += '\n';
    }

    static bool fits_on_one_line(const kv_table_s *t)
    {
        return t->discrete_count == 0 ||
               (t->type == KV_PROBABILITY && t->discrete_count == 1 && t->continuous_count == 0);
    }

    void potential(kv_node_s *n)
    {
        out += '\n';
        out += P;
        out += "potential (";
        out += name_of(n);
        if (n->parents && n->parents[0]) {
            out += " |";
            if (n->table) {
                for (kv_node_s **x = n->table->nodes; *x; ++x)
                    if (*x != n) {
                        out += ' ';
                        out += name_of(*x);
                    }
            } else {
                for (kv_node_s **x = n->parents; *x; ++x) {
                    out += ' ';
                    out += name_of(*x);
                }
            }
        }
        out += ')';
        if (n->category == kv_category_decision || (!n->model && !n->table)) {
            out += " {}\n";
            return;
        }
        out += '\n';
        out += P;
        out += "{\n";
        if (kv_model_s *m = n->model) {
            node_list(A, "model_nodes", m->nodes);
            if (m->samples_per_interval != 25) {
                out += A;
                out += "samples_per_interval = " + std::to_string(m->samples_per_interval) + ";\n";
            }
            if (m->expressions) {
                out += A;
                out += "model_data";
                out += m->size == 1 ? " = ( " : in_class ? "  = ( " : "\n\t    = ( ";
                for (size_t i = 0; i < m->size; ++i) {
                    if (i) {
                        out += ",\n";
                        out += T;
                        out += '\t';
                    }
                    if (kv_expression_s *e = m->expressions[i]) {
                        if (!_kv_expression_is_finite(e))
                            throw Stop{kv_error_format};
                        _kv_write_expression(out, e);
                    }
                }
                out += " );\n";
            }
        }
        if (n->table && (!n->model || !n->model->touched)) {
            out += A;
            out += "data";
            if (!fits_on_one_line(n->table)) {
                out += '\n';
                if (!in_class)
                    out += A;
            }
            out += " = ";
            table(n->table);
        }
        for (kv_table_s *t : {n->experience_table, n->fading_table}) {
            if (!t)
                continue;
            out += A;
            out += t == n->experience_table ? "experience" : "fading";
            if (!fits_on_one_line(t)) {
                out += '\n';
                if (in_class)
                    out += '\t';
                out += "    ";
            }
            out += " = ";
            table(t);
        }
        out += P;
        out += "}\n";
    }

    // A member of a chain block without table or model whose parents all
    // come with the block's potentials: those potentials say all there is,
    // and an empty potential of its own would read back as a table of ones.
    static bool linked_by_chain(const kv_node_s *n)
    {
        if (!n->chain_block || n->table || n->model)
            return false;
        for (kv_node_s **p = n->parents; p && *p; ++p) {
            bool given = false;
            for (kv_table_s **t = n->chain_block->potentials; t && *t && !given; ++t)
                given = _kv_table_node_position(*t, n) != size_t(-1) && _kv_table_node_position(*t, *p) != size_t(-1);
            if (!given)
                return false;
        }
        return true;
    }

    void chain_potentials(kv_domain_s *d)
    {
        Vec<kv_table_s *> potentials;
        for (kv_chain_block_s *b = d->chain_blocks; b; b = b->next)
            for (kv_table_s **p = b->potentials; p && *p; ++p)
                potentials.push_back(*p);
        // In the order they were registered.
        std::sort(potentials.begin(), potentials.end(),
                  [](const kv_table_s *a, const kv_table_s *b) { return a->number < b->number; });
        for (kv_table_s *t : potentials) {
            size_t first_child = t->discrete_count - _kv_chain_potential_group_size(t);
            out += '\n';
            out += P;
            out += "potential (";
            for (size_t k = first_child; k < t->discrete_count; ++k) {
                if (k > first_child)
                    out += ' ';
                out += name_of(t->nodes[k]);
            }
            if (first_child) {
                out += " |";
                for (size_t k = 0; k < first_child; ++k) {
                    out += ' ';
                    out += name_of(t->nodes[k]);
                }
            }
            out += ")\n";
            out += P;
            out += "{\n";
            out += A;
            out += "data = ";
            table(t);
            out += P;
            out += "}\n";
        }
    }

    void network(kv_domain_s *d)
    {
        header(d);
        // The actual inputs of the class's instances: their clones need a
        // name even without children.
        std::unordered_set<const kv_node_s *> bound;
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (n->category == kv_category_instance)
                for (size_t i = 0; i < n->number_of_input_bindings; ++i)
                    if (n->input_bindings[i])
                        bound.insert(n->input_bindings[i]);
        for (kv_node_s *n = d->first_node; n; n = n->next) {
            if (_kv_node_is_clone(n))
                continue;
            if (n->category == kv_category_instance)
                instance(n, bound);
            else
                declaration(n);
        }
        for (kv_node_s *n = d->first_node; n; n = n->next)
            if (!_kv_node_is_clone(n) && n->category != kv_category_instance && !linked_by_chain(n))
                potential(n);
        chain_potentials(d);
        if (in_class) {
            out += "} % class ";
            out += d->class_name;
            out += '\n';
        }
    }
};

// Writes one domain or class to the stream: 0 or the error code.
int write_net(kv_domain_s *d, FILE *stream)
{
    bool cls = _kv_domain_is_class(d);
    if (!cls)
        if (int s = _kv_convert_node_names(d))
            return s;
    kv::LocaleGuard locale;
    if (!locale.ok())
        return kv_error_code();
    kv::FileWriter file(stream);
    try {
        Writer w(file.text, cls);
        w.network(d);
    } catch (const Stop &stop) {
        return _kv_set_error_code(stop.code);
    }
    if (!file.finish() || std::fflush(stream) != 0)
        return _kv_set_error_code(kv_error_io);
    return _kv_set_error_code(kv_error_none);
}

// Sets a copy of the name as the file name of d (copied before the old one
// goes: the caller may pass d's own name).
int set_file_name(kv_domain_s *d, const char *name)
{
    char *copy = _kv_allocate_string(name);
    if (!copy)
        return kv_error_no_memory;
    std::free(d->file_name);
    d->file_name = copy;
    return kv_error_none;
}

int save(kv_domain_s *d, const char *file_name)
{
    FILE *f = std::fopen(file_name, "w");
    if (!f)
        return _kv_set_error_code(kv_error_io);
    int s = write_net(d, f);
    if (std::fclose(f) != 0 && !s)
        s = kv_error_io;
    if (s)
        return _kv_set_error_code(s);
    return _kv_set_error_code(set_file_name(d, file_name));
}

} // namespace

kv_status_t kv_domain_write_net(kv_domain_t d, FILE *stream)
{
    if (_kv_set_error_code(!d || !stream))
        return kv_error_usage;
    return kv::guard_status([&] { return write_net(d, stream); });
}

kv_status_t kv_domain_save_as_net(kv_domain_t d, kv_string_t file_name)
{
    if (_kv_set_error_code(!d || !file_name))
        return kv_error_usage;
    return kv::guard_status([&] { return save(d, file_name); });
}

kv_status_t kv_class_save_as_net(kv_class_t c, kv_string_t file_name)
{
    if (_kv_set_error_code(!c || !_kv_domain_is_class(c) || !file_name))
        return kv_error_usage;
    return kv::guard_status([&] { return save(c, file_name); });
}

kv_status_t kv_cc_save_as_net(kv_class_collection_t cc, kv_string_t file_name)
{
    if (_kv_set_error_code(!cc || !file_name))
        return kv_error_usage;
    return kv::guard_status([&]() -> int {
        kv_class_t *members = kv_cc_get_members(cc);
        if (!members)
            return kv_error_code();
        size_t count = 0;
        while (members[count])
            ++count;
        // A class waits for the classes it instantiates: its counter is the
        // number of its instance nodes not yet written.
        std::vector<long, kv::ScratchAlloc<long>> waiting(count);
        for (size_t i = 0; i < count; ++i)
            waiting[i] = long(members[i]->number_of_instance_nodes);
        auto position = [&](const kv_domain_s *c) {
            return size_t(std::find(members, members + count, c) - members);
        };
        FILE *f = std::fopen(file_name, "w");
        if (!f)
            return _kv_set_error_code(kv_error_io);
        int s = kv_error_none;
        for (size_t written = 0; written < count && !s; ++written) {
            size_t next = 0;
            while (next < count && waiting[next] != 0)
                ++next;
            if (next == count) {
                s = kv_error_error; // an instance of a class outside the collection
                break;
            }
            if (written && std::fputc('\n', f) == EOF) {
                s = kv_error_io;
                break;
            }
            s = write_net(members[next], f);
            waiting[next] = -1;
            if (members[next]->instances)
                for (kv_node_s **i = members[next]->instances; *i; ++i)
                    --waiting[position((*i)->home)];
        }
        if (std::fclose(f) != 0 && !s)
            s = kv_error_io;
        if (s)
            return _kv_set_error_code(s);
        for (size_t i = 0; i < count; ++i)
            if (int e = set_file_name(members[i], file_name))
                return _kv_set_error_code(e);
        return _kv_set_error_code(kv_error_none);
    });
}
