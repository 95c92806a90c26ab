// The case-file readers: a case file holds one case as evidence, lines of
// a node name, a colon and a value; a case data file holds a header of node
// names and then one case per line, added to the domain's case data.  Both
// read the input in parts, so a file of millions of cases never has to be
// in memory whole.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "case_file.h"
#include "core/api.h"
#include "parser.h"

namespace kv {

long number_state(const kv_node_s *n, double v)
{
    const double *values = n->state_values;
    size_t k = n->number_of_states;
    if (n->subtype == kv_subtype_interval) {
        // The first end above v closes the interval that holds it.
        size_t i = size_t(std::upper_bound(values, values + k + 1, v) - values);
        return i >= 1 && i <= k ? long(i - 1) : -1;
    }
    double tolerance = 1e-10 * std::fabs(v);
    size_t i = size_t(std::lower_bound(values, values + k, v - 2 * tolerance) - values);
    for (; i < k && values[i] <= v + 2 * tolerance; ++i)
        if (std::fabs(v - values[i]) <= tolerance)
            return long(i);
    return -1;
}

const char *label_of(const kv_node_s *n, size_t s)
{
    const char *label = n->state_labels ? n->state_labels[s] : nullptr;
    return label ? label : "";
}

long label_state(const kv_node_s *n, const char *label)
{
    long found = -1;
    for (size_t s = 0; s < n->number_of_states; ++s)
        if (std::strcmp(label_of(n, s), label) == 0) {
            if (found >= 0)
                return -2;
            found = long(s);
        }
    return found;
}

} // namespace kv

namespace {

using kv::Parser;
template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

// The token that stands for the end of a case line: the next token begins
// on a later line.
constexpr int T_EOL = -20;

bool chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

// One value item: a state, a value, a likelihood, or nothing.
struct Item {
    enum Kind { STATE, VALUE, LIKELIHOOD, MISSING } kind = MISSING;
    size_t state = 0;
    double value = 0.0;
    Vec<double> likelihood;
};

// A node that items are read for, with what its items need looked up once.
struct Column {
    kv_node_s *node;
    int increasing = -1; // whether its state values increase; -1: not known yet
    // Label to state (-2: shared) for label nodes with many states.
    std::unordered_map<std::string_view, long, std::hash<std::string_view>, std::equal_to<>,
                       kv::ScratchAlloc<std::pair<const std::string_view, long>>>
        labels;

    Vec<std::string_view> names; // the state labels, made on first use

    explicit Column(kv_node_s *n) : node(n) {}

    bool values_increase()
    {
        if (increasing < 0)
            increasing = _kv_node_state_values_increase(node);
        return increasing;
    }

    // The state with the label (length bytes): -1 none, -2 several.
    long state_labelled(const char *label, size_t length)
    {
        std::string_view wanted(label, length);
        if (names.empty())
            for (size_t s = 0; s < node->number_of_states; ++s)
                names.push_back(kv::label_of(node, s));
        if (names.size() <= 16) {
            long found = -1;
            for (size_t s = 0; s < names.size(); ++s)
                if (names[s] == wanted) {
                    if (found >= 0)
                        return -2;
                    found = long(s);
                }
            return found;
        }
        if (labels.empty())
            for (size_t s = 0; s < names.size(); ++s) {
                auto [at, fresh] = labels.emplace(names[s], long(s));
                if (!fresh)
                    at->second = -2;
            }
        auto at = labels.find(wanted);
        return at == labels.end() ? -1 : at->second;
    }
};

class CaseReader {
public:
    CaseReader(Parser &p, bool data) : p_(p), data_(data) {}

    // The next token; in case data, T_EOL when it begins on a later line
    // than the last token taken (it stays in the input).
    int next()
    {
        int t = kv::next_token(p_);
        if (data_ && t != kv::T_END && !(t == kv::T_ERROR && p_.status)) {
            if (p_.token_line > line_) {
                kv::unget_token(p_, t);
                return T_EOL;
            }
            line_ = p_.line;
        }
        return t;
    }

