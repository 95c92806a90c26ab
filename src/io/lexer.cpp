// The character-level readers of the text formats: comments, names,
// numbers and strings, for the NET format, its older keyword-less form and
// expressions.  Text is read in the C locale.
#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "core/error.h"
#include "parser.h"

namespace kv {

static int peek(const Parser &p)
{
    return p.position < p.end ? static_cast<unsigned char>(*p.position) : -1;
}

static int take(Parser &p)
{
    if (p.position >= p.end)
        return -1;
    int c = static_cast<unsigned char>(*p.position++);
    if (c == '\n')
        ++p.line;
    return c;
}

static size_t where(const Parser &p)
{
    return p.from_file ? p.line : size_t(p.position - p.start);
}

static void vreport(Parser &p, const char *format, va_list args)
{
    if (!p.handler)
        return;
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char, ScratchAlloc<char>> message(size_t(n > 0 ? n : 0) + 1);
    std::vsnprintf(message.data(), message.size(), format, args);
    p.handler(where(p), message.data(), p.handler_data);
}

void report(Parser &p, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vreport(p, format, args);
    va_end(args);
}

int fatal(Parser &p, int code, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vreport(p, format, args);
    va_end(args);
    if (!p.status)
        p.status = code;
    return _kv_set_error_code(code);
}

void counted(Parser &p, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vreport(p, format, args);
    va_end(args);
    ++p.error_count;
}

int api_error(Parser &p, int code)
{
    return fatal(p, code, "API error: %s", kv_error_name(static_cast<kv_error_t>(code)));
}

void unget_token(Parser &p, int token)
{
    p.pushback_text[p.pushed] = p.text;
    p.pushback_number[p.pushed] = p.number;
    p.pushback_line[p.pushed] = p.token_line;
    p.pushback[p.pushed++] = token;
}

static bool pop(Parser &p, int &token)
{
    if (!p.pushed)
        return false;
    --p.pushed;
    token = p.pushback[p.pushed];
    p.text = p.pushback_text[p.pushed];
    p.number = p.pushback_number[p.pushed];
    p.token_line = p.pushback_line[p.pushed];
    return true;
}

// White space in the C locale, in which all text is read.
static bool is_space(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Skips white space and `%' comments; false at the end of the input.  The
// line of what follows is the token's line.
static bool skip(Parser &p)
{
    for (;;) {
        int c = peek(p);
        if (c < 0 && p.refill && p.refill(p))
            continue;
        if (c < 0 || (c == 0 && !p.from_file))
            return false;
        if (c == '%') {
            while ((c = take(p)) >= 0 && c != '\n')
                ;
            continue;
        }
        if (!is_space(c)) {
            p.token_line = p.line;
            return true;
        }
        take(p);
    }
}

static void set_text(Parser &p, const char *from, size_t n)
{
    p.text.assign(from, from + n);
    p.text.push_back('\0');
}

static bool name_char(int c, bool old)
{
    if (std::isalnum(c) || c == '_' || c == '.')
        return true;
    return old && (c == '/' || c == '-' || c == '+');
}

static int get_new_name(Parser &p)
{
    const char *from = p.position;
    while (p.position < p.end && name_char(peek(p), false))
        ++p.position;
    set_text(p, from, size_t(p.position - from));
    const char *t = p.text.data();
    bool dotted = false;
    for (const char *c = t; *c; ++c)
        if (*c == '.') {
            dotted = true;
            unsigned char next = static_cast<unsigned char>(c[1]);
            if (!std::isalpha(next) && next != '_') {
                fatal(p, kv_error_parse, "`.' must be followed by a letter or a `_'");
                return T_ERROR;
            }
        }
    return dotted ? T_DOTTED : T_NAME;
}

static int get_number(Parser &p)
{
    char *stop = nullptr;
    p.number = std::strtod(p.position, &stop);
    if (stop == p.position || stop > p.end)
        return T_ERROR;
    p.position = stop;
    return T_NUMBER;
}

static int hex_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = std::tolower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

