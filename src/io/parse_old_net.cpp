// The old keyword-less NET format: a header, then one entry per
// node with its label, position, states, parents and nested table.  A node
// named as a parent before its own entry is made on the spot; its
// number of states is inferred from the groups of the first table that
// uses it.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>

#include "core/api.h"
#include "core/node_list.h"
#include "net_grammar.h"
#include "table/table.h"

namespace kv {

namespace {

struct OldNode {
    kv_node_s *node;
    std::string name; // as written
    size_t used_line = 0;    // first use as a parent, 0 if none
    size_t defined_line = 0; // where its own entry was read, 0 until then
    bool states_known = false;
};

struct OldParse {
    Parser &p;
    std::unordered_map<std::string, OldNode *> by_name;
    Vec<OldNode *> nodes; // in creation order; owned
    ~OldParse()
    {
        for (OldNode *n : nodes)
            delete n;
    }
};

const char *line_text(char (&buffer)[32], size_t line)
{
    std::snprintf(buffer, sizeof buffer, "%zu", line);
    return buffer;
}

// The node of an old name, made (as a discrete chance node of unknown
// states, used at the current line) if it is new.
OldNode *retrieve_node(OldParse &op, const char *name, bool as_parent)
{
    Parser &p = op.p;
    auto it = op.by_name.find(name);
    if (it != op.by_name.end()) {
        if (as_parent && !it->second->used_line)
            it->second->used_line = p.token_line;
        return it->second;
    }
    kv_node_s *n = kv_domain_new_node(p.target, kv_category_chance, kv_kind_discrete);
    if (!n) {
        api_error(p, kv_error_code());
        return nullptr;
    }
    // Old names may hold `.', `-', `+' and `/': the node gets the name made
    // valid as names are before saving.
    if (int s = _kv_set_converted_name(n, name)) {
        api_error(p, s);
        return nullptr;
    }
    OldNode *o = new OldNode{n, name};
    op.nodes.push_back(o);
    op.by_name.emplace(o->name, o);
    if (as_parent)
        o->used_line = p.token_line;
    return o;
}

int parse_old_net_info(Parser &p)
{
    int t = next_token(p);
    if (!is_name(t))
        return unexpected(p, t, "name expected");
    if (int s = kv_domain_set_attribute(p.target, "name", p.text_value()))
        return api_error(p, s);
    t = next_token(p);
    if (t != T_STRING)
        return unexpected(p, t, "string expected");
    if (int s = kv_domain_set_attribute(p.target, "label", p.text_value()))
        return api_error(p, s);
    double numbers[3];
    for (double &x : numbers) {
        t = next_token(p);
        if (t != T_NUMBER)
            return unexpected(p, t, "number expected");
        x = p.number;
    }
    if (numbers[0] < 0 || numbers[1] < 0 || numbers[2] < 0)
        return fatal(p, kv_error_parse, "node width and height, and scale factor must be nonnegative");
    kv_domain_set_node_size(p.target, truncated<size_t>(numbers[0], 0, SIZE_MAX),
                            truncated<size_t>(numbers[1], 0, SIZE_MAX));
    return kv_error_none;
}

// One group of the nested table data at `level' (its `(' already read).  A
// node whose states are unknown takes the number of items of its first
// group; every later group must have that many.
int read_group(OldParse &op, Vec<OldNode *> &nodes, Vec<size_t> &counts, size_t level, Vec<double> &data)
{
    Parser &p = op.p;
    bool last = level + 1 == nodes.size();
    size_t items = 0;
    for (;;) {
        int t = next_token(p);
        if (t == ')' && (counts[level] == 0 ? items > 0 : items == counts[level]))
            break;
        if (counts[level] && items == counts[level])
            return unexpected(p, t, "`)' expected");
        if (last) {
            if (t != T_NUMBER)
                return unexpected(p, t, "number expected");
            if (p.number < 0)
                counted(p, "probabilities may not be negative");
            data.push_back(p.number);
        } else {
            if (t != '(')
                return unexpected(p, t, "`(' expected");
            if (int s = read_group(op, nodes, counts, level + 1, data))
                return s;
        }
        ++items;
    }
    if (counts[level] == 0)
        counts[level] = items;
    return kv_error_none;
}

int parse_states_checked(OldParse &op, OldNode &o)
{
    Parser &p = op.p;
    Vec<Vec<char>> labels;
    if (int s = read_state_labels(p, labels))
        return s;
    kv_node_s *n = o.node;
    if (o.states_known && labels.size() != n->number_of_states) {
        char given[32], line[32];
        std::snprintf(given, sizeof given, "%zu", labels.size());
        counted(p, "number of states (%s) does not match previous usage (line %s)", given,
                line_text(line, o.used_line));
    }
    if (int s = kv_node_set_number_of_states(n, labels.size()))
        return api_error(p, s);
    for (size_t i = 0; i < labels.size(); ++i)
        if (int s = kv_node_set_state_label(n, i, labels[i].data()))
            return api_error(p, s);
    o.states_known = true;
    return kv_error_none;
}

int parse_old_node_spec(OldParse &op, OldNode &o)
{
    Parser &p = op.p;
    kv_node_s *n = o.node;
    int t = next_token(p);
    if (t != T_STRING)
        return unexpected(p, t, "string expected");
    if (int s = kv_node_set_label(n, p.text_value()))
        return api_error(p, s);
    double x, y;
    for (double *v : {&x, &y}) {
        t = next_token(p);
        if (t != T_NUMBER)
            return unexpected(p, t, "number expected");
        *v = p.number;
    }
    kv_node_set_position(n, truncated<int>(x, INT_MIN, INT_MAX), truncated<int>(y, INT_MIN, INT_MAX));
    if (int s = parse_states_checked(op, o))
        return s;

    Vec<OldNode *> family;
    for (;;) {
        t = next_token(p);
        if (t == '(')
            break;
        if (!is_name(t))
            return unexpected(p, t, "parent node name or a left parenthesis expected");
        OldNode *parent = retrieve_node(op, p.text_value(), true);
        if (!parent)
            return p.status;
        if (_kv_node_in_list(n->parents, parent->node))
            return fatal(p, kv_error_parse, "node `%s' appears twice as a parent of `%s'", parent->name.c_str(),
                         o.name.c_str());
        int s = kv_node_add_parent(n, parent->node);
        if (s == kv_error_cyclic_network)
            return fatal(p, s, "adding the link %s --> %s creates a directed cycle", parent->name.c_str(),
                         o.name.c_str());
        if (s)
            return api_error(p, s);
        family.push_back(parent);
    }
    // The parents in the order written (insertion puts discrete ones first
    // in reverse).
    for (size_t i = 0; i < family.size(); ++i)
        n->parents[i] = family[i]->node;
    family.push_back(&o);

    Vec<size_t> counts(family.size());
    for (size_t i = 0; i < family.size(); ++i)
        counts[i] = family[i]->states_known ? family[i]->node->number_of_states : 0;
    Vec<double> data;
    if (int s = read_group(op, family, counts, 0, data))
        return s;
    for (size_t i = 0; i < family.size(); ++i)
        if (!family[i]->states_known) {
            if (int s = kv_node_set_number_of_states(family[i]->node, counts[i]))
                return api_error(p, s);
            family[i]->states_known = true;
        }

    Vec<kv_node_s *> nodes;
    for (OldNode *f : family)
        nodes.push_back(f->node);
    nodes.push_back(nullptr);
    kv_table_s *table = _kv_create_table(p.target, nodes.data(), KV_PROBABILITY, KV_ROLE_NODE, 0, 1);
    if (!table)
        return api_error(p, kv_error_code());
    table->owner = n;
    _kv_free_table(n->table);
    n->table = table;
    std::copy(data.begin(), data.end(), table->discrete_data);
    return kv_error_none;
}

} // namespace

int parse_old_net(Parser &p)
{
    if (int s = parse_old_net_info(p))
        return s;
    OldParse op{p, {}, {}};
    for (;;) {
        int t = next_token(p);
        if (t == T_END)
            break;
        if (!is_name(t))
            return unexpected(p, t, "node name (or end-of-file) expected");
        OldNode *o = retrieve_node(op, p.text_value(), false);
        if (!o)
            return p.status;
        if (o->defined_line) {
            char line[32];
            return fatal(p, kv_error_parse, "node `%s' has already been defined (at line %s)", o->name.c_str(),
                         line_text(line, o->defined_line));
        }
        o->defined_line = p.token_line;
        if (int s = parse_old_node_spec(op, *o))
            return s;
    }
    reverse_lists(p.target);
    bool undefined = false;
    for (OldNode *o : op.nodes)
        if (!o->defined_line) {
            char line[32];
            report(p, "node `%s' (used at line %s) has not been defined", o->name.c_str(),
                   line_text(line, o->used_line));
            undefined = true;
        }
    if (undefined) {
        p.status = kv_error_parse;
        return _kv_set_error_code(kv_error_parse);
    }
    return kv_error_none;
}

} // namespace kv
