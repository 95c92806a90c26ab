// The XMLBIF 0.3 reader: a BIF element holding a NETWORK with VARIABLE
// elements (TYPE "nature", a NAME, OUTCOME states) and DEFINITION (or the
// older PROBABILITY) elements (FOR the child, GIVEN parents in order, TABLE
// numbers with the parents slowest and the child fastest).  PROPERTY
// elements are passed over.  The XML read is what these files use:
// elements, attributes, text with the five named entities and numeric
// character references, comments, processing instructions and a DOCTYPE
// with its internal subset; tag names are matched without regard to case.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/api.h"
#include "core/domain.h"
#include "network_builder.h"
#include "parser.h"

namespace {

using namespace kv::exchange;

struct Element {
    std::string name; // upper case
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::unique_ptr<Element>> children;
    std::string text; // the character data directly inside
    size_t line = 0;
};

constexpr int max_depth = 64;

class Xml {
public:
    Xml(const char *text, size_t size, Builder &b) : p_(text), end_(text + size), b_(b) {}

    std::unique_ptr<Element> document();
    size_t line() const { return line_; }

private:
    bool at(const char *s) const
    {
        size_t n = std::strlen(s);
        return size_t(end_ - p_) >= n && std::memcmp(p_, s, n) == 0;
    }
    void advance(size_t n)
    {
        for (size_t i = 0; i < n && p_ < end_; ++i)
            line_ += *p_++ == '\n';
    }
    void skip_until(const char *s, const char *what);
    void skip_misc();
    void skip_space()
    {
        while (p_ < end_ && std::isspace(static_cast<unsigned char>(*p_)))
            advance(1);
    }
    std::string name();
    std::string decode(const char *from, const char *to, size_t line);
    std::unique_ptr<Element> element(int depth);

