// The BIF reader: the interchange format of the standard network
// repositories, read into a domain of discrete chance nodes.
//
//   network NAME { property ... ; }
//   variable NAME { type discrete [ N ] { S1, S2, ... }; property ... ; }
//   probability ( CHILD | P1, P2, ... ) {
//       ( s1, s2, ... ) p1, p2, ... ;     one row per parent configuration
//       table p1, p2, ... ;               every number, the child slowest
//       default p1, p2, ... ;             the rows not given
//   }
//
// Words run to white space or one of { } [ ] ( ) ; , | (state names such
// as `<5' or `12+' are words); "..." is a word too; comments are // and
// /* */.  Numbers are read in the C locale, so each is the double its
// text names.  A variable whose name is not a C identifier gets one
// (letters, digits and `_' kept, others `_', a leading digit prefixed by
// `_', `_' appended until unique; identifiers are taken first) and keeps
// its name as its label.  Messages go to the handler with their line; the
// first error ends the parse.
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/api.h"
#include "core/domain.h"
#include "net_grammar.h"
#include "parser.h"
#include "table/table.h"

namespace {

struct Row {
    size_t line;
    std::vector<std::string> states; // parent states; empty for table and default
    std::vector<double> values;
    int kind; // 0 row, 1 table, 2 default
};

struct Probability {
    size_t line;
    std::string child;
    std::vector<std::string> parents;
    std::vector<Row> rows;
};

struct Variable {
    size_t line;
    std::string name;
    std::vector<std::string> states;
    kv_node_s *node = nullptr;
};

struct Failed {};

class Reader {
public:
    Reader(const char *text, size_t size, kv_error_handler_t handler, void *data)
        : p_(text), end_(text + size), handler_(handler), data_(data)
    {
    }

    kv_domain_s *read();

private:
    enum Kind { END, WORD, PUNCT };

    [[noreturn]] void error(size_t line, const char *format, ...) __attribute__((format(printf, 3, 4)));
    void skip_space();
    Kind next();
    void expect(char c);
    std::string expect_word(const char *what);
    double number(const std::string &word, size_t line);
    void skip_property();
    void network_block();
    void variable_block();
    void probability_block();
    void build(kv_domain_s *d);
    void fill_table(kv_node_s *child, const Probability &pr);
    std::string node_name(const std::string &name, std::set<std::string> &taken) const;

