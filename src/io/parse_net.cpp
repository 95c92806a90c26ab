// The NET network grammar: net blocks, node declarations and potentials
// with their tables, and the entry points that read a domain from a file,
// a stream or a string.
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cstdint>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/api.h"
#include "core/attribute.h"
#include "core/chain_block.h"
#include "core/graph.h"
#include "core/node_list.h"
#include "expr/expression.h"
#include "net_grammar.h"
#include "parser.h"
#include "table/table.h"

namespace kv {


bool is_name(int t)
{
    return t == T_NAME;
}

bool keyword(const Parser &p, const char *word)
{
    return std::strcmp(p.text_value(), word) == 0;
}

int expect(Parser &p, int c)
{
    int t = next_token(p);
    if (t == c)
        return kv_error_none;
    if (t == T_ERROR)
        return p.status ? p.status : fatal(p, kv_error_parse, "`%c' expected", c);
    return fatal(p, kv_error_parse, "`%c' expected", c);
}

// A token that ended a rule early: lexical errors carry their own message.
int unexpected(Parser &p, int t, const char *message)
{
    if (t == T_ERROR && p.status)
        return p.status;
    return fatal(p, kv_error_parse, "%s", message);
}


// Resolves a node reference: a plain name in the container, or a dotted
// name through instance nodes to the output clone it names.
kv_node_s *lookup_node(Parser &p, kv_domain_s *container, const char *reference)
{
    const char *dot = std::strchr(reference, '.');
    Vec<char> head(reference, dot ? dot : reference + std::strlen(reference));
    head.push_back('\0');
    kv_node_s *n = _kv_find_node_by_name(container, head.data());
    bool in_class = _kv_domain_is_class(container);
    if (!n) {
        if (in_class)
            fatal(p, kv_error_parse, "class `%s' has no node named `%s'",
                  container->class_name ? container->class_name : "", head.data());
        else
            fatal(p, kv_error_parse, "node `%s' not found", head.data());
        return nullptr;
    }
    if (!dot)
        return n;
    if (n->category != kv_category_instance || !n->instance_class) {
        if (in_class)
            fatal(p, kv_error_parse, "node `%s' is not an instance node in class `%s'", head.data(),
                  container->class_name ? container->class_name : "");
        else
            fatal(p, kv_error_parse, "node `%s' is not an instance node", head.data());
        return nullptr;
    }
    kv_node_s *inner = lookup_node(p, n->instance_class, dot + 1);
    if (!inner)
        return nullptr;
    // The instance's clone of that output node.
    if (n->output_clones)
        for (kv_node_s **c = n->output_clones; *c; ++c)
            if ((*c)->clone_source == inner)
                return *c;
    if (in_class)
        fatal(p, kv_error_parse, "node `%s' is not an output node in class `%s'", dot + 1,
              n->instance_class->class_name ? n->instance_class->class_name : "");
    else
        fatal(p, kv_error_parse, "node `%s' is not an output node", dot + 1);
    return nullptr;
}


// Attributes are pushed newest first; a block's attributes end up in the
// order they were written.
void reverse_attributes(kv_attribute_s **list, kv_attribute_s *before)
{
    kv_attribute_s *reversed = before, *a = *list;
    while (a != before) {
        kv_attribute_s *next = a->next;
        a->next = reversed;
        reversed = a;
        a = next;
    }
    *list = reversed;
}


// Reads `name =` of the next attribute of a block: 0 with the name in key,
// end_of_block at `}', or an error code.
int attribute_key(Parser &p, Vec<char> &key)
{
    int t = next_token(p);
    if (t == '}')
        return end_of_block;
    if (!is_name(t))
        return unexpected(p, t, "`}' or an attribute name expected");
    key = p.text;
    return expect(p, '=');
}

// `(' number number `)'; with nonnegative, each negative number is
// counted where it stands.
int read_number_pair(Parser &p, double &a, double &b, bool nonnegative)
{
    if (int s = expect(p, '('))
        return s;
    for (double *x : {&a, &b}) {
        int t = next_token(p);
        if (t != T_NUMBER)
            return unexpected(p, t, "number expected");
        *x = p.number;
        if (nonnegative && *x < 0)
            counted(p, "<number> must be nonnegative");
    }
    return expect(p, ')');
}

int user_attribute(Parser &p, kv_attribute_s **list, const Vec<char> &key)
{
    int t = next_token(p);
    if (t != T_STRING)
        return unexpected(p, t, "value of a user-defined attribute must be a string");
    if (int s = _kv_insert_attribute(p.target, list, key.data(), p.text_value(), 1))
        return api_error(p, s);
    return kv_error_none;
}

// A parenthesised list of node references, resolved into out; without
// out the names are read and left alone.
int node_reference_list(Parser &p, Vec<kv_node_s *> *out)
{
    if (int s = expect(p, '('))
        return s;
    for (;;) {
        int t = next_token(p);
        if (t == ')')
            return kv_error_none;
        if (t != T_NAME && t != T_DOTTED)
            return unexpected(p, t, "node name or `)' expected");
        if (!out)
            continue;
        kv_node_s *n = lookup_node(p, p.target, p.text_value());
        if (!n)
            return p.status;
        out->push_back(n);
    }
}

int parse_net_block(Parser &p)
{
    if (int s = expect(p, '{'))
        return s;
    kv_domain_s *d = p.target;
    kv_attribute_s *before = d->attributes;
    bool seen_inputs = false, seen_outputs = false;
    Vec<char> key;
    for (;;) {
        int k = attribute_key(p, key);
        if (k == end_of_block)
            break;
        if (k)
            return k;
        if (std::strcmp(key.data(), "node_size") == 0) {
            double w, h;
            if (int s = read_number_pair(p, w, h, true))
                return s;
            kv_domain_set_node_size(d, truncated<size_t>(w, 0, SIZE_MAX), truncated<size_t>(h, 0, SIZE_MAX));
        } else if (std::strcmp(key.data(), "inputs") == 0 || std::strcmp(key.data(), "outputs") == 0) {
            // A domain has no interface: the lists are read and dropped.
            bool &seen = key[0] == 'i' ? seen_inputs : seen_outputs;
            if (seen)
                return fatal(p, kv_error_parse, "attribute `%s' defined twice", key.data());
            seen = true;
            if (int s = node_reference_list(p, nullptr))
                return s;
        } else if (int s = user_attribute(p, &d->attributes, key)) {
            return s;
        }
        if (int s = expect(p, ';'))
            return s;
    }
    reverse_attributes(&d->attributes, before);
    return kv_error_none;
}

bool is_discrete_node(const kv_node_s *n)
{
    return n->kind == kv_kind_discrete &&
           (n->category == kv_category_chance || n->category == kv_category_decision);
}

int read_state_labels(Parser &p, Vec<Vec<char>> &labels)
{
    if (int s = expect(p, '('))
        return s;
    for (;;) {
        int t = next_token(p);
        if (t == ')')
            break;
        if (t != T_STRING)
            return unexpected(p, t, "state or `)' expected");
        labels.push_back(p.text);
    }
    if (labels.empty())
        return fatal(p, kv_error_parse, "empty list of states");
    return kv_error_none;
}

int parse_states(Parser &p, kv_node_s *n)
{
    bool keep = true;
    if (!is_discrete_node(n)) {
        counted(p, "only discrete nodes can have states");
        keep = false;
    } else if (n->state_labels) {
        counted(p, "states specified twice (or more)");
        keep = false;
    }
    Vec<Vec<char>> labels;
    if (int s = read_state_labels(p, labels))
        return s;
    if (!keep)
        return kv_error_none;
    // The subtype may already be boolean: set the count directly.
    kv_node_subtype_t subtype = n->subtype;
    n->subtype = kv_subtype_label;
    int s = kv_node_set_number_of_states(n, labels.size());
    n->subtype = subtype;
    if (s)
        return api_error(p, s);
    for (size_t i = 0; i < labels.size(); ++i)
        if (int e = kv_node_set_state_label(n, i, labels[i].data()))
            return api_error(p, e);
    return kv_error_none;
}

int parse_subtype(Parser &p, kv_node_s *n)
{
    int t = next_token(p);
    const char *message = "`label', `boolean', `number', or `interval' expected";
    if (!is_name(t))
        return unexpected(p, t, message);
    if (!is_discrete_node(n)) {
        counted(p, "subtype designations only make sense for discrete nodes");
        return kv_error_none;
    }
    kv_node_subtype_t subtype = kv_subtype_label;
    if (keyword(p, "boolean"))
        subtype = kv_subtype_boolean;
    else if (keyword(p, "number"))
        subtype = kv_subtype_number;
    else if (keyword(p, "interval"))
        subtype = kv_subtype_interval;
    else if (!keyword(p, "label"))
        counted(p, "%s", message);
    n->subtype = subtype;
    return kv_error_none;
}

int parse_state_values(Parser &p, kv_node_s *n)
{
    if (!is_discrete_node(n))
        return fatal(p, kv_error_parse, "only discrete nodes can have state values");
    if (n->subtype != kv_subtype_number && n->subtype != kv_subtype_interval)
        return fatal(p, kv_error_parse, "only numeric nodes can have state values");
    if (!n->state_labels)
        return fatal(p, kv_error_parse, "states must be specified before state values");
    if (n->state_values)
        return fatal(p, kv_error_parse, "state values have already been specified");
    size_t k = n->number_of_states;
    double *values = allocate_array<double>(k + 1);
    if (!values)
        return api_error(p, kv_error_no_memory);
    for (size_t i = 0; i <= k; ++i)
        values[i] = -1.0;
    n->state_values = values;
    if (int s = expect(p, '('))
        return s;
    TokenReader saved = p.reader;
    p.reader = get_expr_token;
    size_t count = 0;
    int status = kv_error_none;
    for (;;) {
        int t = next_token(p);
        if (t == ')')
            break;
        double sign = 1.0;
        if (t == '+' || t == '-') {
            sign = t == '-' ? -1.0 : 1.0;
            t = next_token(p);
        }
        double v;
        if (t == T_NUMBER)
            v = p.number;
        else if (t == T_NAME && keyword(p, "infinity"))
            v = DBL_MAX;
        else {
            status = unexpected(p, t, "state value expected");
            break;
        }
        if (count <= k)
            values[count] = sign * v;
        ++count;
    }
    p.reader = saved;
    if (status)
        return status;
    size_t wanted = n->subtype == kv_subtype_number ? k : k + 1;
    if (count != wanted)
        counted(p, "incorrect number of state values");
    return kv_error_none;
}

int parse_node(Parser &p, kv_node_category_t category, bool continuous)
{
    kv_domain_s *d = p.target;
    kv_node_s *n = kv_domain_new_node(d, category, continuous ? kv_kind_continuous : kv_kind_discrete);
    if (!n)
        return api_error(p, kv_error_code());
    int t = next_token(p);
    if (!is_name(t))
        return unexpected(p, t, "name expected");
    if (int s = kv_node_set_name(n, p.text_value())) {
        if (s == kv_error_twice)
            return fatal(p, kv_error_twice, "a node with name `%s' already exists", p.text_value());
        return api_error(p, s);
    }
    if (int s = expect(p, '{'))
        return s;
    kv_attribute_s *before = n->attributes;
    Vec<char> key;
    for (;;) {
        int k = attribute_key(p, key);
        if (k == end_of_block)
            break;
        if (k)
            return k;
        int s = kv_error_none;
        if (std::strcmp(key.data(), "label") == 0) {
            t = next_token(p);
            if (t != T_STRING)
                return unexpected(p, t, "string expected");
            if (int e = kv_node_set_label(n, p.text_value()))
                return api_error(p, e);
        } else if (std::strcmp(key.data(), "position") == 0) {
            double x, y;
            s = read_number_pair(p, x, y, false);
            if (!s)
                kv_node_set_position(n, truncated<int>(x, INT_MIN, INT_MAX), truncated<int>(y, INT_MIN, INT_MAX));
        } else if (std::strcmp(key.data(), "states") == 0) {
            s = parse_states(p, n);
        } else if (std::strcmp(key.data(), "subtype") == 0) {
            s = parse_subtype(p, n);
        } else if (std::strcmp(key.data(), "state_values") == 0) {
            s = parse_state_values(p, n);
        } else {
            s = user_attribute(p, &n->attributes, key);
        }
        if (s)
            return s;
        if (int e = expect(p, ';'))
            return e;
    }
    reverse_attributes(&n->attributes, before);
    if (is_discrete_node(n) && n->subtype == kv_subtype_boolean && n->number_of_states != 2)
        counted(p, "a boolean node must have exactly two states");
    return kv_error_none;
}

// ---------------------------------------------------------------------------
// Table data.

int read_cg_entry(Parser &p, kv_table_s *t, size_t i);

int read_flat(Parser &p, kv_table_s *t, bool probabilities)
{
    if (t->continuous_count) {
        for (size_t i = 0; i < t->size; ++i)
            if (int s = read_cg_entry(p, t, i))
                return s;
        return expect(p, ')');
    }
    for (size_t i = 0; i < t->size; ++i) {
        int tok = next_token(p);
        if (tok != T_NUMBER)
            return unexpected(p, tok, "number expected");
        if (probabilities && p.number < 0)
            counted(p, "<number> must be nonnegative");
        t->discrete_data[i] = p.number;
    }
    return expect(p, ')');
}

// One level per discrete node of the table; the first continuous node ends
// the nesting with a CG entry.
int read_recursively(Parser &p, kv_table_s *t, size_t level, size_t &index, bool probabilities)
{
    if (level == t->discrete_count) {
        if (t->continuous_count)
            return read_cg_entry(p, t, index++);
        int tok = next_token(p);
        if (tok != T_NUMBER)
            return unexpected(p, tok, "number expected");
        if (probabilities && p.number < 0)
            counted(p, "probabilities may not be negative");
        t->discrete_data[index++] = p.number;
        return kv_error_none;
    }
    int tok = next_token(p);
    if (tok != '(')
        return unexpected(p, tok, "`(' expected");
    kv_node_s *node = t->nodes[level];
    for (size_t s = 0; s < node->number_of_states; ++s)
        if (int e = read_recursively(p, t, level + 1, index, probabilities))
            return e;
    tok = next_token(p);
    if (tok != ')')
        return unexpected(p, tok, "`)' expected");
    return kv_error_none;
}

int parse_table_data(Parser &p, kv_table_s *t, bool probabilities)
{
    if (_kv_allocate_data_arrays(t))
        return api_error(p, kv_error_no_memory);
    int tok = next_token(p);
    if (t->discrete_count == 0 && tok != '(') {
        // A table over no discrete nodes may be written as its one item.
        unget_token(p, tok);
        if (t->continuous_count)
            return read_cg_entry(p, t, 0);
        tok = next_token(p);
        if (tok != T_NUMBER)
            return unexpected(p, tok, "number expected");
        if (probabilities && p.number < 0)
            counted(p, "<number> must be nonnegative");
        t->discrete_data[0] = p.number;
        return kv_error_none;
    }
    if (tok != '(')
        return unexpected(p, tok, "`(' expected");
    int next = next_token(p);
    unget_token(p, next);
    if (next == '(' && t->discrete_count > 0) {
        unget_token(p, '(');
        size_t index = 0;
        return read_recursively(p, t, 0, index, probabilities);
    }
    return read_flat(p, t, probabilities);
}

int read_cg_entry(Parser &p, kv_table_s *t, size_t i)
{
    int tok = next_token(p);
    if (tok != T_NAME || !keyword(p, "normal"))
        return unexpected(p, tok, "the keyword `normal' was expected");
    if (int s = expect(p, '('))
        return s;
    double *block = t->cg_data + i * t->cg_size;
    TokenReader saved = p.reader;
    p.reader = get_expr_token;
    auto restore = [&](int status) {
        p.reader = saved;
        return status;
    };
    double constant = 0.0;
    tok = next_token(p);
    double sign = 1.0;
    if (tok == '+' || tok == '-') {
        sign = tok == '-' ? -1.0 : 1.0;
        tok = next_token(p);
    }
    for (;;) {
        double coefficient = 1.0;
        bool number = false;
        if (tok == T_NUMBER) {
            coefficient = p.number;
            number = true;
            tok = next_token(p);
            if (tok == '*')
                tok = next_token(p);
            else {
                constant += sign * coefficient;
                goto after_term;
            }
        }
        if (tok == T_NAME || tok == T_DOTTED) {
            kv_node_s *x = lookup_node(p, p.target, p.text_value());
            if (!x)
                return restore(p.status);
            size_t pos = _kv_table_node_position(t, x);
            if (pos == static_cast<size_t>(-1) || pos <= t->discrete_count)
                counted(p, "node `%s' is not part of the table", p.text_value());
            else
                block[_kv_cg_cov_offset(pos - t->discrete_count, 0)] += sign * coefficient;
            tok = next_token(p);
        } else {
            (void)number;
            return restore(unexpected(p, tok, "<number> or <node name> expected in mean value expression"));
        }
    after_term:
        if (tok == ',')
            break;
        if (tok != '+' && tok != '-')
            return restore(unexpected(p, tok, "expected one of: ,+-"));
        sign = tok == '-' ? -1.0 : 1.0;
        tok = next_token(p);
    }
    p.reader = saved;
    block[_kv_cg_mean_offset(0)] = constant;
    tok = next_token(p);
    if (tok != T_NUMBER)
        return unexpected(p, tok, "variance (a nonnegative <number>) expected");
    if (p.number < 0)
        counted(p, "variance must be nonnegative");
    block[_kv_cg_cov_offset(0, 0)] = p.number;
    return expect(p, ')');
}

// ---------------------------------------------------------------------------
// Potentials.

int parse_potential(Parser &p)
{
    kv_domain_s *d = p.target;
    if (int s = expect(p, '('))
        return s;
    Vec<kv_node_s *> children, parents;
    int tok;
    for (;;) {
        tok = next_token(p);
        if (tok == '|' || tok == ')')
            break;
        if (tok != T_NAME)
            return unexpected(p, tok, "`|', `)', or a node name expected");
        kv_node_s *n = lookup_node(p, d, p.text_value());
        if (!n)
            return p.status;
        children.push_back(n);
    }
    if (tok == '|')
        for (;;) {
            tok = next_token(p);
            if (tok == ')')
                break;
            if (tok != T_NAME && tok != T_DOTTED)
                return unexpected(p, tok, "`)' or a node name expected");
            kv_node_s *n = lookup_node(p, d, p.text_value());
            if (!n)
                return p.status;
            parents.push_back(n);
        }
    if (children.empty())
        return fatal(p, kv_error_parse, "empty child node list");

    bool bad = false;
#define problem(...) (report(p, __VA_ARGS__), bad = true)
    for (kv_node_s *x : parents)
        if (x->category == kv_category_utility)
            problem("utility node `%s' specified as parent", kv_node_get_name(x));
    if (children.size() > 1)
        for (kv_node_s *c : children)
            if (c->category != kv_category_chance || c->kind != kv_kind_discrete) {
                problem("undirected links may only be specified for discrete chance nodes");
                break;
            }
    Vec<kv_node_s *> all = children;
    all.insert(all.end(), parents.begin(), parents.end());
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (all[i] == all[j]) {
                problem("node `%s' appears twice in potential specification", kv_node_get_name(all[i]));
                break;
            }
    for (kv_node_s *c : children)
        if (c->kind == kv_kind_discrete)
            for (kv_node_s *x : parents)
                if (x->kind == kv_kind_continuous)
                    problem("continuous node `%s' is not allowed as parent of discrete node `%s'",
                            kv_node_get_name(x), kv_node_get_name(c));
    for (size_t i = 1; i < parents.size(); ++i)
        if (parents[i]->kind == kv_kind_discrete && parents[i - 1]->kind == kv_kind_continuous) {
            problem("discrete parents must appear before continuous parents");
            break;
        }
    for (kv_node_s *x : all)
        if (x->category == kv_category_instance)
            problem("class instance node `%s' found in potential specification", kv_node_get_name(x));
#undef problem
    if (bad) {
        // Every problem has been reported; the potential fails as a whole.
        p.status = kv_error_parse;
        return _kv_set_error_code(kv_error_parse);
    }

    kv_node_s *child = children[0];
    if (child->category == kv_category_decision && _kv_node_list_length(child->parents) > 0)
        counted(p, "information links specified twice for %s", kv_node_get_name(child));
    for (kv_node_s *c : children)
        for (kv_node_s *x : parents) {
            if (_kv_node_in_list(c->parents, x))
                continue;
            if (c->table)
                counted(p, "the directed link %s --> %s should have been included in the potential for %s",
                        kv_node_get_name(x), kv_node_get_name(c), kv_node_get_name(c));
            int s = kv_node_add_parent(c, x);
            if (s == kv_error_cyclic_network)
                return fatal(p, s, "adding the link %s --> %s creates a directed cycle",
                             kv_node_get_name(x), kv_node_get_name(c));
            if (s)
                return api_error(p, s);
        }
    if (children.size() == 1) {
        if (_kv_node_list_length(child->parents) != parents.size())
            counted(p, "potential for node %s must include all parents", kv_node_get_name(child));
        else
            for (size_t i = 0; i < parents.size(); ++i)
                child->parents[i] = parents[i];
    }

    // The table: parents then the child (a continuous child before its
    // continuous parents); utility tables over the parents only.
    kv_table_s *table = nullptr;
    bool conditional = false;
    if (children.size() == 1 && child->category != kv_category_decision) {
        Vec<kv_node_s *> nodes;
        for (kv_node_s *x : parents)
            if (x->kind == kv_kind_discrete)
                nodes.push_back(x);
        if (child->category == kv_category_chance)
            nodes.push_back(child);
        for (kv_node_s *x : parents)
            if (x->kind == kv_kind_continuous)
                nodes.push_back(x);
        nodes.push_back(nullptr);
        bool utility = child->category == kv_category_utility;
        table = _kv_create_table(d, nodes.data(), utility ? KV_UTILITY : KV_PROBABILITY, KV_ROLE_NODE, 0, 1);
        if (!table)
            return api_error(p, kv_error_code());
        if (child->table) {
            counted(p, utility ? "utility potential specified twice for node `%s'"
                               : "conditional probability potential specified twice for node `%s'",
                    kv_node_get_name(child));
            _kv_free_table(child->table);
        }
        for (size_t k = 0; k < table->continuous_count; ++k)
            table->continuous_roles[k] = table->nodes[table->discrete_count + k] == child ? KV_HEAD : KV_TAIL;
        table->owner = child;
        child->table = table;
        conditional = !utility;
    } else if (children.size() > 1) {
        Vec<kv_node_s *> nodes = parents;
        nodes.insert(nodes.end(), children.begin(), children.end());
        nodes.push_back(nullptr);
        table = _kv_create_table(d, nodes.data(), KV_PROBABILITY, KV_ROLE_DERIVED, 0, 1);
        if (!table)
            return api_error(p, kv_error_code());
        if (_kv_domain_is_class(d))
            counted(p, "undirected links are not allowed in classes");
        int s = guard_status([&] { return _kv_domain_add_chain_potential(d, table, children.size()); });
        if (s == kv_error_cyclic_network)
            return fatal(p, s, "adding chain potential creates a directed cycle");
        if (s)
            return api_error(p, s);
        conditional = true;
    }

    if (int s = expect(p, '{'))
        return s;
    if (child->category == kv_category_decision)
        return expect(p, '}');
    bool any = false, data_given = false;
    kv_model_s *model = nullptr;
    Vec<char> key;
    for (;;) {
        int k = attribute_key(p, key);
        if (k == end_of_block)
            break;
        if (k)
            return k;
        any = true;
        bool own_table = children.size() == 1;
        int s = kv_error_none;
        if (std::strcmp(key.data(), "data") == 0) {
            s = parse_table_data(p, table, conditional);
            data_given = true;
        } else if (std::strcmp(key.data(), "experience") == 0 || std::strcmp(key.data(), "fading") == 0) {
            bool experience = key[0] == 'e';
            if (!own_table)
                return fatal(p, kv_error_parse, experience ? "experience data cannot be specified for chain graph potentials"
                                                          : "fading data cannot be specified for chain graph potentials");
            if (child->category != kv_category_chance || child->kind != kv_kind_discrete)
                return fatal(p, kv_error_parse, experience ? "experience data can only be specified for discrete chance nodes"
                                                          : "fading data can only be specified for discrete chance nodes");
            if (experience ? child->experience_table != nullptr : child->fading_table != nullptr)
                return fatal(p, kv_error_parse, experience ? "`experience' attribute specified twice"
                                                          : "`fading' attribute specified twice");
            kv_table_s *t = experience ? kv_node_get_experience_table(child) : kv_node_get_fading_table(child);
            if (!t)
                return api_error(p, kv_error_code());
            s = parse_table_data(p, t, false);
        } else if (std::strcmp(key.data(), "model_nodes") == 0) {
            if (!own_table)
                return fatal(p, kv_error_parse, "models cannot be specified for chain graph potentials");
            if (model)
                return fatal(p, kv_error_parse, "`model_nodes' attribute specified twice");
            if (child->kind != kv_kind_discrete)
                return fatal(p, kv_error_parse, "models can only be specified for discrete nodes");
            Vec<kv_node_s *> nodes;
            if (int e = node_reference_list(p, &nodes))
                return e;
            bool problem = false;
            for (size_t i = 0; i < nodes.size(); ++i) {
                if (!_kv_node_in_list(child->parents, nodes[i])) {
                    report(p, "node `%s' is not a parent of node `%s'", kv_node_get_name(nodes[i]),
                           kv_node_get_name(child));
                    problem = true;
                }
                for (size_t j = 0; j < i; ++j)
                    if (nodes[j] == nodes[i]) {
                        report(p, "node `%s' appears twice in `model_nodes' attribute", kv_node_get_name(nodes[i]));
                        problem = true;
                    }
            }
            if (problem) {
                p.status = kv_error_parse;
                return _kv_set_error_code(kv_error_parse);
            }
            nodes.push_back(nullptr);
            model = kv_node_new_model(child, nodes.data());
            if (!model)
                return api_error(p, kv_error_code());
        } else if (std::strcmp(key.data(), "model_data") == 0) {
            if (!own_table)
                return fatal(p, kv_error_parse, "models cannot be specified for chain graph potentials");
            if (!model)
                return fatal(p, kv_error_parse, "`model_nodes' attribute has not been specified");
            if (model->expressions)
                return fatal(p, kv_error_parse, "`model_data' attribute specified twice");
            size_t size = kv_model_get_size(model);
            if (size == static_cast<size_t>(-1))
                return api_error(p, kv_error_code());
            if (int e = expect(p, '('))
                return e;
            TokenReader saved = p.reader;
            p.reader = get_expr_token;
            int status = kv_error_none;
            for (size_t i = 0; i < size && !status; ++i) {
                int t = next_token(p);
                bool last = i + 1 == size;
                if (t == (last ? ')' : ',')) // an empty slot
                    continue;
                unget_token(p, t);
                kv_expression_s *x = parse_one_expression(p);
                if (!x) {
                    status = p.status ? p.status : kv_error_syntax;
                    p.status = status;
                    _kv_set_error_code(status);
                    break;
                }
                if (int e = kv_model_set_expression(model, i, x)) {
                    kv_expression_delete(x);
                    status = api_error(p, e);
                    break;
                }
                t = next_token(p);
                if (t != (last ? ')' : ','))
                    status = fatal(p, kv_error_parse, last ? "`)' expected" : "`,' expected");
            }
            p.reader = saved;
            s = status;
        } else if (std::strcmp(key.data(), "samples_per_interval") == 0) {
            if (!own_table)
                return fatal(p, kv_error_parse, "models cannot be specified for chain graph potentials");
            if (!model)
                return fatal(p, kv_error_parse, "`model_nodes' attribute has not been specified");
            int t = next_token(p);
            if (t != T_NUMBER)
                return unexpected(p, t, "number expected");
            if (!(p.number >= 1 && p.number <= 1e15) || p.number != std::floor(p.number))
                return fatal(p, kv_error_parse, "`samples_per_interval' must be a positive integer");
            kv_model_set_number_of_samples_per_interval(model, size_t(p.number));
        } else {
            return fatal(p, kv_error_parse, "unknown field");
        }
        if (s)
            return s;
        if (int e = expect(p, ';'))
            return e;
    }
    if (!any)
        report(p, "warning: no potential data specified");
    // A table read with its model stands as generated from it.
    if (model && data_given)
        model->touched = 0;
    return kv_error_none;
}

int parse_net_body(Parser &p)
{
    for (;;) {
        int t = next_token(p);
        if (t == T_END)
            return kv_error_none;
        if (!is_name(t))
            return unexpected(p, t, "unexpected token");
        int s;
        if (keyword(p, "net")) {
            s = parse_net_block(p);
        } else if ((s = parse_declaration(p)) == not_a_declaration) {
            return fatal(p, kv_error_parse, "unknown object type: %s", p.text_value());
        }
        if (s)
            return s;
    }
}

int parse_declaration(Parser &p)
{
    if (keyword(p, "node"))
        return parse_node(p, kv_category_chance, false);
    if (keyword(p, "decision"))
        return parse_node(p, kv_category_decision, false);
    if (keyword(p, "utility"))
        return parse_node(p, kv_category_utility, false);
    if (keyword(p, "potential"))
        return parse_potential(p);
    if (keyword(p, "discrete")) {
        int t = next_token(p);
        if (is_name(t) && keyword(p, "node"))
            return parse_node(p, kv_category_chance, false);
        if (is_name(t) && keyword(p, "decision"))
            return parse_node(p, kv_category_decision, false);
        return unexpected(p, t, "keyword `node' or keyword `decision' expected");
    }
    if (keyword(p, "continuous")) {
        int t = next_token(p);
        if (!is_name(t) || !keyword(p, "node"))
            return unexpected(p, t, "keyword `node' expected");
        return parse_node(p, kv_category_chance, true);
    }
    return not_a_declaration;
}

// Declaration order: the node list runs from the last declared node (index
// 1) at the tail to the first declared node at the head; the table list the
// same way.
void reverse_lists(kv_domain_s *d)
{
    kv_node_s *reversed = nullptr;
    size_t index = 0;
    for (kv_node_s *n = d->first_node, *next; n; n = next) {
        next = n->next;
        n->next = reversed;
        reversed = n;
        n->index = ++index;
    }
    d->first_node = reversed;
    kv_table_s *tables = nullptr;
    size_t number = 0;
    for (kv_table_s *t = d->first_table, *next; t; t = next) {
        next = t->next;
        t->next = tables;
        tables = t;
        t->number = ++number;
    }
    d->first_table = tables;
    _kv_free_name_index(d); // buckets hold node pointers only; rebuilt on demand
}


// Parses a domain from text; NULL with the error code on failure.
kv_domain_s *parse_net(const char *text, size_t size, bool from_file, kv_error_handler_t handler,
                       void *data, const char *file_name)
{
    bool old = is_old_format(text, size);
    _kv_set_error_code(kv_error_none);
    Parser p;
    start_parser(p, text, size, from_file, handler, data);
    p.reader = old ? get_old_token : get_new_token;
    p.target = kv_new_domain();
    if (!p.target)
        return nullptr;
    int status = guard_status([&] {
        if (file_name) {
            p.target->file_name = _kv_allocate_string(file_name);
            if (!p.target->file_name)
                return static_cast<int>(kv_error_no_memory);
        }
        return old ? parse_old_net(p) : parse_net_body(p);
    });
    if (!status && p.error_count)
        status = kv_error_parse;
    if (status) {
        kv_domain_delete(p.target);
        _kv_set_error_code(status);
        return nullptr;
    }
    if (!old)
        reverse_lists(p.target); // the old reader has put them in order
    _kv_set_error_code(kv_error_none);
    return p.target;
}

} // namespace kv

