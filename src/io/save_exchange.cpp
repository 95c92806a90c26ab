// Writers of the exchange formats the readers take: BIF, XMLBIF 0.3 and
// UAI (BAYES), for domains of discrete chance nodes.  Nodes go in domain
// order, states by their labels ("s0", "s1", ... for a state without one,
// or one that the format cannot hold), numbers with 17 significant digits so
// that each reads back as the same double.
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core/api.h"
#include "core/domain.h"
#include "parser.h"
#include "table/table.h"

namespace {

bool writable(const kv_domain_s *d)
{
    for (const kv_node_s *n = d->first_node; n; n = n->next)
        if (n->category != kv_category_chance || n->kind != kv_kind_discrete)
            return false;
    return d->first_node != nullptr;
}

std::string number(double x)
{
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.17g", x);
    return buffer;
}

std::vector<kv_node_s *> nodes_of(const kv_domain_s *d)
{
    std::vector<kv_node_s *> out;
    for (kv_node_s *n = d->first_node; n; n = n->next)
        out.push_back(n);
    return out;
}

// A node's family as its table holds it: the parents (in table order) and
// the table offsets of a configuration of them (the last fastest) and of
// each state of the node.
struct Family {
    std::vector<kv_node_s *> parents;
    std::vector<size_t> parent_stride;
    size_t child_stride = 1;
    size_t configurations = 1;
    const double *data = nullptr;

    explicit Family(kv_node_s *n)
    {
        kv_table_s *t = _kv_node_get_table(n);
        if (!t || _kv_allocate_data_arrays(t))
            throw std::bad_alloc();
        data = t->discrete_data;
        size_t stride = 1;
        std::vector<size_t> strides(t->discrete_count);
        for (size_t i = t->discrete_count; i-- > 0;) {
            strides[i] = stride;
            stride *= t->nodes[i]->number_of_states;
        }
        for (size_t i = 0; i < t->discrete_count; ++i)
            if (t->nodes[i] == n) {
                child_stride = strides[i];
            } else {
                parents.push_back(t->nodes[i]);
                parent_stride.push_back(strides[i]);
                configurations *= t->nodes[i]->number_of_states;
            }
    }
    // Table offset of parent configuration c, and its parents' states.
    size_t offset(size_t c, std::vector<size_t> *states = nullptr) const
    {
        size_t o = 0;
        if (states)
            states->assign(parents.size(), 0);
        for (size_t j = parents.size(); j-- > 0;) {
            size_t k = parents[j]->number_of_states;
            o += (c % k) * parent_stride[j];
            if (states)
                (*states)[j] = c % k;
            c /= k;
        }
        return o;
    }
};

// Whether the text can stand for a state in BIF as it is, or in quotes.
std::string bif_state(const kv_node_s *n, size_t s)
{
    const char *label = n->state_labels && n->state_labels[s] ? n->state_labels[s] : "";
    bool bare = *label != '\0', quotable = *label != '\0';
    for (const char *c = label; *c; ++c) {
        if (std::strchr("{}[]();,|\" \t\r\n\f\v", *c) || (*c == '/' && (c[1] == '/' || c[1] == '*')))
            bare = false;
        if (*c == '"' || *c == '\n')
            quotable = false;
    }
    // A label that names another state's fallback would clash.
    for (size_t t = 0; t < n->number_of_states; ++t)
        if (t != s && n->state_labels && n->state_labels[t] && !std::strcmp(n->state_labels[t], label))
            bare = quotable = false;
    if (bare)
        return label;
    if (quotable)
        return std::string("\"") + label + "\"";
    return "s" + std::to_string(s);
}

std::string xml_escaped(const char *s)
{
    std::string out;
    for (; *s; ++s)
        switch (*s) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += *s;
        }
    return out;
}

std::string xml_state(const kv_node_s *n, size_t s)
{
    const char *label = n->state_labels && n->state_labels[s] ? n->state_labels[s] : "";
    bool usable = *label != '\0';
    for (size_t t = 0; t < n->number_of_states; ++t)
        if (t != s && n->state_labels && n->state_labels[t] && !std::strcmp(n->state_labels[t], label))
            usable = false;
    return usable ? xml_escaped(label) : "s" + std::to_string(s);
}

