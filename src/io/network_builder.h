// What the readers of other exchange formats (BIF, XMLBIF, UAI) collect
// before they build a domain: variables with their states and, per child,
// its parents and its numbers.  The builder makes one discrete chance node
// per variable in declaration order (the first declared node leads, as
// after a NET parse) and fills the tables.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/memory.h"
#include "kelvo.h"

struct kv_domain_s;
struct kv_node_s;

namespace kv::exchange {

// The forms a row of numbers takes.
enum RowKind : int {
    ROW = 0,        // one parent configuration, named by its states
    CHILD_SLOWEST,  // every number, the child's state slowest (BIF `table')
    DEFAULT,        // the configurations no row gives
    CHILD_FASTEST,  // every number, the parents slowest in their order, the child fastest
};

struct Row {
    size_t line;
    RowKind kind;
    std::vector<std::string> states; // ROW: the parents' states
    std::vector<double> values;
};

struct Probability {
    size_t line;
    std::string child;
    std::vector<std::string> parents;
    std::vector<Row> rows;
};

struct Variable {
    size_t line;
    std::string name;
    std::vector<std::string> states;
    kv_node_s *node = nullptr;
};

// Reads a whole file into text (NUL-terminated): 0, io or no_memory (set).
int read_file(const char *file_name, std::vector<char, ScratchAlloc<char>> &text);

// Thrown after a message has gone to the handler.
struct Failed {};

class Builder {
public:
    Builder(kv_error_handler_t handler, void *data) : handler_(handler), data_(data) {}

    // Sends the message with its line to the handler and throws Failed.
    [[noreturn]] void error(size_t line, const char *format, ...) __attribute__((format(printf, 3, 4)));

    bool declared(const std::string &name) const { return by_name_.count(name) != 0; }
    void declare(Variable v);
    void add(Probability p) { probabilities_.push_back(std::move(p)); }
    size_t variable_count() const { return variables_.size(); }

    // The domain (NULL with the error code parse after a message).
    kv_domain_s *finish(size_t last_line);

private:
    void build(kv_domain_s *d);
    void fill_table(kv_node_s *child, const Probability &pr);
    std::string node_name(const std::string &name) ;

    kv_error_handler_t handler_;
    void *data_;
    std::vector<Variable> variables_;
    std::map<std::string, size_t> by_name_;
    std::vector<Probability> probabilities_;
    std::map<std::string, int> taken_;
};

} // namespace kv::exchange