    const char *p_, *end_;
    size_t line_ = 1;
    Builder &b_;
};

void Xml::skip_until(const char *s, const char *what)
{
    size_t start = line_;
    while (p_ < end_ && !at(s))
        advance(1);
    if (p_ >= end_)
        b_.error(start, "%s not closed", what);
    advance(std::strlen(s));
}

// Comments, processing instructions, a DOCTYPE and white space.
void Xml::skip_misc()
{
    for (;;) {
        skip_space();
        if (at("<?")) {
            skip_until("?>", "processing instruction");
        } else if (at("<!--")) {
            skip_until("-->", "comment");
        } else if (at("<!DOCTYPE") || at("<!doctype")) {
            size_t start = line_;
            int brackets = 0;
            while (p_ < end_ && !(*p_ == '>' && brackets == 0)) {
                brackets += *p_ == '[' ? 1 : *p_ == ']' ? -1 : 0;
                advance(1);
            }
            if (p_ >= end_)
                b_.error(start, "DOCTYPE not closed");
            advance(1);
        } else {
            return;
        }
    }
}

std::string Xml::name()
{
    std::string n;
    while (p_ < end_ && (std::isalnum(static_cast<unsigned char>(*p_)) || std::strchr("_-.:", *p_)) && *p_)
        n += char(std::toupper(static_cast<unsigned char>(*p_))), advance(1);
    if (n.empty())
        b_.error(line_, "a tag name expected");
    return n;
}

std::string Xml::decode(const char *from, const char *to, size_t line)
{
    std::string out;
    for (const char *q = from; q < to; ++q) {
        if (*q != '&') {
            out += *q;
            continue;
        }
        const char *semi = static_cast<const char *>(std::memchr(q, ';', size_t(to - q)));
        if (!semi || semi - q > 12)
            b_.error(line, "`&' without its entity");
        std::string entity(q + 1, semi);
        if (entity == "amp")
            out += '&';
        else if (entity == "lt")
            out += '<';
        else if (entity == "gt")
            out += '>';
        else if (entity == "quot")
            out += '"';
        else if (entity == "apos")
            out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            bool hex = entity[1] == 'x' || entity[1] == 'X';
            char *stop = nullptr;
            unsigned long c = std::strtoul(entity.c_str() + (hex ? 2 : 1), &stop, hex ? 16 : 10);
            if (*stop || c == 0 || c > 0x10FFFF)
                b_.error(line, "bad character reference `&%s;'", entity.c_str());
            // UTF-8.
            if (c < 0x80) {
                out += char(c);
            } else if (c < 0x800) {
                out += char(0xC0 | (c >> 6));
                out += char(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += char(0xE0 | (c >> 12));
                out += char(0x80 | ((c >> 6) & 0x3F));
                out += char(0x80 | (c & 0x3F));
            } else {
                out += char(0xF0 | (c >> 18));
                out += char(0x80 | ((c >> 12) & 0x3F));
                out += char(0x80 | ((c >> 6) & 0x3F));
                out += char(0x80 | (c & 0x3F));
            }
        } else {
            b_.error(line, "unknown entity `&%s;'", entity.c_str());
        }
        q = semi;
    }
    return out;
}

std::unique_ptr<Element> Xml::element(int depth)
{
    if (depth > max_depth)
        b_.error(line_, "elements nested too deeply");
    auto e = std::make_unique<Element>();
    e->line = line_;
    advance(1); // '<'
    e->name = name();
    for (;;) {
        skip_space();
        if (p_ >= end_)
            b_.error(e->line, "tag <%s> not closed", e->name.c_str());
        if (*p_ == '/' || *p_ == '>')
            break;
        std::string key = name();
        skip_space();
        if (p_ >= end_ || *p_ != '=')
            b_.error(line_, "`=' expected after attribute %s", key.c_str());
        advance(1);
        skip_space();
        if (p_ >= end_ || (*p_ != '"' && *p_ != '\''))
            b_.error(line_, "a quoted value expected for attribute %s", key.c_str());
        char quote = *p_;
        advance(1);
        const char *from = p_;
        size_t line = line_;
        while (p_ < end_ && *p_ != quote)
            advance(1);
        if (p_ >= end_)
            b_.error(line, "value of attribute %s not closed", key.c_str());
        e->attributes.push_back({key, decode(from, p_, line)});
        advance(1);
    }
    if (*p_ == '/') {
        advance(1);
        if (p_ >= end_ || *p_ != '>')
            b_.error(line_, "`>' expected");
        advance(1);
        return e;
    }
    advance(1); // '>'
    for (;;) {
        const char *from = p_;
        size_t line = line_;
        while (p_ < end_ && *p_ != '<')
            advance(1);
        e->text += decode(from, p_, line);
        if (p_ >= end_)
            b_.error(e->line, "element <%s> not closed", e->name.c_str());
        if (at("<!--")) {
            skip_until("-->", "comment");
        } else if (at("<?")) {
            skip_until("?>", "processing instruction");
        } else if (at("<![CDATA[")) {
            advance(9);
            const char *start = p_;
            size_t cline = line_;
            while (p_ < end_ && !at("]]>"))
                advance(1);
            if (p_ >= end_)
                b_.error(cline, "CDATA section not closed");
            e->text.append(start, p_);
            advance(3);
        } else if (at("</")) {
            advance(2);
            size_t close_line = line_;
            std::string closing = name();
            if (closing != e->name)
                b_.error(close_line, "</%s> closes <%s> of line %zu", closing.c_str(), e->name.c_str(), e->line);
            skip_space();
            if (p_ >= end_ || *p_ != '>')
                b_.error(line_, "`>' expected");
            advance(1);
            return e;
        } else {
            e->children.push_back(element(depth + 1));
        }
    }
}

std::unique_ptr<Element> Xml::document()
{
    skip_misc();
    if (p_ >= end_ || *p_ != '<')
        b_.error(line_, "an element expected");
    std::unique_ptr<Element> root = element(0);
    skip_misc();
    if (p_ < end_ && *p_)
        b_.error(line_, "text after the document element");
    return root;
}

std::string trimmed(const std::string &s)
{
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a])))
        ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1])))
        --b;
    return s.substr(a, b - a);
}

const Element *only(const Element &e, const char *name, Builder &b)
{
    const Element *found = nullptr;
    for (const auto &c : e.children)
        if (c->name == name) {
            if (found)
                b.error(c->line, "<%s> holds two <%s> elements", e.name.c_str(), name);
            found = c.get();
        }
    if (!found)
        b.error(e.line, "<%s> without <%s>", e.name.c_str(), name);
    return found;
}