std::string bif_text(const kv_domain_s *d)
{
    std::vector<kv_node_s *> nodes = nodes_of(d);
    std::string out = "network unknown {\n}\n";
    for (kv_node_s *n : nodes) {
        out += "variable " + std::string(n->name) + " {\n  type discrete [ " + std::to_string(n->number_of_states) +
               " ] { ";
        for (size_t s = 0; s < n->number_of_states; ++s)
            out += (s ? ", " : "") + bif_state(n, s);
        out += " };\n}\n";
    }
    for (kv_node_s *n : nodes) {
        Family f(n);
        out += "probability ( " + std::string(n->name);
        for (size_t j = 0; j < f.parents.size(); ++j)
            out += (j ? ", " : " | ") + std::string(f.parents[j]->name);
        out += " ) {\n";
        std::vector<size_t> states;
        for (size_t c = 0; c < f.configurations; ++c) {
            size_t o = f.offset(c, &states);
            if (f.parents.empty()) {
                out += "  table ";
            } else {
                out += "  (";
                for (size_t j = 0; j < f.parents.size(); ++j)
                    out += (j ? ", " : "") + bif_state(f.parents[j], states[j]);
                out += ") ";
            }
            for (size_t s = 0; s < n->number_of_states; ++s)
                out += (s ? ", " : "") + number(f.data[o + s * f.child_stride]);
            out += ";\n";
        }
        out += "}\n";
    }
    return out;
}

std::string xmlbif_text(const kv_domain_s *d)
{
    std::vector<kv_node_s *> nodes = nodes_of(d);
    std::string out = "<?xml version=\"1.0\"?>\n<BIF VERSION=\"0.3\">\n<NETWORK>\n<NAME>";
    out += xml_escaped(d->file_name ? d->file_name : "unknown");
    out += "</NAME>\n";
    for (kv_node_s *n : nodes) {
        out += "<VARIABLE TYPE=\"nature\">\n  <NAME>" + xml_escaped(n->name) + "</NAME>\n";
        for (size_t s = 0; s < n->number_of_states; ++s)
            out += "  <OUTCOME>" + xml_state(n, s) + "</OUTCOME>\n";
        out += "</VARIABLE>\n";
    }
    for (kv_node_s *n : nodes) {
        Family f(n);
        out += "<DEFINITION>\n  <FOR>" + xml_escaped(n->name) + "</FOR>\n";
        for (kv_node_s *p : f.parents)
            out += "  <GIVEN>" + xml_escaped(p->name) + "</GIVEN>\n";
        out += "  <TABLE>";
        for (size_t c = 0; c < f.configurations; ++c) {
            size_t o = f.offset(c);
            for (size_t s = 0; s < n->number_of_states; ++s)
                out += (c || s ? " " : "") + number(f.data[o + s * f.child_stride]);
        }
        out += "</TABLE>\n</DEFINITION>\n";
    }
    return out + "</NETWORK>\n</BIF>\n";
}

std::string uai_text(const kv_domain_s *d)
{
    std::vector<kv_node_s *> nodes = nodes_of(d);
    std::string out = "BAYES\n" + std::to_string(nodes.size()) + "\n";
    std::map<const kv_node_s *, size_t> index; // for the scopes
    for (size_t i = 0; i < nodes.size(); ++i) {
        index[nodes[i]] = i;
        out += std::to_string(nodes[i]->number_of_states) + (i + 1 < nodes.size() ? " " : "\n");
    }
    out += std::to_string(nodes.size()) + "\n";
    std::vector<Family> families;
    for (kv_node_s *n : nodes) {
        families.emplace_back(n);
        const Family &f = families.back();
        out += std::to_string(f.parents.size() + 1);
        for (kv_node_s *p : f.parents)
            out += " " + std::to_string(index[p]);
        out += " " + std::to_string(index[n]) + "\n";
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        const Family &f = families[i];
        size_t k = nodes[i]->number_of_states;
        out += "\n" + std::to_string(f.configurations * k) + "\n";
        for (size_t c = 0; c < f.configurations; ++c) {
            size_t o = f.offset(c);
            for (size_t s = 0; s < k; ++s)
                out += " " + number(f.data[o + s * f.child_stride]);
            out += "\n";
        }
    }
    return out;
}

int write_file(const char *file_name, const std::string &text)
{
    FILE *f = std::fopen(file_name, "w");
    if (!f)
        return _kv_set_error_code(kv_error_io);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    return _kv_set_error_code(ok ? kv_error_none : kv_error_io);
}

template <class Text> kv_status_t save(kv_domain_t d, kv_string_t file_name, Text &&text)
{
    if (_kv_set_error_code(!d || !file_name || _kv_domain_is_class(d) || !writable(d)))
        return kv_error_usage;
    return kv::guard_status([&]() -> int {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return kv_error_code();
        return write_file(file_name, text(d));
    });
}

} // namespace

kv_status_t kv_domain_save_as_bif(kv_domain_t d, kv_string_t file_name)
{
    return save(d, file_name, bif_text);
}

kv_status_t kv_domain_save_as_xmlbif(kv_domain_t d, kv_string_t file_name)
{
    return save(d, file_name, xmlbif_text);
}

kv_status_t kv_domain_save_as_uai(kv_domain_t d, kv_string_t file_name)
{
    return save(d, file_name, uai_text);
}