namespace {

struct Handler2 {
    kv_error_handler2_t handler;
};

void adapt_handler(size_t position, kv_string_t message, void *data)
{
    static_cast<Handler2 *>(data)->handler(position, message);
}

kv_domain_t parse_stream(FILE *stream, kv_error_handler_t handler, void *data, const char *file_name)
{
    return kv::guard_ptr([&]() -> kv_domain_t {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return nullptr;
        std::vector<char, kv::ScratchAlloc<char>> text;
        if (!kv::read_stream(stream, text))
            return _kv_set_error_code(kv_error_io), nullptr;
        return kv::parse_net(text.data(), text.size() - 1, true, handler, data, file_name);
    });
}

} // namespace

kv_domain_t kv_net_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!file_name))
        return nullptr;
    FILE *f = std::fopen(file_name, "r");
    if (!f)
        return _kv_set_error_code(kv_error_io), nullptr;
    kv_domain_t d = parse_stream(f, handler, data, file_name);
    int status = kv_error_code();
    if (std::fclose(f) != 0 && d) {
        kv_domain_delete(d);
        return _kv_set_error_code(kv_error_io), nullptr;
    }
    _kv_set_error_code(status);
    return d;
}

kv_domain_t kv_net_parse(FILE *stream, kv_error_handler2_t handler)
{
    if (_kv_set_error_code(!stream))
        return nullptr;
    Handler2 wrapper{handler};
    return parse_stream(stream, handler ? adapt_handler : nullptr, &wrapper, nullptr);
}