static int get_string(Parser &p)
{
    take(p); // the opening quote
    p.text.clear();
    auto store = [&](int c) {
        if (c == 0)
            report(p, "warning: null character in string");
        p.text.push_back(char(c));
    };
    for (;;) {
        // Ordinary characters are taken in one run.
        const char *run = p.position;
        while (p.position < p.end && *p.position != '"' && *p.position != '\\' && *p.position != '\n' &&
               *p.position != '\0')
            ++p.position;
        p.text.insert(p.text.end(), run, p.position);
        int c = peek(p);
        if (c < 0 || c == '\n' || (c == 0 && !p.from_file)) {
            fatal(p, kv_error_parse, "string did not end");
            return T_ERROR;
        }
        take(p);
        if (c == '"')
            break;
        if (c != '\\') {
            store(c);
            continue;
        }
        int e = peek(p);
        if (e < 0) {
            fatal(p, kv_error_parse, "string did not end");
            return T_ERROR;
        }
        take(p);
        switch (e) {
        case 'a': store(7); break;
        case 'b': store(8); break;
        case 'f': store(12); break;
        case 'n': store(10); break;
        case 'r': store(13); break;
        case 't': store(9); break;
        case 'v': store(11); break;
        case '\\': case '"': case '\'': case '?': store(e); break;
        case '\n': break; // continuation; the line was counted
        case 'x': {
            int v = hex_value(peek(p));
            if (v < 0) {
                fatal(p, kv_error_parse, "illegal escape sequence: `\\%c'", e);
                return T_ERROR;
            }
            unsigned value = 0;
            while ((v = hex_value(peek(p))) >= 0) {
                value = value * 16 + unsigned(v);
                take(p);
            }
            store(int(value & 0xff));
            break;
        }
        default:
            if (e >= '0' && e <= '7') {
                int value = e - '0';
                for (int i = 0; i < 2 && peek(p) >= '0' && peek(p) <= '7'; ++i)
                    value = value * 8 + (take(p) - '0');
                store(value & 0xff);
                break;
            }
            fatal(p, kv_error_parse, "illegal escape sequence: `\\%c'", e);
            return T_ERROR;
        }
    }
    p.text.push_back('\0');
    return T_STRING;
}

static int unexpected(Parser &p, int c)
{
    take(p);
    fatal(p, kv_error_parse, "unexpected character: `%c'", c);
    return T_ERROR;
}

static bool is_punctuation(int c, const char *set)
{
    for (; *set; ++set)
        if (c == *set)
            return true;
    return false;
}

int get_new_token(Parser &p)
{
    int token;
    if (pop(p, token))
        return token;
    if (!skip(p))
        return p.status ? T_ERROR : T_END;
    int c = peek(p);
    if (is_punctuation(c, "#()*,:;=?{|}")) {
        take(p);
        return c;
    }
    if (c == '"')
        return get_string(p);
    if (std::isdigit(c) || c == '+' || c == '-' || c == '.')
        return get_number(p);
    if (std::isalpha(c) || c == '_')
        return get_new_name(p);
    return unexpected(p, c);
}

int get_old_token(Parser &p)
{
    int token;
    if (pop(p, token))
        return token;
    if (!skip(p))
        return p.status ? T_ERROR : T_END;
    int c = peek(p);
    if (c == '(' || c == ')') {
        take(p);
        return c;
    }
    if (c == '"')
        return get_string(p);
    if (std::isdigit(c))
        return get_number(p);
    if (std::isalpha(c) || c == '_' || c == '+' || c == '-' || c == '.' || c == '/') {
        const char *from = p.position;
        while (p.position < p.end && name_char(peek(p), true))
            ++p.position;
        set_text(p, from, size_t(p.position - from));
        if (c == '.' || c == '-' || c == '+') {
            char *stop = nullptr;
            double v = std::strtod(p.text.data(), &stop);
            if (stop != p.text.data() && *stop == '\0') {
                p.number = v;
                return T_NUMBER;
            }
        }
        return T_NAME;
    }
    return unexpected(p, c);
}