    const char *p_, *end_;
    size_t line_ = 1, token_line_ = 1;
    Kind kind_ = END;
    char punct_ = 0;
    std::string word_;
    bool pushed_ = false;
    kv_error_handler_t handler_;
    void *data_;
    std::vector<Variable> variables_;
    std::map<std::string, size_t> by_name_;
    std::vector<Probability> probabilities_;
};

void Reader::error(size_t line, const char *format, ...)
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

void Reader::skip_space()
{
    while (p_ < end_) {
        char c = *p_;
        if (c == '\n') {
            ++line_;
            ++p_;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++p_;
        } else if (c == '/' && p_ + 1 < end_ && p_[1] == '/') {
            while (p_ < end_ && *p_ != '\n')
                ++p_;
        } else if (c == '/' && p_ + 1 < end_ && p_[1] == '*') {
            size_t start = line_;
            p_ += 2;
            while (p_ < end_ && !(*p_ == '*' && p_ + 1 < end_ && p_[1] == '/'))
                line_ += *p_++ == '\n';
            if (p_ >= end_)
                error(start, "comment not closed");
            p_ += 2;
        } else {
            return;
        }
    }
}

static bool delimiter(char c)
{
    return std::strchr("{}[]();,|", c) != nullptr && c != '\0';
}

Reader::Kind Reader::next()
{
    if (pushed_) {
        pushed_ = false;
        return kind_;
    }
    skip_space();
    token_line_ = line_;
    if (p_ >= end_ || *p_ == '\0')
        return kind_ = END;
    char c = *p_;
    if (delimiter(c)) {
        punct_ = c;
        ++p_;
        return kind_ = PUNCT;
    }
    word_.clear();
    if (c == '"') {
        ++p_;
        while (p_ < end_ && *p_ != '"') {
            if (*p_ == '\n')
                error(token_line_, "string not closed on its line");
            word_ += *p_++;
        }
        if (p_ >= end_)
            error(token_line_, "string not closed on its line");
        ++p_;
        return kind_ = WORD;
    }
    while (p_ < end_ && *p_ != '\0' && !delimiter(*p_) && *p_ != '"' &&
           !std::strchr(" \t\r\n\f\v", *p_)) {
        if (*p_ == '/' && p_ + 1 < end_ && (p_[1] == '/' || p_[1] == '*'))
            break;
        word_ += *p_++;
    }
    return kind_ = WORD;
}

void Reader::expect(char c)
{
    Kind k = next();
    if (k == PUNCT && punct_ == c)
        return;
    if (k == END)
        error(token_line_, "`%c' expected at the end of the file", c);
    error(token_line_, "`%c' expected", c);
}

std::string Reader::expect_word(const char *what)
{
    Kind k = next();
    if (k != WORD)
        error(token_line_, "%s expected", what);
    return word_;
}

double Reader::number(const std::string &word, size_t line)
{
    const char *s = word.c_str();
    char *stop = nullptr;
    double x = std::strtod(s, &stop);
    if (word.empty() || *stop != '\0' || !std::isfinite(x))
        error(line, "`%s' is not a number", s);
    return x;
}

// property ... ; (its text is not kept)
void Reader::skip_property()
{
    for (Kind k = next(); !(k == PUNCT && punct_ == ';'); k = next())
        if (k == END)
            error(token_line_, "`;' expected at the end of the file");
}

void Reader::network_block()
{
    Kind k = next();
    if (k == WORD)
        k = next();
    if (!(k == PUNCT && punct_ == '{'))
        error(token_line_, "`{' expected");
    for (k = next(); !(k == PUNCT && punct_ == '}'); k = next()) {
        if (k == WORD && word_ == "property")
            skip_property();
        else if (k == END)
            error(token_line_, "`}' expected at the end of the file");
        else
            error(token_line_, "`property' or `}' expected");
    }
}

void Reader::variable_block()
{
    Variable v;
    v.line = token_line_;
    v.name = expect_word("a variable name");
    if (by_name_.count(v.name))
        error(token_line_, "variable `%s' declared twice", v.name.c_str());
    expect('{');
    bool typed = false;
    for (Kind k = next(); !(k == PUNCT && punct_ == '}'); k = next()) {
        if (k == END)
            error(token_line_, "`}' expected at the end of the file");
        if (k != WORD)
            error(token_line_, "`type', `property' or `}' expected");
        if (word_ == "property") {
            skip_property();
            continue;
        }
        if (word_ != "type")
            error(token_line_, "`type', `property' or `}' expected");
        if (typed)
            error(token_line_, "variable `%s' has two types", v.name.c_str());
        typed = true;
        if (expect_word("`discrete'") != "discrete")
            error(token_line_, "variable `%s': only discrete variables are supported", v.name.c_str());
        expect('[');
        std::string count = expect_word("the number of states");
        size_t line = token_line_;
        char *stop = nullptr;
        unsigned long long n = std::strtoull(count.c_str(), &stop, 10);
        if (count.empty() || *stop != '\0' || count[0] == '-' || n == 0 || n > 1000000)
            error(line, "`%s' is not a number of states", count.c_str());
        expect(']');
        expect('{');
        std::set<std::string> seen;
        for (;;) {
            std::string s = expect_word("a state name");
            if (!seen.insert(s).second)
                error(token_line_, "variable `%s' has two states named `%s'", v.name.c_str(), s.c_str());
            v.states.push_back(s);
            Kind t = next();
            if (t == PUNCT && punct_ == '}')
                break;
            if (!(t == PUNCT && punct_ == ','))
                error(token_line_, "`,' or `}' expected");
        }
        if (v.states.size() != n)
            error(line, "variable `%s' declares %llu states and names %zu", v.name.c_str(), n,
                  v.states.size());
        expect(';');
    }
    if (!typed)
        error(v.line, "variable `%s' has no type", v.name.c_str());
    by_name_[v.name] = variables_.size();
    variables_.push_back(std::move(v));
}

void Reader::probability_block()
{
    Probability pr;
    pr.line = token_line_;
    expect('(');
    pr.child = expect_word("a variable name");
    Kind k = next();
    if (k == PUNCT && punct_ == '|') {
        for (;;) {
            pr.parents.push_back(expect_word("a variable name"));
            k = next();
            if (k == PUNCT && punct_ == ')')
                break;
            if (!(k == PUNCT && punct_ == ','))
                error(token_line_, "`,' or `)' expected");
        }
    } else if (!(k == PUNCT && punct_ == ')')) {
        error(token_line_, "`|' or `)' expected");
    }
    expect('{');
    for (k = next(); !(k == PUNCT && punct_ == '}'); k = next()) {
        if (k == END)
            error(token_line_, "`}' expected at the end of the file");
        Row row;
        row.line = token_line_;
        if (k == WORD && word_ == "property") {
            skip_property();
            continue;
        }
        if (k == WORD && (word_ == "table" || word_ == "default")) {
            row.kind = word_ == "table" ? 1 : 2;
        } else if (k == PUNCT && punct_ == '(') {
            row.kind = 0;
            for (;;) {
                row.states.push_back(expect_word("a state name"));
                Kind t = next();
                if (t == PUNCT && punct_ == ')')
                    break;
                if (!(t == PUNCT && punct_ == ','))
                    error(token_line_, "`,' or `)' expected");
            }
        } else {
            error(token_line_, "`(', `table', `default', `property' or `}' expected");
        }
        // Numbers, separated by commas or white space, up to `;'.
        for (Kind t = next();; t = next()) {
            if (t == PUNCT && punct_ == ';')
                break;
            if (t == PUNCT && punct_ == ',' && !row.values.empty())
                continue;
            if (t != WORD)
                error(token_line_, t == END ? "`;' expected at the end of the file" : "a number expected");
            row.values.push_back(number(word_, token_line_));
        }
        pr.rows.push_back(std::move(row));
    }
    probabilities_.push_back(std::move(pr));
}

std::string Reader::node_name(const std::string &name, std::set<std::string> &taken) const
{
    std::string s = name;
    for (char &c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_') || static_cast<unsigned char>(c) >= 0x80)
            c = '_';
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0])))
        s.insert(s.begin(), '_');
    while (taken.count(s) || by_name_.count(s))
        s += '_';
    taken.insert(s);
    return s;
}

