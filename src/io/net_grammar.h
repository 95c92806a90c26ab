// The pieces of the NET network grammar that the class reader and the old
// format reader share with the domain reader.
#pragma once

#include <vector>

#include "parser.h"

namespace kv {

template <class T> using Vec = std::vector<T, ScratchAlloc<T>>;

bool is_name(int t);
// The last name token is exactly this keyword.
bool keyword(const Parser &p, const char *word);
// Reads the token c, or fails with "`c' expected".
int expect(Parser &p, int c);
// A token that ended a rule early: lexical errors keep their own message.
int unexpected(Parser &p, int t, const char *message);

// A number truncated toward zero into [low, high]; NaN gives 0.
template <class T> T truncated(double x, T low, T high)
{
    if (!(x == x))
        return 0;
    if (x <= double(low))
        return low;
    if (x >= double(high))
        return high;
    return T(x);
}

// Reads `name =` of the next attribute of a block: 0 with the name in key,
// end_of_block at `}', or an error code.
constexpr int end_of_block = -1;
int attribute_key(Parser &p, Vec<char> &key);
// `(' number number `)'; with nonnegative, negative numbers are counted.
int read_number_pair(Parser &p, double &a, double &b, bool nonnegative);
// The string value of a user-defined attribute, inserted into the list.
int user_attribute(Parser &p, kv_attribute_s **list, const Vec<char> &key);
// Puts the attributes pushed since `before' in written order.
void reverse_attributes(kv_attribute_s **list, kv_attribute_s *before);

// A node, potential or prefixed node declaration after its leading name
// (the target of the parser is the container); not_a_declaration when the
// name starts none.
constexpr int not_a_declaration = -1;
int parse_declaration(Parser &p);
// The `(' state ... `)' labels of a node, at least one.
int read_state_labels(Parser &p, Vec<Vec<char>> &labels);
// The `(' state ... `)' list of a node, set on the node.
int parse_states(Parser &p, kv_node_s *n);
// Puts the container's node and table lists in declaration order.
void reverse_lists(kv_domain_s *d);

// Reads the old keyword-less format into the parser's target domain.
int parse_old_net(Parser &p);

} // namespace kv