kv_domain_t kv_net_parse_from_string(kv_string_t text, kv_error_handler2_t handler)
{
    if (_kv_set_error_code(!text))
        return nullptr;
    Handler2 wrapper{handler};
    return kv::guard_ptr([&]() -> kv_domain_t {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return nullptr;
        kv_domain_s *d = kv::parse_net(text, std::strlen(text), false,
                                       handler ? adapt_handler : nullptr, &wrapper, nullptr);
        return d;
    });
}

// Node-name lists: names of nodes of the container, in file order.
static kv_node_t *parse_nodes(kv_domain_s *container, kv_string_t file_name, kv_error_handler_t handler,
                              void *data)
{
    if (_kv_set_error_code(!container || !file_name))
        return nullptr;
    FILE *f = std::fopen(file_name, "r");
    if (!f)
        return _kv_set_error_code(kv_error_io), nullptr;
    kv_node_t *result = kv::guard_ptr([&]() -> kv_node_t * {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return nullptr;
        std::vector<char, kv::ScratchAlloc<char>> text;
        if (!kv::read_stream(f, text))
            return _kv_set_error_code(kv_error_io), nullptr;
        kv::Parser p;
        kv::start_parser(p, text.data(), text.size() - 1, true, handler, data);
        p.reader = kv::get_new_token;
        std::vector<kv_node_s *, kv::ScratchAlloc<kv_node_s *>> nodes;
        for (;;) {
            int t = kv::get_new_token(p);
            if (t == kv::T_END)
                break;
            if (t != kv::T_NAME) {
                if (!(t == kv::T_ERROR && p.status))
                    kv::fatal(p, kv_error_parse, "node name expected");
                return _kv_set_error_code(p.status), nullptr;
            }
            kv_node_s *n = _kv_find_node_by_name(container, p.text_value());
            if (!n) {
                kv::fatal(p, kv_error_parse, "node `%s' not found", p.text_value());
                return nullptr;
            }
            nodes.push_back(n);
        }
        kv_node_s **list = kv::allocate_array<kv_node_s *>(nodes.size() + 1);
        if (!list)
            return nullptr;
        std::copy(nodes.begin(), nodes.end(), list);
        list[nodes.size()] = nullptr;
        return list;
    });
    int status = kv_error_code();
    if (std::fclose(f) != 0) {
        std::free(result);
        return _kv_set_error_code(kv_error_io), nullptr;
    }
    _kv_set_error_code(result ? kv_error_none : status);
    return result;
}

kv_node_t *kv_domain_parse_nodes(kv_domain_t d, kv_string_t file_name, kv_error_handler_t handler, void *data)
{
    return parse_nodes(d, file_name, handler, data);
}

kv_node_t *kv_class_parse_nodes(kv_class_t c, kv_string_t file_name, kv_error_handler_t handler, void *data)
{
    return parse_nodes(c, file_name, handler, data);
}
