// The case-file writers: the domain's evidence as a case file, and case
// data as a case data file.  Both write what the readers read back to the
// same states and values.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "case_file.h"
#include "core/api.h"
#include "parser.h"
#include "writer.h"

namespace {

template <class T> using Vec = std::vector<T, kv::ScratchAlloc<T>>;

bool chance_or_decision(const kv_node_s *n)
{
    return n->category == kv_category_chance || n->category == kv_category_decision;
}

// State s of a discrete node as a case item: its label if no other state
// has it, false/true, its value when that reads back to s, else "#s".
int write_state(std::string &out, const kv_node_s *n, size_t s)
{
    switch (n->subtype) {
    case kv_subtype_label: {
        const char *label = kv::label_of(n, s);
        if (kv::label_state(n, label) == long(s)) {
            _kv_write_string(out, label);
            return kv_error_none;
        }
        break;
    }
    case kv_subtype_boolean:
        out += s ? "true" : "false";
        return kv_error_none;
    case kv_subtype_number:
        if (_kv_node_state_values_increase(n)) {
            char buffer[32];
            int length = _kv_format_number(buffer, n->state_values[s], "%G");
            // Values closer than the reader's tolerance name the first.
            if (kv::number_state(n, std::strtod(buffer, nullptr)) == long(s)) {
                out.append(buffer, size_t(length));
                return kv_error_none;
            }
        }
        break;
    case kv_subtype_interval:
        break;
    default:
        return kv_error_error;
    }
    out += '#';
    out += std::to_string(s);
    return kv_error_none;
}

// The state of a finding that is one state: weight 1 there, 0 elsewhere.
long single_state(const kv_node_s *n)
{
    const double *f = n->entered_finding;
    long found = -1;
    for (size_t s = 0; f && s < n->number_of_states; ++s) {
        if (f[s] == 1.0 && found < 0)
            found = long(s);
        else if (f[s] != 0.0)
            return -1;
    }
    return found;
}

int write_case(kv::FileWriter &w, kv_domain_s *d)
{
    std::string &out = w.text;
    for (kv_node_s *n = d->first_node; n; n = n->next) {
        if (!chance_or_decision(n) || !_kv_node_evidence_is_entered(n))
            continue;
        out += n->name;
        out += ": ";
        if (n->kind == kv_kind_continuous) {
            _kv_write_number(out, n->entered_value, "%G");
        } else if (long s = single_state(n); s >= 0) {
            if (int status = write_state(out, n, size_t(s)))
                return _kv_set_error_code(status);
        } else {
            for (size_t s = 0; s < n->number_of_states; ++s) {
                out += s ? ' ' : '(';
                _kv_write_number(out, n->entered_finding[s], "%G");
            }
            out += ')';
        }
        if (n->label && *n->label) {
            out += "\t% ";
            _kv_write_string(out, n->label);
        }
        out += '\n';
        w.flush_if_full();
    }
    return kv_error_none;
}

// A node's column as the writer sees it: the text of each state.
struct Column {
    kv_node_s *node;
    Vec<std::string> states;
};

bool is_set(const kv_node_s *n, size_t i)
{
    if (n->kind == kv_kind_discrete)
        return n->case_states && n->case_states[i] >= 0 && size_t(n->case_states[i]) < n->number_of_states;
    return n->case_set && n->case_set[i];
}

// Writes case i: one line, or count lines without counts.
void write_data_case(kv::FileWriter &w, std::string &line, kv_domain_s *d, const Vec<Column> &columns,
                     size_t i, bool counts, const char *separator, const char *missing)
{
    line.clear();
    for (size_t j = 0; j < columns.size(); ++j) {
        if (j)
            line += separator;
        const kv_node_s *n = columns[j].node;
        if (!is_set(n, i))
            line += missing;
        else if (n->kind == kv_kind_discrete)
            line += columns[j].states[size_t(n->case_states[i])];
        else
            _kv_write_number(line, n->case_values[i], "%G");
    }
    line += '\n';
    double count = d->case_counts ? d->case_counts[i] : 1.0;
    if (counts) {
        _kv_write_number(w.text, count, "%G");
        w.text += separator;
        w.text += line;
        w.flush_if_full();
        return;
    }
    for (double k = 0; k < count; ++k) {
        w.text += line;
        w.flush_if_full();
    }
}

bool is_end(kv_index_t i)
{
    return static_cast<ptrdiff_t>(i) < 0;
}

// The argument tests of kv_domain_save_cases.
bool valid_request(kv_domain_s *d, kv_node_t *nodes, const kv_index_t *cases, kv_boolean_t counts,
                   const char *separator, const char *missing)
{
    if (!d || !nodes || !separator || !missing || (counts != 0 && counts != 1))
        return false;
    // A newline would end the case line early.
    if (std::strchr(separator, '\n') || std::strchr(missing, '\n'))
        return false;
    // Distinct: each listed node is marked while the list is walked.
    bool distinct = true;
    kv_node_t *n = nodes;
    for (; *n && distinct; ++n) {
        distinct = (*n)->home == d && chance_or_decision(*n) && !(*n)->mark;
        (*n)->mark = 1;
    }
    for (kv_node_t *m = nodes; m != n; ++m)
        (*m)->mark = 0;
    if (!distinct)
        return false;
    auto count_ok = [&](size_t i) {
        if (counts)
            return true;
        double c = d->case_counts ? d->case_counts[i] : 1.0;
        return c == std::trunc(c) && c < 4294967295.0;
    };
    if (!cases) {
        for (size_t i = 0; i < d->number_of_cases; ++i)
            if (!count_ok(i))
                return false;
        return true;
    }
    for (const kv_index_t *i = cases; !is_end(*i); ++i)
        if (*i >= d->number_of_cases || !count_ok(*i))
            return false;
    return true;
}

int write_cases(kv::FileWriter &w, kv_domain_s *d, kv_node_t *nodes, const kv_index_t *cases, bool counts,
                const char *separator, const char *missing)
{
    Vec<Column> columns;
    for (kv_node_t *n = nodes; *n; ++n) {
        Column c{*n, {}};
        if (c.node->kind == kv_kind_discrete) {
            c.states.resize(c.node->number_of_states);
            for (size_t s = 0; s < c.node->number_of_states; ++s)
                if (int status = write_state(c.states[s], c.node, s))
                    return _kv_set_error_code(status);
        }
        columns.push_back(std::move(c));
    }
    if (counts) {
        w.text += '#';
        w.text += separator;
    }
    for (size_t j = 0; j < columns.size(); ++j) {
        if (j)
            w.text += separator;
        w.text += columns[j].node->name;
    }
    w.text += "\n\n";
    std::string line;
    if (cases) {
        for (const kv_index_t *i = cases; !is_end(*i); ++i)
            write_data_case(w, line, d, columns, *i, counts, separator, missing);
    } else {
        for (size_t i = 0; i < d->number_of_cases; ++i)
            write_data_case(w, line, d, columns, i, counts, separator, missing);
    }
    return kv_error_none;
}

// Opens the file for writing in the C locale and writes it with write; the
// first failure's code, a failing write or close being io.
template <class Write> int write_file(const char *file_name, Write write)
{
    FILE *f = std::fopen(file_name, "w");
    if (!f)
        return _kv_set_error_code(kv_error_io);
    int status = kv::guard_status([&]() -> int {
        kv::LocaleGuard locale;
        if (!locale.ok())
            return kv_error_code();
        kv::FileWriter w(f);
        int status = write(w);
        if (!w.finish() && !status)
            status = kv_error_io;
        return status;
    });
    if (std::fclose(f) != 0 && !status)
        status = kv_error_io;
    return status;
}

} // namespace

kv_status_t kv_domain_save_case(kv_domain_t d, kv_string_t file_name)
{
    if (_kv_set_error_code(!d || !file_name))
        return kv_error_usage;
    int status = write_file(file_name, [&](kv::FileWriter &w) { return write_case(w, d); });
    return _kv_set_error_code(status);
}

kv_status_t kv_domain_save_cases(kv_domain_t d, kv_string_t file_name, kv_node_t *nodes,
                                 const kv_index_t *cases, kv_boolean_t include_counts, kv_string_t separator,
                                 kv_string_t missing)
{
    if (_kv_set_error_code(!file_name || !valid_request(d, nodes, cases, include_counts, separator, missing)))
        return kv_error_usage;
    int status = write_file(file_name, [&](kv::FileWriter &w) {
        return write_cases(w, d, nodes, cases, include_counts, separator, missing);
    });
    return _kv_set_error_code(status);
}
