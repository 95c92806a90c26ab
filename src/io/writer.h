// Text output shared by the writers of NET files, case files and the
// expression printer: quoted strings, numbers that read back exactly, and
// the names of states.  Callers select the C locale.
#pragma once

#include <cstdio>
#include <string>

#include "core/domain.h"

// Appends text as a double-quoted string the readers turn back into text:
// \r \" \\ \t \n escaped, other printable characters as they are, any other
// byte in octal (three digits when an octal digit follows).
void _kv_write_string(std::string &out, const char *text);

// Formats v with format ("%G" or "%.8G") when that reads back to v, and
// otherwise with the fewest digits from 15 to 17 that do ("%.15G", ...).  The
// buffer holds at least 32 bytes; returns the length.
int _kv_format_number(char *buffer, double v, const char *format);
void _kv_write_number(std::string &out, double v, const char *format);

// A state value: as _kv_format_number with "%.8G", "infinity" at or above
// the largest double and "-infinity" at or below its negation.
void _kv_write_state_value(std::string &out, double v);

// The name of state s of node n in table comments and messages: its label,
// or by subtype its value, its interval, false/true, or "<s>".
void _kv_write_state_identification(std::string &out, const kv_node_s *n, size_t s);

namespace kv {

// Output to a file through a large buffer; the first failure sticks.
class FileWriter {
public:
    explicit FileWriter(FILE *file) : file_(file) { text.reserve(limit + 4096); }
    FileWriter(const FileWriter &) = delete;
    FileWriter &operator=(const FileWriter &) = delete;

    // Text appended here goes out when it passes the limit, or at finish.
    std::string text;

    void flush_if_full()
    {
        if (text.size() >= limit)
            flush();
    }
    // Writes what is left; false when any write failed.
    bool finish()
    {
        flush();
        return ok_;
    }

private:
    static constexpr size_t limit = size_t(1) << 20;
    void flush()
    {
        if (ok_ && !text.empty() && std::fwrite(text.data(), 1, text.size(), file_) != text.size())
            ok_ = false;
        text.clear();
    }
    FILE *file_;
    bool ok_ = true;
};

} // namespace kv
