// The parser state and the token readers shared by every text parser: NET
// networks, node-name lists, case files and expressions.
#pragma once

#include <cstddef>
#include <cstdio>
#include <vector>

#include "core/domain.h"
#include "core/memory.h"

namespace kv {

enum Token : int {
    T_END = -1,
    T_ERROR = -2,
    T_NAME = -3,
    T_DOTTED = -4,
    T_NUMBER = -5,
    T_STRING = -6,
    // Comparison tokens of the expression reader.
    T_LE = -10,
    T_NE = -11,
    T_LT = -12,
    T_GE = -13,
    T_GT = -14,
    T_EQ = -15,
    // Any other token is a single punctuation character.
};

struct Parser;
typedef int (*TokenReader)(Parser &);

struct Parser {
    std::vector<char, ScratchAlloc<char>> text; // last name or string, NUL-terminated
    unsigned nesting = 0;                       // depth of the expression being read
    double number = 0.0;
    // The input: the whole text in memory (a file is read in at the start).
    const char *start = nullptr;
    const char *position = nullptr;
    const char *end = nullptr;
    bool from_file = false;
    size_t line = 1;
    size_t token_line = 1; // line on which the last token began
    size_t error_count = 0;
    kv_error_handler_t handler = nullptr;
    void *handler_data = nullptr;
    kv_domain_s *target = nullptr;
    TokenReader reader = nullptr;
    int pushback[2] = {0, 0};
    std::vector<char, ScratchAlloc<char>> pushback_text[2];
    double pushback_number[2] = {0, 0};
    size_t pushback_line[2] = {0, 0};
    int pushed = 0;
    int status = 0; // error code of the first fatal error
    // Streamed input: called when the text runs out; it replaces the text
    // with the next part of the input and returns false at its end (with
    // status set if reading failed).  The parts end at safe points, so a
    // token never spans two of them.
    bool (*refill)(Parser &) = nullptr;
    void *source = nullptr;

    const char *text_value() const { return text.data(); }
};

// The node a reference names in the container: a plain name, or a dotted
// name for an output node of an instance node; NULL after a fatal error.
kv_node_s *lookup_node(Parser &p, kv_domain_s *container, const char *reference);

// The three token readers: the NET reader, the old keyword-less reader and
// the expression reader.
int get_new_token(Parser &p);
int get_old_token(Parser &p);
int get_expr_token(Parser &p);

inline int next_token(Parser &p)
{
    return p.reader(p);
}

// Returns a token (with its text and number) to the input; at most two.
void unget_token(Parser &p, int token);

// Reports a message to the handler at the current position.
void report(Parser &p, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Reports a fatal error and returns its code (parse unless given).
int fatal(Parser &p, int code, const char *format, ...) __attribute__((format(printf, 3, 4)));
// Reports an error that lets the parse go on and fails it at the end.
void counted(Parser &p, const char *format, ...) __attribute__((format(printf, 2, 3)));
// "API error: %s" with the code's short name; returns the code.
int api_error(Parser &p, int code);

// Reads a whole stream into buf; false (io) on a read error.
bool read_stream(FILE *stream, std::vector<char, ScratchAlloc<char>> &buf);

// Sets up a parser over text (NUL-terminated, size bytes).
void start_parser(Parser &p, const char *text, size_t size, bool from_file,
                  kv_error_handler_t handler, void *data);

// A file read in parts of about a megabyte rather than whole: for inputs
// that may be much larger than what is built from them.  Lives as long as
// the parser it feeds.
class StreamSource {
public:
    explicit StreamSource(FILE *stream) : stream_(stream) {}
    // Sets up the parser over the stream; the first part is read at once.
    void start(Parser &p, kv_error_handler_t handler, void *data);

private:
    static bool refill(Parser &p);
    bool read_more(Parser &p);
    FILE *stream_;
    std::vector<char, ScratchAlloc<char>> buffer_;
    size_t used_ = 0; // bytes of buffer_ holding input
    size_t taken_ = 0; // bytes handed to the parser so far
    bool at_end_ = false;
};

// Selects the C numeric locale for the life of the guard.
struct LocaleGuard {
    char *saved = nullptr;
    bool ok() { return (saved = _kv_select_C_locale()) != nullptr; }
    ~LocaleGuard()
    {
        if (saved)
            _kv_restore_locale(saved);
    }
};

// True when the input is in the old keyword-less format: a name, a string
// and three numbers come first.
bool is_old_format(const char *text, size_t size);

} // namespace kv