int get_expr_token(Parser &p)
{
    int token;
    if (pop(p, token))
        return token;
    if (!skip(p))
        return p.status ? T_ERROR : T_END;
    int c = peek(p);
    if (is_punctuation(c, "()*,:;{|}+-^/")) {
        take(p);
        return c;
    }
    auto two = [&](int second) {
        if (p.position + 1 < p.end && static_cast<unsigned char>(p.position[1]) == second) {
            p.position += 2;
            return true;
        }
        return false;
    };
    switch (c) {
    case '<':
        if (two('='))
            return T_LE;
        if (two('>'))
            return T_NE;
        take(p);
        return T_LT;
    case '>':
        if (two('='))
            return T_GE;
        take(p);
        return T_GT;
    case '=':
        if (two('='))
            return T_EQ;
        take(p);
        return T_EQ;
    case '!':
        if (two('='))
            return T_NE;
        take(p);
        fatal(p, kv_error_parse, "`!' must be followed by `='");
        return T_ERROR;
    default:
        break;
    }
    if (c == '"')
        return get_string(p);
    if (std::isdigit(c) || c == '.')
        return get_number(p);
    if (std::isalpha(c) || c == '_')
        return get_new_name(p);
    return unexpected(p, c);
}

bool read_stream(FILE *stream, std::vector<char, ScratchAlloc<char>> &buf)
{
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stream)) > 0)
        buf.insert(buf.end(), chunk, chunk + n);
    if (std::ferror(stream))
        return false;
    buf.push_back('\0');
    return true;
}

void start_parser(Parser &p, const char *text, size_t size, bool from_file,
                  kv_error_handler_t handler, void *data)
{
    p.start = p.position = text;
    p.end = text + size;
    p.from_file = from_file;
    p.handler = handler;
    p.handler_data = data;
    p.line = 1;
    p.text.reserve(64);
    p.text.assign(1, '\0');
}

void StreamSource::start(Parser &p, kv_error_handler_t handler, void *data)
{
    start_parser(p, "", 0, true, handler, data);
    p.refill = refill;
    p.source = this;
    refill(p);
}

// Reads until the buffer holds a part that ends at a newline no backslash
// precedes (a backslash-newline may continue a string), or the input ends.
bool StreamSource::read_more(Parser &p)
{
    // Small files are read in one small part; large ones in parts of 1 MB.
    size_t part = buffer_.empty() ? size_t(1) << 16 : size_t(1) << 20;
    // Drop what the parser has taken; keep the rest.
    if (taken_) {
        std::memmove(buffer_.data(), buffer_.data() + taken_, used_ - taken_);
        used_ -= taken_;
        taken_ = 0;
        buffer_[used_] = '\0';
    }
    size_t searched = 0;
    for (;;) {
        for (size_t i = used_; i-- > searched;)
            if (buffer_[i] == '\n' && (i == 0 || buffer_[i - 1] != '\\')) {
                taken_ = i + 1;
                return true;
            }
        searched = used_;
        if (at_end_) {
            taken_ = used_;
            return used_ > 0;
        }
        if (buffer_.size() < used_ + part + 1)
            buffer_.resize(used_ + part + 1);
        size_t n = std::fread(buffer_.data() + used_, 1, part, stream_);
        used_ += n;
        buffer_[used_] = '\0';
        if (n < part) {
            if (std::ferror(stream_)) {
                if (!p.status)
                    p.status = _kv_set_error_code(kv_error_io);
                return false;
            }
            at_end_ = true;
        }
    }
}

bool StreamSource::refill(Parser &p)
{
    auto *self = static_cast<StreamSource *>(p.source);
    if (p.position < p.end || p.status || !self->read_more(p))
        return false;
    // The text must end with a character no number or name continues
    // over; the byte after the part is a newline's successor or the NUL.
    p.start = p.position = self->buffer_.data();
    p.end = p.start + self->taken_;
    return true;
}

bool is_old_format(const char *text, size_t size)
{
    Parser p;
    start_parser(p, text, size, true, nullptr, nullptr);
    p.reader = get_old_token;
    static const int expected[] = {T_NAME, T_STRING, T_NUMBER, T_NUMBER, T_NUMBER};
    for (int want : expected)
        if (get_old_token(p) != want)
            return false;
    return true;
}

} // namespace kv