void variable(const Element &e, Builder &b)
{
    for (const auto &[key, value] : e.attributes)
        if (key == "TYPE" && value != "nature")
            b.error(e.line, "variables of type `%s' are not supported", value.c_str());
    Variable v;
    v.line = e.line;
    v.name = trimmed(only(e, "NAME", b)->text);
    if (v.name.empty())
        b.error(e.line, "a variable without a name");
    if (b.declared(v.name))
        b.error(e.line, "variable `%s' declared twice", v.name.c_str());
    for (const auto &c : e.children) {
        if (c->name == "OUTCOME" || c->name == "VALUE") {
            std::string s = trimmed(c->text);
            for (const std::string &t : v.states)
                if (t == s)
                    b.error(c->line, "variable `%s' has two states named `%s'", v.name.c_str(), s.c_str());
            v.states.push_back(s);
        } else if (c->name != "NAME" && c->name != "PROPERTY") {
            b.error(c->line, "<%s> in a variable", c->name.c_str());
        }
    }
    if (v.states.empty())
        b.error(e.line, "variable `%s' has no states", v.name.c_str());
    b.declare(std::move(v));
}

void definition(const Element &e, Builder &b)
{
    Probability pr;
    pr.line = e.line;
    pr.child = trimmed(only(e, "FOR", b)->text);
    const Element *table = only(e, "TABLE", b);
    for (const auto &c : e.children) {
        if (c->name == "GIVEN")
            pr.parents.push_back(trimmed(c->text));
        else if (c->name != "FOR" && c->name != "TABLE" && c->name != "PROPERTY")
            b.error(c->line, "<%s> in a definition", c->name.c_str());
    }
    Row row;
    row.line = table->line;
    row.kind = CHILD_FASTEST;
    const char *q = table->text.c_str();
    for (;;) {
        while (*q && std::isspace(static_cast<unsigned char>(*q)))
            ++q;
        if (!*q)
            break;
        const char *start = q;
        while (*q && !std::isspace(static_cast<unsigned char>(*q)))
            ++q;
        std::string word(start, q);
        char *stop = nullptr;
        double x = std::strtod(word.c_str(), &stop);
        if (*stop || !std::isfinite(x))
            b.error(table->line, "`%s' is not a number", word.c_str());
        row.values.push_back(x);
    }
    pr.rows.push_back(std::move(row));
    b.add(std::move(pr));
}

kv_domain_t parse_xmlbif(const char *text, size_t size, kv_error_handler_t handler, void *data)
{
    return kv::guard_ptr([&]() -> kv_domain_t {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return nullptr;
        Builder b(handler, data);
        Xml xml(text, size, b);
        try {
            std::unique_ptr<Element> root = xml.document();
            const Element *network = root.get();
            if (root->name == "BIF")
                network = only(*root, "NETWORK", b);
            else if (root->name != "NETWORK")
                b.error(root->line, "<BIF> expected, not <%s>", root->name.c_str());
            for (const auto &c : network->children) {
                if (c->name == "VARIABLE")
                    variable(*c, b);
                else if (c->name == "DEFINITION" || c->name == "PROBABILITY")
                    definition(*c, b);
                else if (c->name != "NAME" && c->name != "PROPERTY")
                    b.error(c->line, "<%s> in the network", c->name.c_str());
            }
        } catch (const Failed &) {
            _kv_set_error_code(kv_error_parse);
            return nullptr;
        }
        return b.finish(xml.line());
    });
}

} // namespace

kv_domain_t kv_xmlbif_parse_domain(kv_string_t file_name, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!file_name))
        return nullptr;
    std::vector<char, kv::ScratchAlloc<char>> text;
    if (kv::exchange::read_file(file_name, text))
        return nullptr;
    return parse_xmlbif(text.data(), text.size() - 1, handler, data);
}

kv_domain_t kv_xmlbif_parse_from_string(kv_string_t text, kv_error_handler_t handler, void *data)
{
    if (_kv_set_error_code(!text))
        return nullptr;
    return parse_xmlbif(text, std::strlen(text), handler, data);
}