void Reader::fill_table(kv_node_s *child, const Probability &pr)
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
        if (row.kind == 1) {
            if (row.values.size() != k * configurations)
                error(row.line, "the table of `%s' needs %zu numbers, not %zu", pr.child.c_str(),
                      k * configurations, row.values.size());
            for (size_t s = 0; s < k; ++s)
                for (size_t c = 0; c < configurations; ++c)
                    data[offset(c) + s * stride[m]] = row.values[s * configurations + c];
            std::fill(given.begin(), given.end(), 1);
            continue;
        }
        if (row.values.size() != k)
            error(row.line, "`%s' has %zu states, and %zu numbers are given", pr.child.c_str(), k,
                  row.values.size());
        if (row.kind == 2) {
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

void Reader::build(kv_domain_s *d)
{
    std::set<std::string> taken;
    for (const Variable &v : variables_)
        if (_kv_is_c_identifier(v.name.c_str()))
            taken.insert(v.name);
    for (Variable &v : variables_) {
        kv_node_s *n = kv_domain_new_node(d, kv_category_chance, kv_kind_discrete);
        if (!n || kv_node_set_number_of_states(n, v.states.size()))
            error(v.line, "API error: %s", kv_error_name(kv_error_code()));
        bool plain = _kv_is_c_identifier(v.name.c_str());
        std::string name = plain ? v.name : node_name(v.name, taken);
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

kv_domain_s *Reader::read()
{
    kv_domain_s *d = nullptr;
    try {
        for (Kind k = next(); k != END; k = next()) {
            if (k == WORD && word_ == "network")
                network_block();
            else if (k == WORD && word_ == "variable")
                variable_block();
            else if (k == WORD && word_ == "probability")
                probability_block();
            else
                error(token_line_, "`network', `variable' or `probability' expected");
        }
        if (variables_.empty())
            error(line_, "no variables");
        d = kv_new_domain();
        if (!d)
            error(line_, "API error: %s", kv_error_name(kv_error_code()));
        build(d);
        kv::reverse_lists(d); // the first declared node leads, as after a NET parse
    } catch (const Failed &) {
        if (d)
            kv_domain_delete(d);
        _kv_set_error_code(kv_error_parse);
        return nullptr;
    }
    _kv_set_error_code(kv_error_none);
    return d;
}

kv_domain_t parse_bif(const char *text, size_t size, kv_error_handler_t handler, void *data)
{
    return kv::guard_ptr([&]() -> kv_domain_t {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return nullptr;
        Reader reader(text, size, handler, data);
        return reader.read();
    });
}

} // namespace

kv_domain_t kv_bif_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!file_name))
        return nullptr;
    FILE *f = std::fopen(file_name, "rb");
    if (!f)
        return _kv_set_error_code(kv_error_io), nullptr;
    std::vector<char, kv::ScratchAlloc<char>> text;
    bool ok;
    try {
        ok = kv::read_stream(f, text);
    } catch (const std::bad_alloc &) {
        std::fclose(f);
        return _kv_set_error_code(kv_error_no_memory), nullptr;
    }
    std::fclose(f);
    if (!ok)
        return _kv_set_error_code(kv_error_io), nullptr;
    return parse_bif(text.data(), text.size() - 1, handler, data);
}

kv_domain_t kv_bif_parse_from_string(kv_string_t text, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!text))
        return nullptr;
    return parse_bif(text, std::strlen(text), handler, data);
}
