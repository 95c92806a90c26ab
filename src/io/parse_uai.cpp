// The UAI competition format: BAYES networks (each function is the table of
// the last variable of its scope given the others) and MARKOV networks
// (each function a factor), with .evid evidence files.
//
// Variable i becomes node Xi with states "0", "1", ...  A Markov network
// becomes an ordinary domain: each variable gets a uniform table, and each
// factor f over S a node Fj with states "false" and "true" whose table
// gives true the probability f(s) / max f given s, with the finding true
// entered: the beliefs of the Xi are then those of the Markov network, and
// P(evidence) is its partition function times the product of the uniform
// priors and of 1 / max f.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/api.h"
#include "core/domain.h"
#include "network_builder.h"
#include "parser.h"

namespace {

using namespace kv::exchange;

class Tokens {
public:
    Tokens(const char *text, size_t size, Builder &b) : p_(text), end_(text + size), b_(b) {}

    // The next word, or false at the end.
    bool next(std::string &word)
    {
        while (p_ < end_ && *p_ && std::isspace(static_cast<unsigned char>(*p_)))
            line_ += *p_++ == '\n';
        if (p_ >= end_ || !*p_)
            return false;
        word.clear();
        line_of_word_ = line_;
        while (p_ < end_ && *p_ && !std::isspace(static_cast<unsigned char>(*p_)))
            word += *p_++;
        return true;
    }
    size_t count(const char *what, size_t most)
    {
        std::string w;
        if (!next(w))
            b_.error(line_, "%s expected at the end of the file", what);
        char *stop = nullptr;
        unsigned long long n = std::strtoull(w.c_str(), &stop, 10);
        if (*stop || w[0] == '-' || n > most)
            b_.error(line_of_word_, "`%s' is not %s", w.c_str(), what);
        return size_t(n);
    }
    double number()
    {
        std::string w;
        if (!next(w))
            b_.error(line_, "a number expected at the end of the file");
        char *stop = nullptr;
        double x = std::strtod(w.c_str(), &stop);
        if (*stop || !std::isfinite(x))
            b_.error(line_of_word_, "`%s' is not a number", w.c_str());
        return x;
    }
    size_t line() const { return line_; }
    size_t word_line() const { return line_of_word_; }

private:
    const char *p_, *end_;
    size_t line_ = 1, line_of_word_ = 1;
    Builder &b_;
};

constexpr size_t most_variables = 1000000, most_states = 1000000, most_entries = size_t(1) << 31;

std::string variable_name(size_t i)
{
    return "X" + std::to_string(i);
}

kv_domain_t parse_uai(const char *text, size_t size, kv_error_handler_t handler, void *data)
{
    return kv::guard_ptr([&]() -> kv_domain_t {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return nullptr;
        Builder b(handler, data);
        Tokens in(text, size, b);
        bool markov = false;
        std::vector<size_t> factor_lines;
        try {
            std::string kind;
            if (!in.next(kind) || (kind != "BAYES" && kind != "MARKOV"))
                b.error(in.word_line(), "`BAYES' or `MARKOV' expected");
            markov = kind == "MARKOV";
            size_t n = in.count("a number of variables", most_variables);
            std::vector<size_t> cards(n), card_lines(n);
            for (size_t i = 0; i < n; ++i) {
                cards[i] = in.count("a number of states", most_states);
                card_lines[i] = in.word_line();
                if (!cards[i])
                    b.error(in.word_line(), "variable %zu has no states", i);
            }
            size_t m = in.count("a number of functions", most_variables);
            std::vector<std::vector<size_t>> scopes(m);
            std::vector<size_t> lines(m);
            for (size_t j = 0; j < m; ++j) {
                size_t k = in.count("a scope size", n);
                lines[j] = in.word_line();
                if (!markov && k == 0)
                    b.error(lines[j], "function %zu has an empty scope", j);
                for (size_t i = 0; i < k; ++i) {
                    size_t v = in.count("a variable", n ? n - 1 : 0);
                    if (std::find(scopes[j].begin(), scopes[j].end(), v) != scopes[j].end())
                        b.error(in.word_line(), "variable %zu is twice in the scope of function %zu", v, j);
                    scopes[j].push_back(v);
                }
            }
            for (size_t i = 0; i < n; ++i) {
                Variable v;
                v.line = card_lines[i];
                v.name = variable_name(i);
                for (size_t s = 0; s < cards[i]; ++s)
                    v.states.push_back(std::to_string(s));
                b.declare(std::move(v));
            }
            std::vector<char> has_table(n, 0);
            for (size_t j = 0; j < m; ++j) {
                size_t entries = 1;
                for (size_t v : scopes[j]) {
                    if (entries > most_entries / cards[v])
                        b.error(lines[j], "function %zu is too large", j);
                    entries *= cards[v];
                }
                size_t count = in.count("a number of table entries", most_entries);
                size_t line = in.word_line();
                if (count != entries)
                    b.error(line, "function %zu needs %zu entries, not %zu", j, entries, count);
                Row row{line, CHILD_FASTEST, {}, {}};
                row.values.reserve(std::min<size_t>(entries, 1 << 16)); // the count is not trusted
                for (size_t e = 0; e < entries; ++e)
                    row.values.push_back(in.number());
                Probability pr;
                pr.line = line;
                if (markov) {
                    double most = 0.0;
                    for (double x : row.values) {
                        if (x < 0.0)
                            b.error(line, "function %zu has a negative entry", j);
                        most = x > most ? x : most;
                    }
                    if (!(most > 0.0))
                        b.error(line, "function %zu is zero everywhere", j);
                    Variable f;
                    f.line = line;
                    f.name = "F" + std::to_string(j);
                    f.states = {"false", "true"};
                    b.declare(std::move(f));
                    pr.child = "F" + std::to_string(j);
                    for (size_t v : scopes[j])
                        pr.parents.push_back(variable_name(v));
                    Row cpt{line, CHILD_FASTEST, {}, {}};
                    for (double x : row.values) {
                        cpt.values.push_back(1.0 - x / most);
                        cpt.values.push_back(x / most);
                    }
                    pr.rows.push_back(std::move(cpt));
                    factor_lines.push_back(line);
                } else {
                    size_t child = scopes[j].back();
                    if (has_table[child])
                        b.error(line, "variable %zu is the last of two scopes", child);
                    has_table[child] = 1;
                    pr.child = variable_name(child);
                    for (size_t i = 0; i + 1 < scopes[j].size(); ++i)
                        pr.parents.push_back(variable_name(scopes[j][i]));
                    pr.rows.push_back(std::move(row));
                }
                b.add(std::move(pr));
            }
            if (markov)
                for (size_t i = 0; i < n; ++i) {
                    Probability pr;
                    pr.line = 1;
                    pr.child = variable_name(i);
                    pr.rows.push_back(Row{1, CHILD_FASTEST, {}, std::vector<double>(cards[i], 1.0 / double(cards[i]))});
                    b.add(std::move(pr));
                }
            std::string extra;
            if (in.next(extra))
                b.error(in.word_line(), "`%s' after the last function", extra.c_str());
        } catch (const Failed &) {
            _kv_set_error_code(kv_error_parse);
            return nullptr;
        }
        kv_domain_s *d = b.finish(in.line());
        for (size_t j = 0; d && j < factor_lines.size(); ++j) {
            kv_node_s *f = _kv_find_node_by_name(d, ("F" + std::to_string(j)).c_str());
            if (!f || kv_node_select_state(f, 1)) {
                kv_domain_delete(d);
                _kv_set_error_code(kv_error_error);
                return nullptr;
            }
        }
        _kv_set_error_code(d ? kv_error_none : kv_error_parse);
        return d;
    });
}

// Evidence: "N v1 s1 ... vN sN", or the older "1" (one sample) followed by
// that.
int parse_evidence(kv_domain_s *d, const char *text, size_t size, kv_error_handler_t handler, void *data)
{
    Builder b(handler, data);
    Tokens in(text, size, b);
    try {
        std::vector<size_t> numbers;
        std::vector<size_t> lines;
        std::string w;
        while (in.next(w)) {
            char *stop = nullptr;
            unsigned long long x = std::strtoull(w.c_str(), &stop, 10);
            if (*stop || w[0] == '-' || x > most_variables * 16)
                b.error(in.word_line(), "`%s' is not a count, a variable or a state", w.c_str());
            numbers.push_back(size_t(x));
            lines.push_back(in.word_line());
        }
        size_t first = 0;
        if (numbers.empty())
            b.error(in.line(), "the number of observed variables expected");
        if (numbers.size() != 1 + 2 * numbers[0]) {
            if (numbers[0] == 1 && numbers.size() >= 2 && numbers.size() == 2 + 2 * numbers[1])
                first = 1;
            else
                b.error(lines[0], "%zu numbers do not make %zu observations", numbers.size() - 1, numbers[0]);
        }
        size_t count = numbers[first];
        std::vector<std::pair<kv_node_s *, size_t>> findings;
        for (size_t i = 0; i < count; ++i) {
            size_t v = numbers[first + 1 + 2 * i], s = numbers[first + 2 + 2 * i];
            size_t line = lines[first + 1 + 2 * i];
            kv_node_s *n = _kv_find_node_by_name(d, variable_name(v).c_str());
            if (!n || n->kind != kv_kind_discrete)
                b.error(line, "no variable %zu", v);
            if (s >= n->number_of_states)
                b.error(line, "variable %zu has no state %zu", v, s);
            findings.push_back({n, s});
        }
        for (auto [n, s] : findings)
            if (int status = kv_node_select_state(n, s))
                return status;
    } catch (const Failed &) {
        return _kv_set_error_code(kv_error_parse);
    }
    return _kv_set_error_code(kv_error_none);
}

} // namespace

kv_domain_t kv_uai_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!file_name))
        return nullptr;
    std::vector<char, kv::ScratchAlloc<char>> text;
    if (kv::exchange::read_file(file_name, text))
        return nullptr;
    return parse_uai(text.data(), text.size() - 1, handler, data);
}

kv_domain_t kv_uai_parse_from_string(kv_string_t text, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!text))
        return nullptr;
    return parse_uai(text, std::strlen(text), handler, data);
}

kv_status_t kv_uai_parse_evidence(kv_domain_t d, kv_string_t file_name, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!d || !file_name))
        return kv_error_usage;
    return kv::guard_status([&]() -> int {
        std::vector<char, kv::ScratchAlloc<char>> text;
        if (int status = kv::exchange::read_file(file_name, text))
            return status;
        return parse_evidence(d, text.data(), text.size() - 1, handler, data);
    });
}

kv_status_t kv_uai_parse_evidence_from_string(kv_domain_t d, kv_string_t text, kv_error_handler_t handler,
                                              void *data)
{
    if (_kv_set_error_code(!d || !text))
        return kv_error_usage;
    return kv::guard_status([&] { return parse_evidence(d, text, std::strlen(text), handler, data); });
}
