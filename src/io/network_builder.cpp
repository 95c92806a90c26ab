// Builds domains from what the readers of other exchange formats collect.
#include "network_builder.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <set>

#include "core/api.h"
#include "core/domain.h"
#include "net_grammar.h"
#include "parser.h"
#include "table/table.h"

namespace kv::exchange {

int read_file(const char *file_name, std::vector<char, ScratchAlloc<char>> &text)
{
    FILE *f = std::fopen(file_name, "rb");
    if (!f)
        return _kv_set_error_code(kv_error_io);
    bool ok;
    try {
        ok = read_stream(f, text);
    } catch (const std::bad_alloc &) {
        std::fclose(f);
        return _kv_set_error_code(kv_error_no_memory);
    }
    std::fclose(f);
    return _kv_set_error_code(ok ? kv_error_none : kv_error_io);
}

void Builder::error(size_t line, const char *format, ...)
{
    if (handler_) {
        char buffer[512];
        va_list args;
        va_start(args, format);
        std::vsnprintf(buffer, sizeof buffer, format, args);
        va_end(args);
        handler_(line, buffer, data_);
    }
    throw Failed{};
}

std::string Builder::node_name(const std::string &name)
{
    std::string s = name;
    for (char &c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_') || static_cast<unsigned char>(c) >= 0x80)
            c = '_';
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0])))
        s.insert(s.begin(), '_');
    while (taken_.count(s) || by_name_.count(s))
        s += '_';
    taken_[s] = 1;
    return s;
}

void Builder::fill_table(kv_node_s *child, const Probability &pr)
{
    const Variable &cv = variables_[by_name_.at(pr.child)];
    kv_table_s *t = _kv_node_get_table(child);
    if (!t || _kv_allocate_data_arrays(t))
        error(pr.line, "API error: %s", kv_error_name(kv_error_code()));
    // The stride of each parent and of the child in the table.
    size_t k = cv.states.size(), m = pr.parents.size();
    std::vector<size_t> stride(m + 1, 0), count(m, 0);
    std::vector<const Variable *> parents(m);
    for (size_t j = 0; j < m; ++j)
        parents[j] = &variables_[by_name_.at(pr.parents[j])];
    {
        size_t s = 1;
        for (size_t i = t->discrete_count; i-- > 0;) {
            kv_node_s *n = t->nodes[i];
            if (n == child)
                stride[m] = s;
            for (size_t j = 0; j < m; ++j)
                if (parents[j]->node == n)
                    stride[j] = s;
            s *= n->number_of_states;
        }
    }
    size_t configurations = 1;
    for (size_t j = 0; j < m; ++j) {
        count[j] = parents[j]->states.size();
        configurations *= count[j];
    }
    std::vector<char> given(configurations, 0);
    double *data = t->discrete_data;
    // Configuration c of the parents (the last varying fastest) to its
    // table offset.
    auto offset = [&](size_t c) {
        size_t o = 0;
        for (size_t j = m; j-- > 0;) {
            o += (c % count[j]) * stride[j];
            c /= count[j];
        }
        return o;
    };
    bool defaulted = false;
    for (const Row &row : pr.rows) {
        if (row.kind == CHILD_SLOWEST || row.kind == CHILD_FASTEST) {
            if (row.values.size() != k * configurations)
                error(row.line, "the table of `%s' needs %zu numbers, not %zu", pr.child.c_str(),
                      k * configurations, row.values.size());
            for (size_t s = 0; s < k; ++s)
                for (size_t c = 0; c < configurations; ++c)
                    data[offset(c) + s * stride[m]] =
                        row.values[row.kind == CHILD_SLOWEST ? s * configurations + c : c * k + s];
            std::fill(given.begin(), given.end(), 1);
            continue;
        }
        if (row.values.size() != k)
            error(row.line, "`%s' has %zu states, and %zu numbers are given", pr.child.c_str(), k,
                  row.values.size());
        if (row.kind == DEFAULT) {
            if (defaulted)
                error(row.line, "the probabilities of `%s' have two defaults", pr.child.c_str());
            defaulted = true;
            for (size_t c = 0; c < configurations; ++c)
                if (!given[c])
                    for (size_t s = 0; s < k; ++s)
                        data[offset(c) + s * stride[m]] = row.values[s];
            continue;
        }
        if (row.states.size() != m)
            error(row.line, "`%s' has %zu parents, and %zu states are given", pr.child.c_str(), m,
                  row.states.size());
        size_t c = 0;
        for (size_t j = 0; j < m; ++j) {
            const std::vector<std::string> &states = parents[j]->states;
            size_t s = 0;
            while (s < states.size() && states[s] != row.states[j])
                ++s;
            if (s == states.size())
                error(row.line, "`%s' is not a state of `%s'", row.states[j].c_str(), pr.parents[j].c_str());
            c = c * count[j] + s;
        }
        for (size_t s = 0; s < k; ++s)
            data[offset(c) + s * stride[m]] = row.values[s];
        given[c] = 1;
    }
    if (!defaulted) {
        size_t missing = 0;
        for (char g : given)
            missing += !g;
        if (missing)
            error(pr.line, "the probabilities of `%s' miss %zu parent configurations", pr.child.c_str(), missing);
    }
}

