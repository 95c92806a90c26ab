// Quoted strings, exact numbers and state names for every text writer.
#include "writer.h"

#include <cctype>
#include <charconv>
#include <cfloat>
#include <cmath>
#include <cstdlib>

void _kv_write_string(std::string &out, const char *text)
{
    out += '"';
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; ++c) {
        switch (*c) {
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        default:
            if (std::isprint(*c)) {
                out += char(*c);
            } else {
                // The reader takes up to three octal digits: pad when a
                // digit follows, so that it is not taken into the escape.
                char buffer[8];
                bool octal_next = c[1] >= '0' && c[1] <= '7';
                std::snprintf(buffer, sizeof buffer, octal_next ? "\\%03o" : "\\%o", unsigned(*c));
                out += buffer;
            }
        }
    }
    out += '"';
}

// Whole numbers below 10^digits print the same under "%.<digits>G" as in
// decimal; writing them directly keeps large case files fast.
static int whole_number(char *buffer, double v, int digits)
{
    double limit = 1;
    for (int i = 0; i < digits && i < 15; ++i)
        limit *= 10;
    if (!(v > -limit && v < limit) || v != std::trunc(v) || (v == 0 && std::signbit(v)))
        return -1;
    long n = long(v);
    char digits_reversed[12];
    int k = 0;
    unsigned long u = n < 0 ? 0ul - (unsigned long)n : (unsigned long)n;
    do {
        digits_reversed[k++] = char('0' + u % 10);
        u /= 10;
    } while (u);
    int length = 0;
    if (n < 0)
        buffer[length++] = '-';
    while (k)
        buffer[length++] = digits_reversed[--k];
    buffer[length] = '\0';
    return length;
}

// v under "%.<precision>G", through the C++ converter (the same text as
// printf's, much faster); returns the length.
static int general(char *buffer, double v, int precision)
{
    char *end = std::to_chars(buffer, buffer + 31, v, std::chars_format::general, precision).ptr;
    *end = '\0';
    for (char *c = buffer; c < end; ++c)
        if (*c == 'e')
            *c = 'E';
    // printf spells the non-finite values in capitals too.
    if (!std::isfinite(v))
        for (char *c = buffer; c < end; ++c)
            *c = char(std::toupper(static_cast<unsigned char>(*c)));
    return int(end - buffer);
}

static bool reads_back(const char *buffer, int length, double v)
{
    double x;
    auto r = std::from_chars(buffer, buffer + length, x);
    return r.ec == std::errc() && x == v;
}

int _kv_format_number(char *buffer, double v, const char *format)
{
    int digits = format[1] == '.' ? std::atoi(format + 2) : 6;
    int length = whole_number(buffer, v, digits);
    if (length >= 0)
        return length;
    length = general(buffer, v, digits);
    if (!std::isfinite(v) || reads_back(buffer, length, v))
        return length;
    // The fewest digits that read back.
    for (int precision = 15; precision < 17; ++precision) {
        length = general(buffer, v, precision);
        if (reads_back(buffer, length, v))
            return length;
    }
    return general(buffer, v, 17);
}

void _kv_write_number(std::string &out, double v, const char *format)
{
    char buffer[32];
    out.append(buffer, size_t(_kv_format_number(buffer, v, format)));
}

void _kv_write_state_value(std::string &out, double v)
{
    if (v >= DBL_MAX)
        out += "infinity";
    else if (v <= -DBL_MAX)
        out += "-infinity";
    else
        _kv_write_number(out, v, "%.8G");
}

void _kv_write_state_identification(std::string &out, const kv_node_s *n, size_t s)
{
    const char *label = n->state_labels ? n->state_labels[s] : nullptr;
    if (label && *label) {
        out += label;
    } else if (n->subtype == kv_subtype_number && n->state_values) {
        _kv_write_state_value(out, n->state_values[s]);
    } else if (n->subtype == kv_subtype_interval && n->state_values) {
        out += "interval(";
        _kv_write_state_value(out, n->state_values[s]);
        out += ',';
        _kv_write_state_value(out, n->state_values[s + 1]);
        out += ')';
    } else if (n->subtype == kv_subtype_boolean) {
        out += s ? "true" : "false";
    } else {
        out += '<';
        out += std::to_string(s);
        out += '>';
    }
}