    // The next token wherever it begins: the first of a line.
    int next_line()
    {
        int t = kv::next_token(p_);
        line_ = p_.line;
        return t;
    }

    int fail(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        // Formatted here so that the message is the handler's one line.
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(nullptr, 0, format, args);
        va_end(args);
        Vec<char> message(size_t(n > 0 ? n : 0) + 1);
        va_start(args, format);
        std::vsnprintf(message.data(), message.size(), format, args);
        va_end(args);
        // In case data a message is about the line being read, even when
        // the input has been looked at beyond it.
        size_t line = p_.line;
        if (data_)
            p_.line = line_;
        int status = kv::fatal(p_, kv_error_parse, "%s", message.data());
        p_.line = line;
        return status;
    }

    // A lexical error reported already, or the given message.
    int fail_token(int t, const char *message)
    {
        if (t == kv::T_ERROR && p_.status)
            return p_.status;
        return fail("%s", message);
    }

    // The item that begins with token t.
    int item(Column &c, Item &out, int t);

private:
    int state(Item &out, size_t s)
    {
        out.kind = Item::STATE;
        out.state = s;
        return kv_error_none;
    }
    int likelihood(kv_node_s *n, Item &out);

    Parser &p_;
    bool data_;
    size_t line_ = 0;
};

int CaseReader::item(Column &c, Item &out, int t)
{
    kv_node_s *n = c.node;
    bool discrete = n->kind == kv_kind_discrete;
    size_t k = n->number_of_states;
    switch (t) {
    case kv::T_STRING: {
        if (!discrete || n->subtype != kv_subtype_label)
            return fail("state labels are only allowed for labeled nodes");
        // A label may hold NUL characters: its length is the token's.
        long s = c.state_labelled(p_.text_value(), p_.text.size() - 1);
        if (s < 0)
            return fail("\"%s\" is not a (unique) state label of `%s'", p_.text_value(), n->name);
        return state(out, size_t(s));
    }
    case kv::T_NAME:
    case kv::T_DOTTED: {
        bool is_true = std::strcmp(p_.text_value(), "true") == 0;
        if (!is_true && std::strcmp(p_.text_value(), "false") != 0)
            return fail("state labels must be quoted");
        if (discrete && n->subtype == kv_subtype_boolean)
            return state(out, is_true ? 1 : 0);
        if (discrete && n->subtype == kv_subtype_label)
            return fail("state labels must be quoted");
        return fail("illegal token");
    }
    case '#': {
        if (!discrete)
            return fail("state index can only be specified for discrete nodes");
        t = next();
        double i = p_.number;
        // Tested as a double before it becomes an index.
        if (t != kv::T_NUMBER || !(i >= 0) || !(i < double(k)) || i != std::trunc(i))
            return fail_token(t, "`#' must be followed by a valid state index");
        return state(out, size_t(i));
    }
    case kv::T_NUMBER: {
        double v = p_.number;
        if (!std::isfinite(v))
            return fail("number expected");
        if (n->kind == kv_kind_continuous) {
            out.kind = Item::VALUE;
            out.value = v;
            return kv_error_none;
        }
        if (!discrete || (n->subtype != kv_subtype_number && n->subtype != kv_subtype_interval))
            return fail("numeric findings are only allowed for CG, numbered, and interval nodes");
        if (!c.values_increase())
            return fail("the state values of `%s' do not form an increasing sequence", n->name);
        long s = kv::number_state(n, v);
        if (s < 0)
            return fail("no state of `%s' corresponds to the value %G", n->name, v);
        return state(out, size_t(s));
    }
    case '(':
        if (data_) // the store holds one state or value per node and case
            return fail("likelihood vectors are not allowed in case data files");
        if (!discrete)
            return fail("likelihood can only be specified for discrete nodes");
        return likelihood(n, out);
    case '*':
    case '?':
        if (!data_)
            return fail("illegal token");
        out.kind = Item::MISSING;
        return kv_error_none;
    case kv::T_END:
        return fail("unexpected end-of-file");
    case kv::T_ERROR:
        return fail_token(t, "number expected");
    case ',':
        if (data_) // an empty item
            return fail("syntax error");
        return fail("illegal token");
    default:
        return fail("illegal token");
    }
}

int CaseReader::likelihood(kv_node_s *n, Item &out)
{
    size_t k = n->number_of_states;
    out.kind = Item::LIKELIHOOD;
    out.likelihood.clear();
    for (;;) {
        int t = next();
        if (t == ')') {
            if (out.likelihood.size() < k)
                return fail("likelihood vector too short");
            return kv_error_none;
        }
        if (t == kv::T_END)
            return fail("unexpected end-of-file");
        if (t != kv::T_NUMBER)
            return fail_token(t, out.likelihood.size() == k ? "')' expected" : "number expected");
        if (!std::isfinite(p_.number))
            return fail("number expected");
        if (out.likelihood.size() == k)
            return fail("likelihood vector too long");
        if (p_.number < 0)
            return fail("likelihood numbers must be nonnegative");
        out.likelihood.push_back(p_.number);
    }
}

int enter(kv_node_s *n, const Item &item)
{
    switch (item.kind) {
    case Item::STATE:
        return kv_node_select_state(n, item.state);
    case Item::VALUE:
        return kv_node_enter_value(n, item.value);
    case Item::LIKELIHOOD:
        for (size_t s = 0; s < item.likelihood.size(); ++s)
            if (int status = kv_node_enter_finding(n, s, item.likelihood[s]))
                return status;
        return kv_error_none;
    case Item::MISSING:
        break;
    }
    return kv_error_none;
}

int parse_case_file(Parser &p, kv_domain_s *d)
{
    CaseReader r(p, false);
    std::unordered_set<kv_node_s *, std::hash<kv_node_s *>, std::equal_to<>, kv::ScratchAlloc<kv_node_s *>>
        seen;
    Item item;
    for (;;) {
        int t = r.next();
        if (t == kv::T_END)
            return kv_error_none;
        if (t != kv::T_NAME && t != kv::T_DOTTED)
            return r.fail_token(t, "node name expected");
        kv_node_s *n = _kv_find_node_by_name(d, p.text_value());
        if (!n)
            return r.fail("the domain has no node named `%s'", p.text_value());
        if (!chance_or_decision(n))
            return r.fail("only chance and decision nodes can have findings");
        if (!seen.insert(n).second)
            return r.fail("findings specified twice for `%s'", n->name);
        t = r.next();
        if (t != ':')
            return r.fail_token(t, "`:' expected");
        Column column(n);
        if (int status = r.item(column, item, r.next()))
            return status;
        if (int status = enter(n, item))
            return kv::api_error(p, status);
    }
}

int store(size_t i, kv_node_s *n, const Item &item)
{
    switch (item.kind) {
    case Item::STATE:
        return kv_node_set_case_state(n, i, item.state);
    case Item::VALUE:
        return kv_node_set_case_value(n, i, item.value);
    default:
        return kv_error_none;
    }
}

// The header: an optional `#' (counts follow), then the node names.
int parse_header(CaseReader &r, Parser &p, kv_domain_s *d, Vec<Column> &columns, bool &counts)
{
    int t = r.next_line();
    counts = t == '#';
    if (counts) {
        t = r.next();
        if (t == ',') // the writer puts the separator after `#'
            t = r.next();
    }
    std::unordered_set<kv_node_s *, std::hash<kv_node_s *>, std::equal_to<>, kv::ScratchAlloc<kv_node_s *>>
        listed;
    while (t != T_EOL && t != kv::T_END) {
        if (t != kv::T_NAME && t != kv::T_DOTTED)
            return r.fail_token(t, "node name expected");
        kv_node_s *n = _kv_find_node_by_name(d, p.text_value());
        if (!n)
            return r.fail("the domain has no node named `%s'", p.text_value());
        if (!chance_or_decision(n))
            return r.fail("node `%s' is not a chance or a decision node", n->name);
        if (!listed.insert(n).second)
            return r.fail("node `%s' listed twice", n->name);
        columns.emplace_back(n);
        t = r.next();
        if (t == ',') {
            t = r.next();
            if (t == T_EOL || t == kv::T_END)
                return r.fail("line is incomplete");
        }
    }
    if (columns.empty())
        return r.fail("node name expected");
    return kv_error_none;
}

int parse_case_data_file(Parser &p, kv_domain_s *d)
{
    CaseReader r(p, true);
    Vec<Column> columns;
    bool counts = false;
    if (int status = parse_header(r, p, d, columns, counts))
        return status;
    Item item;
    bool any = false;
    for (;;) {
        int t = r.next_line();
        if (t == kv::T_END)
            break;
        if (t == kv::T_ERROR && p.status)
            return p.status;
        size_t i = kv_domain_new_case(d);
        if (i == size_t(-1))
            return kv::api_error(p, kv_error_code());
        any = true;
        if (counts) {
            if (t != kv::T_NUMBER)
                return r.fail_token(t, "case count expected");
            if (!std::isfinite(p.number))
                return r.fail("number expected");
            if (p.number < 0)
                return r.fail("case counts must be nonnegative");
            if (int status = kv_domain_set_case_count(d, i, p.number))
                return kv::api_error(p, status);
        }
        for (size_t j = 0; j < columns.size(); ++j) {
            if (j > 0 || counts) {
                t = r.next();
                bool comma = t == ',';
                if (comma)
                    t = r.next();
                if (t == T_EOL || t == kv::T_END)
                    return r.fail(comma ? "line is incomplete" : "the case has too few data items");
            }
            if (int status = r.item(columns[j], item, t))
                return status;
            if (int status = store(i, columns[j].node, item))
                return kv::api_error(p, status);
        }
        t = r.next();
        if (t == ',') {
            t = r.next();
            if (t == T_EOL || t == kv::T_END)
                return r.fail("line is incomplete");
            if (t == ',')
                return r.fail("syntax error");
        }
        if (t == kv::T_ERROR && p.status)
            return p.status;
        if (t != T_EOL && t != kv::T_END)
            return r.fail("the case has extra stuff at the end");
    }
    if (!any)
        kv::report(p, "warning: file contains no cases");
    return kv_error_none;
}

// Opens the file, selects the C locale and reads it with parse; the code of
// the first failure, a failing close included.  prepare runs once the file
// is open and the locale selected, before anything is read.
template <class Prepare, class Parse>
int read_case_file(kv_domain_s *d, const char *file_name, kv_error_handler_t handler, void *data,
                   Prepare prepare, Parse parse)
{
    FILE *f = std::fopen(file_name, "r");
    if (!f)
        return _kv_set_error_code(kv_error_io);
    int status = kv::guard_status([&]() -> int {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return kv_error_code();
        prepare();
        Parser p;
        kv::StreamSource source(f);
        source.start(p, handler, data);
        p.reader = kv::get_new_token;
        p.target = d;
        return parse(p, d);
    });
    if (std::fclose(f) != 0 && !status)
        status = kv_error_io;
    return status;
}

} // namespace

kv_status_t kv_domain_parse_case(kv_domain_t d, kv_string_t file_name, kv_error_handler_t handler,
                                 void *data)
{
    if (_kv_set_error_code(!d || !file_name))
        return kv_error_usage;
    bool retracted = false;
    int status = read_case_file(
        d, file_name, handler, data, [&] { retracted = !kv_domain_retract_findings(d); },
        parse_case_file);
    // A failed case leaves no evidence behind.
    if (status && retracted)
        kv_domain_retract_findings(d);
    return _kv_set_error_code(status);
}

kv_status_t kv_domain_parse_cases(kv_domain_t d, kv_string_t file_name, kv_error_handler_t handler,
                                  void *data)
{
    if (_kv_set_error_code(!d || !file_name))
        return kv_error_usage;
    size_t before = d->number_of_cases;
    int status = read_case_file(d, file_name, handler, data, [] {}, parse_case_data_file);
    // The cases this call added go again (shrinking cannot fail).
    if (status)
        kv_domain_set_number_of_cases(d, before);
    return _kv_set_error_code(status);
}
