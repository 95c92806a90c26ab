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
#include "network_builder.h"
#include "parser.h"
#include "table/table.h"

namespace {

using namespace kv::exchange;

class Reader {
public:
    Reader(const char *text, size_t size, kv_error_handler_t handler, void *data)
        : p_(text), end_(text + size), builder_(handler, data)
    {
    }

    kv_domain_s *read();

private:
    enum Kind { END, WORD, PUNCT };

    template <class... A> [[noreturn]] void error(size_t line, const char *format, A... a)
    {
        builder_.error(line, format, a...);
    }
    void skip_space();
    Kind next();
    void expect(char c);
    std::string expect_word(const char *what);
    double number(const std::string &word, size_t line);
    void skip_property();
    void network_block();
    void variable_block();
    void probability_block();

    const char *p_, *end_;
    size_t line_ = 1, token_line_ = 1;
    Kind kind_ = END;
    char punct_ = 0;
    std::string word_;
    bool pushed_ = false;
    Builder builder_;
};

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
    if (builder_.declared(v.name))
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
    builder_.declare(std::move(v));
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
            row.kind = word_ == "table" ? CHILD_SLOWEST : DEFAULT;
        } else if (k == PUNCT && punct_ == '(') {
            row.kind = ROW;
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
    builder_.add(std::move(pr));
}

kv_domain_s *Reader::read()
{
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
    } catch (const Failed &) {
        _kv_set_error_code(kv_error_parse);
        return nullptr;
    }
    return builder_.finish(line_);
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
    std::vector<char, kv::ScratchAlloc<char>> text;
    if (kv::exchange::read_file(file_name, text))
        return nullptr;
    return parse_bif(text.data(), text.size() - 1, handler, data);
}

kv_domain_t kv_bif_parse_from_string(kv_string_t text, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!text))
        return nullptr;
    return parse_bif(text, std::strlen(text), handler, data);
}