void Builder::build(kv_domain_s *d)
{
    for (const Variable &v : variables_)
        if (_kv_is_c_identifier(v.name.c_str()))
            taken_[v.name] = 1;
    for (Variable &v : variables_) {
        kv_node_s *n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        if (!n || kv_node_set_number_of_states(n, v.states.size()))
            error(v.line, "API error: %s", kv_error_name(kv_error_code()));
        bool plain = _kv_is_c_identifier(v.name.c_str());
        std::string name = plain ? v.name : node_name(v.name);
        if (kv_node_set_name(n, name.c_str()) || (!plain && kv_node_set_label(n, v.name.c_str())))
            error(v.line, "API error: %s", kv_error_name(kv_error_code()));
        for (size_t s = 0; s < v.states.size(); ++s)
            if (kv_node_set_state_label(n, s, v.states[s].c_str()))
                error(v.line, "API error: %s", kv_error_name(kv_error_code()));
        v.node = n;
    }
    std::vector<char> done(variables_.size(), 0);
    for (const Probability &pr : probabilities_) {
        auto it = by_name_.find(pr.child);
        if (it == by_name_.end())
            error(pr.line, "variable `%s' not declared", pr.child.c_str());
        if (done[it->second])
            error(pr.line, "the probabilities of `%s' are given twice", pr.child.c_str());
        done[it->second] = 1;
        kv_node_s *child = variables_[it->second].node;
        std::set<std::string> seen;
        for (const std::string &parent : pr.parents) {
            auto pt = by_name_.find(parent);
            if (pt == by_name_.end())
                error(pr.line, "variable `%s' not declared", parent.c_str());
            if (!seen.insert(parent).second || parent == pr.child)
                error(pr.line, "`%s' cannot be a parent of `%s' twice or of itself", parent.c_str(),
                      pr.child.c_str());
            if (kv_node_add_parent(child, variables_[pt->second].node)) {
                if (kv_error_code() == kv_error_cyclic_network)
                    error(pr.line, "the parent `%s' of `%s' makes a cycle", parent.c_str(), pr.child.c_str());
                error(pr.line, "API error: %s", kv_error_name(kv_error_code()));
            }
        }
        // Parents in the block's order, and the table over them and then
        // the child.
        std::vector<kv_node_s *> order;
        for (const std::string &parent : pr.parents)
            order.push_back(variables_[by_name_.at(parent)].node);
        for (size_t i = 0; i < order.size(); ++i)
            child->parents[i] = order[i];
        order.push_back(child);
        order.push_back(nullptr);
        kv_table_s *t = _kv_node_get_table(child);
        if (!t || kv_table_reorder_nodes(t, order.data()))
            error(pr.line, "API error: %s", kv_error_name(kv_error_code()));
        fill_table(child, pr);
    }
    for (size_t i = 0; i < variables_.size(); ++i)
        if (!done[i])
            error(variables_[i].line, "no probabilities for `%s'", variables_[i].name.c_str());
}

void Builder::declare(Variable v)
{
    by_name_[v.name] = variables_.size();
    variables_.push_back(std::move(v));
}

kv_domain_s *Builder::finish(size_t last_line)
{
    kv_domain_s *d = nullptr;
    try {
        if (variables_.empty())
            error(last_line, "no variables");
        d = kv_new_domain();
        if (!d)
            error(last_line, "API error: %s", kv_error_name(kv_error_code()));
        build(d);
        reverse_lists(d); // the first declared node leads, as after a NET parse
    } catch (const Failed &) {
        if (d)
            kv_domain_delete(d);
        _kv_set_error_code(kv_error_parse);
        return nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return d;
}

} // namespace kv::exchange
